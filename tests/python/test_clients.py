"""What the client classes keep besides their queries: connection state, settings, the smart
client's cache, the fund-code helpers and the adjustment report. Every connection goes to the
loopback mock."""

import concurrent.futures

import dataset
import numpy
import pytest
from conftest import BUILTIN, run_python, threads

import quotix._internal as qi


def test_pooled_client_state_and_settings(client, mock):
    c = client("hq")
    assert (c.is_connected(), list(c.pool_stats().items())) == (True, [("idle", 1), ("active", 0), ("total", 1),
                                                                       ("max_size", 5)])
    assert c.connect_to_any() is True and mock.counters()["accepted"] == 0  # connected: dials nothing
    assert c.connect(*mock.address(), timeout=None) is True  # None: the stored time-out
    c.set_connect_timeout(0)  # the stored time-out stands in for a missing one
    with pytest.raises(ConnectionError, match="cannot set a 0 duration timeout"):
        c.connect(*mock.address())
    assert c.is_connected() is True  # a failed connect leaves the connection in place
    c.set_auto_retry(numpy.bool_(False))
    mock.set_fault("close", cmd="finance", nth=2)
    with pytest.raises(ConnectionError):  # the frame of several stops at the first failure
        c.get_finance_info_dataframe([(1, "600519"), (0, "000002"), (1, "600000")])
    assert [e["args"]["code"] for e in mock.call("log", cmd="finance")["entries"]] == ["600519", "000002"]
    for tier in ("Low", "mid", "HIGH"):  # kept lower-cased
        c.set_fq_context_tier(tier)
        assert c.fq_context_tier() == tier.lower()
    c.block_server("192.0.2.1", 7709)
    c.block_server(ip="服务器", port=1)
    c.unblock_server("192.0.2.9", 1)
    assert c.disconnect() is None and (c.is_connected(), c.pool_stats()["total"]) == (False, 0)
    assert (c.fq_context_tier(), c.rate_limit_minute()) == ("high", 10)
    assert c.blocked_servers() == [("192.0.2.1", 7709), ("服务器", 1)]  # tuples: a list would not be equal
    assert c.clear_blocked_servers() is None and c.blocked_servers() == []
    c.set_servers([("a", "192.0.2.1", 7709)])
    c.reorder_servers((("a", "192.0.2.1", 7709),))
    c.add_server("b", "192.0.2.2", 7711)
    servers = []  # with a port that empties the list under conversion: converted from a snapshot
    servers += [("a", "192.0.2.1", type("Port", (), {"__index__": lambda s: servers.clear() or 7709})()),
                ("b", "192.0.2.2", 7709)]
    c.set_servers(servers)


def test_cache_time_to_live(client, mock):
    c = client("hq")
    c.set_cache_ttl(2 ** 64 - 1)  # the largest: its expiry time does not overflow, the entry is served
    assert [c.get_security_count(1) for _ in range(2)] == [1908, 1908]
    c.set_cache_ttl(0)  # from now on every entry expires at once; the one stored keeps its expiry
    assert [c.get_security_count(m) for m in (2, 2, 1)] == [301, 301, 1908]
    assert mock.counters()["requests"]["count"] == 3


def test_fund_client_connection(client, mock):
    assert qi.TdxHqFundClient().is_connected() is False
    c = client("fund")
    assert (c.is_connected(), c.connect_to_any()) == (True, True) and mock.counters()["accepted"] == 0
    c.disconnect()
    assert c.is_connected() is False
    # Back to the server it had, without the built-in tables (a failure would walk them: untested).
    assert c.connect_to_any(2.0) is True and c.is_connected() is True and mock.counters()["handshakes"] == 1


@pytest.mark.parametrize("kind", ["hq", "fund"])
def test_heartbeat_lives_while_connected(client, mock, kind):
    before = threads()
    c = client(kind)
    assert threads(before + 1) == before + 1
    assert c.connect(*mock.address(), timeout=2.0) is True and threads(before + 1) == before + 1  # replaced
    c.disconnect()
    assert threads(before) == before
    type(c)().connect(*mock.address())  # dropped while connected: its heartbeat ends too
    assert threads(before) == before


