"""TdxDirectClient bars: the request it sends, the adjustment road with its event request and
context pages, index bars and the block-code refusal. All against the loopback mock server."""

import pytest

import dataset
from quotix._internal import TdxDirectClient

BAR_KEYS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour",
            "minute", "datetime"]
BLOCK_1101 = ("[E1101] block code (88xxxx) not allowed in general client, use TdxBlockClient: "
              "code=")


@pytest.fixture
def client(mock_server):
    host, port = mock_server.address()
    return TdxDirectClient(host, port, 2.0)


def bar_starts(mock):
    return [e["args"]["start"] for e in mock.request_log(cmd="bars")]


class TestRawBars:
    def test_fq0_is_one_request_with_the_raw_bars(self, client, mock_server):
        bars = client.get_security_bars(4, 1, "600000", 5, 20, 0)
        assert bars == dataset.expected_bars(1, "600000", 4, 5, 20)
        assert list(bars[0]) == BAR_KEYS
        assert mock_server.requests("bars") == 1
        assert mock_server.requests("xdxr") == 0
        args = mock_server.request_log(cmd="bars")[0]["args"]
        assert (args["market"], args["code"], args["category"], args["start"], args["count"],
                args["fq"]) == (1, "600000", 4, 5, 20, 0)

    def test_defaults_are_start_0_count_800_fq_1(self, client, mock_server):
        client.get_security_bars(4, 0, "000002")
        args = mock_server.request_log(cmd="bars")[0]["args"]
        assert (args["start"], args["count"], args["fq"]) == (0, 800, 1)

    @pytest.mark.parametrize("fq", [1, 2, 7, 255])
    def test_flag_field_carries_the_callers_fq(self, client, mock_server, fq):
        client.get_security_bars(category=4, market=0, code="000002", start=0, count=5, fq=fq)
        assert mock_server.request_log(cmd="bars")[0]["args"]["fq"] == fq

    def test_intraday_bars_keep_their_time(self, client):
        bars = client.get_security_bars(0, 1, "600000", 0, 3, 0)
        assert [b["datetime"] for b in bars] == ["2024-06-28 14:50", "2024-06-28 14:55",
                                                 "2024-06-28 15:00"]
        assert (bars[-1]["hour"], bars[-1]["minute"]) == (15, 0)

    def test_empty_reply_is_an_empty_list(self, client):
        assert client.get_security_bars(4, 0, "999999", 0, 10, 0) == []
        assert client.get_security_bars(4, 0, "999999", 0, 10, 1) == []


class TestAdjustment:
    # 0 000001: 30 bars, close_i = 10.000 + 0.010 i; ex-rights events on bars 10, 20 (two) and 25.
    def test_forward(self, client):
        closes = [b["close"] for b in client.get_security_bars(4, 0, "000001", 0, 30, 1)]
        assert closes[0] == 4.424
        assert closes[10] == 4.701
        assert closes[20] == 9.685
        assert closes[25:] == [10.25, 10.26, 10.27, 10.28, 10.29]

    def test_any_other_nonzero_fq_is_forward(self, client):
        assert (client.get_security_bars(4, 0, "000001", 0, 30, 7)
                == client.get_security_bars(4, 0, "000001", 0, 30, 1))

    def test_backward(self, client):
        closes = [b["close"] for b in client.get_security_bars(4, 0, "000001", 0, 30, 2)]
        assert closes[0] == 10.0
        assert closes[10] == 10.627
        assert closes[20] == 21.893
        assert closes[29] == 23.261

    def test_adjusted_bars_keep_their_dates_and_volumes(self, client):
        raw = client.get_security_bars(4, 0, "000001", 0, 30, 0)
        adj = client.get_security_bars(4, 0, "000001", 0, 30, 1)
        strip = lambda bs: [(b["datetime"], b["vol"], b["amount"]) for b in bs]
        assert strip(adj) == strip(raw)

    def test_no_ex_rights_event_sends_no_context_request(self, client, mock_server):
        # 0 000002 has only events of other categories.
        bars = client.get_security_bars(4, 0, "000002", 0, 10, 1)
        assert bars == dataset.expected_bars(0, "000002", 4, 0, 10)
        assert mock_server.requests("xdxr") == 1
        assert bar_starts(mock_server) == [0]

    def test_first_bar_before_every_event_needs_no_context(self, client, mock_server):
        # Bars back 1990..1999 of 600036 (2016) lie before both of its events (2020, 2024).
        client.get_security_bars(4, 1, "600036", 1990, 10, 1)
        assert bar_starts(mock_server) == [1990]

    def test_one_context_page_when_it_reaches_back_past_the_event(self, client, mock_server):
        # (0, 800) of 600036: the page at 800 begins 2018-05-14, before the 2020-08-28 event.
        bars = client.get_security_bars(4, 1, "600036", 0, 800, 1)
        assert bar_starts(mock_server) == [0, 800]
        assert len(bars) == 800

    def test_context_pages_start_where_the_window_ends(self, client, mock_server):
        # (10, 100): the window ends 110 bars back, so the pages follow at 110, 910, ...; a page
        # at 800 would skip the bars between the window and it.
        client.get_security_bars(4, 1, "600036", 10, 100, 1)
        assert bar_starts(mock_server) == [10, 110, 910]

    def test_context_stops_at_an_empty_page(self, client, mock_server):
        # 600000's first event predates the series: every page is needed until one comes back
        # empty (3000 bars: 800, 1600, 2400 hold bars, 3200 is empty).
        client.get_security_bars(4, 1, "600000", 0, 800, 1)
        assert bar_starts(mock_server) == [0, 800, 1600, 2400, 3200]
        assert mock_server.requests("xdxr") == 1

    def test_context_makes_the_window_match_a_whole_history(self, client):
        # A window holding the event of 10 bars back gives its bars the prices of a longer one.
        whole = client.get_security_bars(4, 1, "600036", 0, 200, 1)
        part = client.get_security_bars(4, 1, "600036", 5, 100, 1)
        assert part == whole[95:195]
        assert part[0]["close"] != dataset.expected_bars(1, "600036", 4, 5, 100)[0]["close"]

    def test_a_failed_event_request_fails_the_call(self, client, mock_server):
        # Unadjusted prices handed back as adjusted ones would be wrong without a sign.
        mock_server.set_fault("close", cmd="xdxr")
        with pytest.raises(ConnectionError):
            client.get_security_bars(4, 0, "000001", 0, 30, 1)

    def test_a_failed_context_page_fails_the_call(self, client, mock_server):
        mock_server.set_fault("corrupt_zlib", cmd="bars", nth=2)
        with pytest.raises(ValueError, match=r"^\[E2102\]"):
            client.get_security_bars(4, 1, "600036", 0, 800, 1)

    def test_a_failed_bar_request_fails_before_any_event_request(self, client, mock_server):
        mock_server.set_fault("close", cmd="bars")
        with pytest.raises(ConnectionError, match="^Server disconnected$"):
            client.get_security_bars(4, 0, "000001", 0, 30, 1)
        assert mock_server.requests("xdxr") == 0


