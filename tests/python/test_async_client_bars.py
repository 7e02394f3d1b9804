"""AsyncTdxHqClient bar methods: dicts, tuples and DataFrames of security and index bars, the
paging _all methods, price adjustment and the requests each call sends."""

import sys

import pytest

import dataset
from quotix._internal import AsyncTdxHqClient

BAR_KEYS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute",
            "datetime"]
INDEX_KEYS = BAR_KEYS + ["up_count", "down_count"]
BAR_COLUMNS = ["datetime", "year", "month", "day", "hour", "minute", "open", "high", "low", "close", "vol",
               "amount"]


@pytest.fixture(scope="module")
def client(mock_server_module):
    c = AsyncTdxHqClient.with_pool_size(2)
    c.connect(*mock_server_module.address(), 2.0)
    c.set_rate_limit(0)
    return c


def same_bars(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert list(g) == list(w)
        assert g == pytest.approx(w)


def pages(mock):
    return [(e["args"]["start"], e["args"]["count"], e["args"]["fq"]) for e in mock.request_log(cmd="bars")]


def closes(bars):
    return [b["close"] for b in bars]


class TestSecurityBars:
    def test_dicts_of_one_page(self, client, mock):
        bars = client.get_security_bars(4, 1, "600000", 0, 3, 0)
        same_bars(bars, dataset.expected_bars(1, "600000", 4, 0, 3))
        assert [type(v) for v in bars[0].values()] == [float] * 6 + [int] * 5 + [str]
        assert pages(mock) == [(0, 3, 0)]
        assert mock.requests("xdxr") == 0

    def test_intraday_bars_carry_the_time(self, client, mock):
        bars = client.get_security_bars(category=0, market=1, code="600000", count=2, fq=0)
        same_bars(bars, dataset.expected_bars(1, "600000", 0, 0, 2))
        assert (bars[-1]["hour"], bars[-1]["minute"]) == (15, 0)

    def test_defaults_ask_for_800_forward_adjusted(self, client, mock):
        bars = client.get_security_bars(4, 0, "000002")
        assert len(bars) == 800
        assert pages(mock)[0] == (0, 800, 1)
        assert mock.requests("xdxr") == 1
        # No ex-rights event: the prices are the raw ones.
        same_bars(bars, dataset.expected_bars(0, "000002", 4, 0, 800))

    def test_forward_and_backward_adjustment(self, client, mock):
        fwd = closes(client.get_security_bars(4, 0, "000001", 0, 30, 1))
        assert (fwd[0], fwd[10], fwd[20]) == (4.424, 4.701, 9.685)
        assert fwd[25:] == [10.25, 10.26, 10.27, 10.28, 10.29]
        back = closes(client.get_security_bars(4, 0, "000001", 0, 30, 2))
        assert (back[10], back[20], back[29]) == (10.627, 21.893, 23.261)
        # Any other non-zero fq adjusts forward, and goes out in the flag field as given.
        assert closes(client.get_security_bars(4, 0, "000001", 0, 30, 5)) == fwd
        assert [p[2] for p in pages(mock) if p[:2] == (0, 30)] == [1, 2, 5]

    def test_context_page_starts_where_the_window_ends(self, client, mock):
        client.get_security_bars(4, 1, "600036", 10, 100, 1)
        # The second context page (back 910 to 1709) is the first to reach the event at back 1000.
        assert pages(mock) == [(10, 100, 1), (110, 800, 0), (910, 800, 0)]

    def test_failed_xdxr_request_is_an_error_not_raw_prices(self, client, mock):
        mock.set_fault("body", cmd="xdxr", hex="00")
        with pytest.raises(ValueError, match=r"^\[E2103\] response length mismatch: body too short$"):
            client.get_security_bars(4, 0, "000001", 0, 30, 1)
        # Unadjusted bars need no events.
        assert len(client.get_security_bars(4, 0, "000001", 0, 30, 0)) == 30

    def test_start_beyond_16_bits_is_refused_before_any_request(self, client, mock):
        for call in (client.get_security_bars, client.get_index_bars, client.get_security_bars_tuples,
                     client.get_index_bars_dataframe):
            with pytest.raises(ValueError, match=r"^\[E1003\] argument out of range: start=65536$"):
                call(4, 1, "600000", 65536, 10, 0)
        assert mock.requests() == 0
        assert len(client.get_security_bars(4, 1, "600000", 65535, 10, 0)) == 0  # past the series

    def test_codes_are_sent_unchecked(self, client, mock):
        client.get_security_bars(4, 1, "60000012", 0, 1, 0)
        client.get_security_bars(4, 1, "6", 0, 1, 0)
        client.get_index_bars(4, 1, "880301", 0, 1)
        assert [e["args"]["code_hex"] for e in mock.request_log(cmd="bars")] == [
            "363030303030", "360000000000", "383830333031"]

    def test_empty_reply_is_an_empty_list(self, client, mock):
        assert client.get_security_bars(4, 1, "999999", 0, 10, 1) == []
        assert client.get_security_bars(4, 1, "600000", 0, 0, 0) == []
        assert pages(mock)[-1] == (0, 0, 0)


class TestSecurityBarsAll:
    def test_pages_make_one_series_oldest_first(self, client, mock):
        bars = client.get_security_bars_all(4, 1, "600000", 1000, 0)
        assert pages(mock) == [(0, 800, 0), (800, 200, 0)]
        same_bars(bars, dataset.expected_bars(1, "600000", 4, 800, 200) + dataset.expected_bars(1, "600000", 4, 0, 800))

    def test_short_or_empty_first_page_and_zero_count(self, client, mock):
        assert len(client.get_security_bars_all(4, 0, "000001", 1000, 0)) == 30
        assert pages(mock) == [(0, 800, 0)]
        mock.reset()
        assert client.get_security_bars_all(4, 1, "600000", 0) == []
        assert mock.requests() == 0
        assert client.get_security_bars_all(4, 1, "999999", 1000) == []
        assert mock.requests("bars") == 1

    def test_history_is_adjusted_as_a_whole(self, client, mock):
        bars = client.get_security_bars_all(4, 1, "600000", 1000)
        assert len(bars) == 1000
        assert mock.requests("xdxr") == 1
        # The dividend of back 100 (factor 10.48 / 10.98) reaches into the older page too.
        assert bars[0]["close"] == 9.545
        assert (bars[898]["close"], bars[899]["close"], bars[-1]["close"]) == (10.48, 10.99, 10.99)
        assert [b["datetime"] for b in bars] == sorted(b["datetime"] for b in bars)

    def test_a_failing_page_fails_the_call(self, client, mock):
        mock.set_fault("body", cmd="bars", hex="01", nth=2)
        with pytest.raises(ValueError, match=r"^\[E2103\]"):
            client.get_security_bars_all(4, 1, "600000", 1000, 0)
        assert mock.requests("bars") == 2


class TestIndexBars:
    def test_dicts_and_fq_has_no_effect(self, client, mock):
        want = dataset.expected_bars(1, "000001", 4, 0, 5)
        a = client.get_index_bars(4, 1, "000001", 0, 5, 2)
        b = client.get_index_bars(4, 1, "000001", 0, 5, 0)
        same_bars(a, want)
        assert a == b
        assert list(a[0]) == INDEX_KEYS
        assert pages(mock) == [(0, 5, 0), (0, 5, 0)]
        assert mock.requests("xdxr") == 0

    def test_all_pages_the_history(self, client, mock):
        bars = client.get_index_bars_all(4, 1, "000001", 2000, 1)
        assert pages(mock) == [(0, 800, 0), (800, 800, 0)]
        same_bars(bars, dataset.expected_bars(1, "000001", 4, 800, 800) + dataset.expected_bars(1, "000001", 4, 0, 800))
        mock.reset()
        assert client.get_index_bars_all(4, 1, "000001", 0) == []
        assert mock.requests() == 0

    def test_argument_widths(self, client):
        with pytest.raises(OverflowError):
            client.get_index_bars_all(4, 1, "000001", 65536)
        with pytest.raises(OverflowError):
            client.get_security_bars_all(4, 1, "600000", 100, 256)
        with pytest.raises(TypeError, match="^argument 'code': "):
            client.get_index_bars(4, 1, 1)


class TestTuples:
    @pytest.mark.parametrize("kind, args, width", [
        ("security", (4, 0, "000001", 0, 30, 1), 12),
        ("index", (0, 1, "000300", 0, 4, 2), 14),
    ])
    def test_tuples_hold_the_dict_values(self, client, kind, args, width):
        tuples = getattr(client, f"get_{kind}_bars_tuples")(*args)
        assert all(type(t) is tuple and len(t) == width for t in tuples)
        assert tuples == [tuple(d.values()) for d in getattr(client, f"get_{kind}_bars")(*args)]
        assert getattr(client, f"get_{kind}_bars_tuples")(4, 1, "999999") == []


class TestDataFrames:
    def test_security_bars(self, client):
        pd = pytest.importorskip("pandas")
        df = client.get_security_bars_dataframe(4, 0, "000001", 0, 30, 2)
        assert list(df.columns) == BAR_COLUMNS
        assert list(df.index) == list(range(30))
        dicts = client.get_security_bars(4, 0, "000001", 0, 30, 2)
        assert df["close"].tolist() == closes(dicts)
        assert df["datetime"].tolist() == [d["datetime"] for d in dicts]
        assert isinstance(df, pd.DataFrame)

    def test_index_bars_and_empty_results(self, client):
        pytest.importorskip("pandas")
        df = client.get_index_bars_dataframe(4, 1, "000001", 0, 3)
        assert list(df.columns) == BAR_COLUMNS + ["up_count", "down_count"]
        assert df["up_count"].tolist() == [197, 198, 199]
        empty = client.get_security_bars_dataframe(4, 1, "999999", fq=0)
        assert list(empty.columns) == BAR_COLUMNS and len(empty) == 0
        empty = client.get_index_bars_dataframe(4, 1, "999999")
        assert len(empty.columns) == 14 and len(empty) == 0

    def test_without_pandas_the_request_is_still_made_and_a_core_error_wins(self, client, mock, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError):
            client.get_security_bars_dataframe(4, 1, "600000", 0, 5, 0)
        assert mock.requests("bars") == 1
        assert len(client.get_security_bars_tuples(4, 1, "600000", 0, 5, 0)) == 5
        mock.set_fault("body", cmd="bars", hex="01")
        with pytest.raises(ValueError, match=r"^\[E2103\]"):
            client.get_index_bars_dataframe(4, 1, "000001")