@pytest.mark.parametrize("kinds, call", [
    ("hq async", 'c.get_security_bars_dataframe(4, 1, "600000", 0, 100)'),
    # A release made by the method runs Python code that lets go of the lock: the snapshot of the
    # argument holds the last references to its items, whose __del__ sleeps.
    ("hq direct async", '[getattr(c, m)(Stocks()) for m in dir(c) if m.startswith("get_security_quotes")]'),
], ids=["dataframe", "releases"])
def test_exit_while_threads_are_inside_dataframe_methods(mock, kinds, call):
    # The interpreter ends such threads with a forced unwind through the method's frames.
    code = """
        import threading, time, quotix._internal as qi
        class Slow(tuple):
            def __del__(self):
                time.sleep(0.001)
        class Stocks:  # new items at every read
            def __getitem__(self, i):
                return Slow(((0, "000001"), (1, "600000"))[i])
        def loop(c):
            getattr(c, "connect", lambda *a: None)(*ADDRESS, 2.0)
            getattr(c, "set_rate_limit", lambda rps: None)(0)
            while True:
                CALL
        make = {"hq": qi.TdxHqClient, "direct": lambda: qi.TdxDirectClient(*ADDRESS, 2.0),
                "async": lambda: qi.AsyncTdxHqClient.with_pool_size(1)}
        for kind in KINDS:
            threading.Thread(target=loop, args=(make[kind](),), daemon=True).start()
        time.sleep(0.5)
    """.replace("ADDRESS", repr(mock.address())).replace("KINDS", repr(kinds.split())).replace("CALL", call)
    for _ in range(3):
        run_python(code)


def test_releases_that_run_python_code_are_made_before_the_method_returns(client):
    c, released = client("hq"), []

    class Item(tuple):
        def __del__(self):
            released.append(self[1])
            if self[1] == "600000":  # calls the client again: that call's item goes before it returns
                c.get_security_quotes(Fresh((0, "000002")))
                released.append("back")

    class Fresh:  # a new item at every read, so the method's snapshot holds its last reference
        def __init__(self, pair):
            self.pair = pair

        def __getitem__(self, i):
            return Item((self.pair,)[i])

    assert len(c.get_security_quotes(Fresh((1, "600000")))) == 1 and released == ["600000", "000002", "back"]


def test_adjustment_report(client):
    report = client("hq").calc_fq_factors(0, "000001", 0, 30)
    assert list(report) == ["factors", "cumulative_qfq", "cumulative_hfq"] and len(report["factors"]) == 4
    row = report["factors"][0]
    assert list(row) == ["date", "close_before", "qfq_factor", "hfq_factor", "div_per_share", "bonus_ratio",
                         "rights_ratio", "rights_price"]
    assert (row["date"], row["close_before"], row["div_per_share"]) == (20240603, 10.09, 0.5)
    assert report["cumulative_qfq"] == pytest.approx(0.442377, abs=5e-7)
    assert report["cumulative_hfq"] == pytest.approx(1 / report["cumulative_qfq"])


@pytest.mark.parametrize("kind, call, code, exc", [
    ("direct", lambda c: c.get_security_bars(4, 1, "600000", 0, 10, 0), "600000", ConnectionError),
    ("block", lambda c: c.get_block_bars(4, "880001", 0, 10), "880001", ValueError),
])
def test_direct_client_settings_and_threads(client, mock, kind, call, code, exc):
    c = client(kind)
    want = dataset.expected_bars(1, code, 4, 0, 10)
    assert c.set_server("127.0.0.1", mock.ports[1]) is None and call(c) == want
    assert [mock.counters(i)["requests"].get("bars", 0) for i in (0, 1)] == [0, 1]
    c.set_timeout(0)
    with pytest.raises(exc, match="^Connection error: "):
        call(c)
    c.set_timeout(2.0)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:  # threads sharing one object
        assert list(pool.map(lambda _: call(c) == want, range(12))) == [True] * 12


def test_fund_helpers_and_list(client):
    f = qi.TdxHqFundClient
    assert (f.is_fund(1, "510300"), f.is_fund(0, "510300"), f.classify_fund(0, "161725"),
            f.auto_market_code("600519"), f.auto_market_code(code="000001")) == (True, False, "LOF", 1, 0)
    assert [f.auto_market_code(c) for c in ("510300", "900901", "830799", "７00", "")] == [1, 1, 0, 0, 0]
    funds = client("fund").get_fund_list(1)
    assert len(funds) == 103 and list(funds[0].items()) == [
        ("market", 1), ("code", "510050"), ("name", "50ETF"), ("fund_type", "ETF"), ("fund_type_zh", "交易型开放式指数基金"),
        ("vol_unit", 100), ("decimal_point", 3), ("pre_close", 2.5)]


def test_smart_client_cache(client, mock):
    host, port = mock.address()
    c = client("smart")
    assert c.cache_stats() == f'last_success: Some("{host}:{port}"), blacklist: {len(BUILTIN)}, stats: 0'
    assert c.disconnect() is None and c.is_connected() is False
    assert c.connect_to_any(1.5) is True and mock.counters()["handshakes"] == 1  # the cached server again
    assert c.clear_cache() is None and c.cache_stats() == "last_success: None, blacklist: 0, stats: 0"
    assert c.is_connected() is True
