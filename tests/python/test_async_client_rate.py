"""AsyncTdxHqClient request pacing: set_rate_limit, set_phase and auto_detect_phase. The spacing
is observed as a lower bound on the time a run of uncached requests takes (n requests spaced by
an interval take at least n - 1 intervals)."""

import time

import pytest

from quotix._internal import AsyncTdxHqClient


@pytest.fixture
def mock_server(mock_server_module):
    mock_server_module.reset()
    return mock_server_module


@pytest.fixture
def client(mock_server):
    c = AsyncTdxHqClient.with_pool_size(2)
    c.connect(*mock_server.address(), 2.0)
    return c


def run_of(client, n):
    """Seconds taken by n finance requests (never cached)."""
    client.get_finance_info(0, "000001")  # stamps the limiter
    t0 = time.monotonic()
    for _ in range(n):
        client.get_finance_info(0, "000001")
    return time.monotonic() - t0


def phase_at(seconds):
    """The exchange's phase at a Unix time: weekday and session at UTC+8."""
    local = max(int(seconds), 0) + 8 * 3600
    weekday = (local // 86400 + 4) % 7
    if weekday in (0, 6):
        return "closed"
    return "trading" if 9 * 3600 + 1800 <= local % 86400 <= 15 * 3600 else "prepost"


PHASE_INTERVAL = {"trading": 0.020, "prepost": 0.010, "closed": 0.005}


class TestSetRateLimit:
    def test_default_spacing_is_twenty_milliseconds(self, client):
        assert run_of(client, 6) >= 5 * 0.020 - 0.002

    @pytest.mark.parametrize("rps,interval", [(10, 0.100), (1000000, 0.005), (200, 0.005)])
    def test_interval_is_a_thousand_ms_over_the_capped_rate(self, client, rps, interval):
        assert client.set_rate_limit(rps) is None
        n = 3 if interval > 0.05 else 6
        assert run_of(client, n) >= (n - 1) * interval - 0.002

    def test_zero_turns_the_spacing_off(self, client, mock_server):
        assert client.set_rate_limit(rps=0) is None
        run_of(client, 10)
        assert mock_server.requests("finance") == 11

    def test_refused_values_leave_the_interval(self, client):
        client.set_rate_limit(10)
        with pytest.raises(OverflowError):
            client.set_rate_limit(-1)
        with pytest.raises(OverflowError):
            client.set_rate_limit(2 ** 32)
        with pytest.raises(TypeError, match="^argument 'rps': "):
            client.set_rate_limit(1.5)
        with pytest.raises(TypeError):
            client.set_rate_limit()
        assert run_of(client, 3) >= 2 * 0.100 - 0.002


class TestPhases:
    def test_named_phases(self, client):
        client.set_phase("trading")
        assert run_of(client, 6) >= 5 * 0.020 - 0.002
        client.set_phase(phase="prepost")
        assert run_of(client, 6) >= 5 * 0.010 - 0.002

    def test_unknown_name_changes_nothing(self, client):
        client.set_rate_limit(10)
        for name in ("Trading", "TRADING", " closed", "", "lunch"):
            assert client.set_phase(name) is None
        assert run_of(client, 3) >= 2 * 0.100 - 0.002
        client.set_phase("closed")
        client.set_rate_limit(10)
        assert run_of(client, 3) >= 2 * 0.100 - 0.002

    def test_phase_must_be_a_str(self):
        c = AsyncTdxHqClient()
        with pytest.raises(TypeError, match="^argument 'phase': "):
            c.set_phase(1)
        with pytest.raises(TypeError):
            c.set_phase(b"trading")

    def test_setters_need_no_connection(self, mock_server):
        c = AsyncTdxHqClient()
        c.set_rate_limit(5)
        c.set_phase("closed")
        assert c.auto_detect_phase() in PHASE_INTERVAL
        assert mock_server.counters()["total"]["accepted"] == 0

    def test_auto_detect_follows_the_exchange_clock(self, client):
        before = phase_at(time.time())
        got = client.auto_detect_phase()
        after = phase_at(time.time())
        assert got in (before, after)
        assert type(got) is str
        # The phase's own interval is in force, and naming it again sets the same one.
        assert run_of(client, 6) >= 5 * PHASE_INTERVAL[got] - 0.002
        client.set_rate_limit(10)
        client.set_phase(got)
        assert run_of(client, 6) >= 5 * PHASE_INTERVAL[got] - 0.002
        with pytest.raises(TypeError):
            client.auto_detect_phase(1)