class TestIndexBars:
    def test_index_bars_with_member_counts(self, client, mock_server):
        bars = client.get_index_bars(4, 1, "000001", 0, 5)
        assert bars == dataset.expected_bars(1, "000001", 4, 0, 5)
        assert list(bars[0]) == BAR_KEYS + ["up_count", "down_count"]

    def test_fq_is_converted_but_never_applied(self, client, mock_server):
        bars = client.get_index_bars(4, 1, "000300", 0, 5, 2)
        assert bars == dataset.expected_bars(1, "000300", 4, 0, 5)
        assert mock_server.request_log(cmd="bars")[0]["args"]["fq"] == 0
        assert mock_server.requests("xdxr") == 0
        with pytest.raises(TypeError, match="'fq'"):
            client.get_index_bars(4, 1, "000300", 0, 5, "1")
        with pytest.raises(OverflowError, match="'fq'"):
            client.get_index_bars(4, 1, "000300", 0, 5, 256)

    def test_defaults(self, client, mock_server):
        assert len(client.get_index_bars(4, 0, "399001")) == 800
        args = mock_server.request_log(cmd="bars")[0]["args"]
        assert (args["start"], args["count"]) == (0, 800)


class TestRefusals:
    @pytest.mark.parametrize("method", ["get_security_bars", "get_index_bars"])
    def test_block_code_is_refused_without_contact(self, client, mock_server, method):
        with pytest.raises(ValueError) as e:
            getattr(client, method)(4, 1, "880001")
        assert str(e.value) == BLOCK_1101 + "880001"
        assert mock_server.counters()["total"]["accepted"] == 0

    def test_the_block_test_counts_bytes(self, client, mock_server):
        # Five or seven bytes pass; four characters of six UTF-8 bytes do not.
        assert client.get_security_bars(4, 1, "88000", 0, 1, 0) == []
        assert isinstance(client.get_security_bars(4, 1, "8800011", 0, 1, 0), list)
        with pytest.raises(ValueError, match="code=880001$"):  # whatever the market
            client.get_index_bars(4, 0, "880001", 0, 1)
        with pytest.raises(ValueError, match="code=88éé$"):
            client.get_security_bars(4, 1, "88éé")

    def test_start_beyond_sixteen_bits_is_refused_not_wrapped(self, client, mock_server):
        # The request holds 16 bits of start: 65536 would silently ask for the newest bars.
        for method in ("get_security_bars", "get_index_bars"):
            with pytest.raises(ValueError, match=r"^\[E1003\] argument out of range: start=65536$"):
                getattr(client, method)(4, 1, "600000", 65536, 10, 0)
        assert mock_server.counters()["total"]["accepted"] == 0
        assert client.get_security_bars(4, 1, "600000", 65535, 10, 0) == []

    @pytest.mark.parametrize("kwargs,exc,name", [
        (dict(category=256), OverflowError, "category"),
        (dict(market=-1), OverflowError, "market"),
        (dict(code=600000), TypeError, "code"),
        (dict(start=-1), OverflowError, "start"),
        (dict(start=2 ** 32), OverflowError, "start"),
        (dict(count=65536), OverflowError, "count"),
        (dict(count=1.5), TypeError, "count"),
        (dict(fq=None), TypeError, "fq"),
    ])
    def test_conversion_errors(self, client, mock_server, kwargs, exc, name):
        args = dict(category=4, market=1, code="600000", start=0, count=1, fq=0)
        args.update(kwargs)
        with pytest.raises(exc, match=f"'{name}'"):
            client.get_security_bars(**args)
        assert mock_server.counters()["total"]["accepted"] == 0

    def test_arguments_convert_in_order(self, client):
        with pytest.raises(OverflowError, match="'category'"):
            client.get_security_bars(300, 1, 5)
