"""TdxDirectClient bars: the request it sends, the adjustment road with its event request and
context pages, index bars and the block-code refusal. All against the loopback mock server."""

import pytest

import dataset
from quotix._internal import TdxDirectClient

BAR_KEYS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour",
            "minute", "datetime"]


@pytest.fixture
def client(mock):
    return TdxDirectClient(*mock.address(), 2.0)


def sent(mock, *keys):
    return [tuple(e["args"][k] for k in keys) for e in mock.request_log(cmd="bars")]


def closes(bars):
    return [b["close"] for b in bars]


def test_raw_bars_and_the_request(client, mock):
    bars = client.get_security_bars(4, 1, "600000", 5, 20, 0)
    assert bars == dataset.expected_bars(1, "600000", 4, 5, 20) and list(bars[0]) == BAR_KEYS
    assert mock.requests("xdxr") == 0
    client.get_security_bars(4, 0, "000002")
    for fq in (2, 7, 255):
        client.get_security_bars(category=4, market=0, code="000002", start=0, count=5, fq=fq)
    assert sent(mock, "market", "code", "category", "start", "count", "fq") == [
        (1, "600000", 4, 5, 20, 0), (0, "000002", 4, 0, 800, 1), (0, "000002", 4, 0, 5, 2),
        (0, "000002", 4, 0, 5, 7), (0, "000002", 4, 0, 5, 255)]
    five = client.get_security_bars(0, 1, "600000", 0, 3, 0)
    assert [b["datetime"] for b in five] == ["2024-06-28 14:50", "2024-06-28 14:55", "2024-06-28 15:00"]
    assert (five[-1]["hour"], five[-1]["minute"]) == (15, 0)
    assert client.get_security_bars(4, 0, "999999", 0, 10, 0) == []
    assert client.get_security_bars(4, 0, "999999", 0, 10, 1) == []


# 0 000001: 30 bars, close_i = 10.000 + 0.010 i; ex-rights events on bars 10, 20 (two) and 25.
def test_forward_and_backward_adjustment(client):
    raw = client.get_security_bars(4, 0, "000001", 0, 30, 0)
    fwd = client.get_security_bars(4, 0, "000001", 0, 30, 1)
    c = closes(fwd)
    assert (c[0], c[10], c[20], c[25:]) == (4.424, 4.701, 9.685, [10.25, 10.26, 10.27, 10.28, 10.29])
    assert client.get_security_bars(4, 0, "000001", 0, 30, 7) == fwd    # any other nonzero fq
    c = closes(client.get_security_bars(4, 0, "000001", 0, 30, 2))
    assert (c[0], c[10], c[20], c[29]) == (10.0, 10.627, 21.893, 23.261)
    strip = lambda bs: [(b["datetime"], b["vol"], b["amount"]) for b in bs]
    assert strip(fwd) == strip(raw)


@pytest.mark.parametrize("market, code, start, count, starts", [
    (0, "000002", 0, 10, [0]),                  # only events of other categories
    (1, "600036", 1990, 10, [1990]),            # bars of 2016, before both events (2020, 2024)
    (1, "600036", 0, 800, [0, 800]),            # the page at 800 reaches back past the 2020 event
    # Pages follow where the window ends (110), not at 800, which would skip bars.
    (1, "600036", 10, 100, [10, 110, 910]),
    (1, "600000", 0, 800, [0, 800, 1600, 2400, 3200]),   # first event predates the series
])
def test_context_pages(client, mock, market, code, start, count, starts):
    bars = client.get_security_bars(4, market, code, start, count, 1)
    assert len(bars) == count and sent(mock, "start") == [(s,) for s in starts]
    assert mock.requests("xdxr") == 1
    if code == "000002":
        assert bars == dataset.expected_bars(0, "000002", 4, 0, 10)


def test_context_makes_the_window_match_a_whole_history(client):
    whole = client.get_security_bars(4, 1, "600036", 0, 200, 1)
    part = client.get_security_bars(4, 1, "600036", 5, 100, 1)
    assert part == whole[95:195]
    assert part[0]["close"] != dataset.expected_bars(1, "600036", 4, 5, 100)[0]["close"]


@pytest.mark.parametrize("fault, args, exc, text, xdxr", [
    # Unadjusted prices handed back as adjusted ones would be wrong without a sign.
    (dict(action="close", cmd="xdxr"), (0, "000001", 0, 30), ConnectionError, None, 1),
    (dict(action="close", cmd="xdxr"), (0, "999999", 0, 10), ConnectionError, None, 1),  # no bars
    (dict(action="corrupt_zlib", cmd="bars", nth=2), (1, "600036", 0, 800), ValueError, r"^\[E2102\]", 1),
    (dict(action="close", cmd="bars"), (0, "000001", 0, 30), ConnectionError, "^Server disconnected$", 0),
])
def test_any_failed_request_fails_the_adjusted_call(client, mock, fault, args, exc, text, xdxr):
    mock.set_fault(**fault)
    with pytest.raises(exc, match=text):
        client.get_security_bars(4, *args, 1)
    assert mock.requests("xdxr") == xdxr


def test_index_bars(client, mock):
    bars = client.get_index_bars(4, 1, "000001", 0, 5)
    assert bars == dataset.expected_bars(1, "000001", 4, 0, 5)
    assert list(bars[0]) == BAR_KEYS + ["up_count", "down_count"]
    # fq is converted but never applied.
    assert client.get_index_bars(4, 1, "000300", 0, 5, 2) == dataset.expected_bars(1, "000300", 4, 0, 5)
    assert len(client.get_index_bars(4, 0, "399001")) == 800
    assert sent(mock, "start", "count", "fq") == [(0, 5, 0), (0, 5, 0), (0, 800, 0)]
    assert mock.requests("xdxr") == 0
    with pytest.raises(TypeError, match="'fq'"):
        client.get_index_bars(4, 1, "000300", 0, 5, "1")
    with pytest.raises(OverflowError, match="'fq'"):
        client.get_index_bars(4, 1, "000300", 0, 5, 256)


@pytest.mark.parametrize("method, args, exc, text", [
    ("get_security_bars", (4, 1, "880001"), ValueError,
     r"^\[E1101\] block code \(88xxxx\) not allowed in general client, use TdxBlockClient: code=880001$"),
    ("get_index_bars", (4, 0, "880001", 0, 1), ValueError, "code=880001$"),     # whatever the market
    ("get_security_bars", (4, 1, "88éé"), ValueError, "code=88éé$"),            # the test counts bytes
    # The request holds 16 bits of start: 65536 would silently ask for the newest bars.
    ("get_security_bars", (4, 1, "600000", 65536, 10, 0), ValueError,
     r"^\[E1003\] argument out of range: start=65536$"),
    ("get_index_bars", (4, 1, "600000", 65536, 10, 0), ValueError, r"^\[E1003\] argument out of range: start=65536$"),
    ("get_security_bars", (256, 1, "600000"), OverflowError, "'category'"),
    ("get_security_bars", (4, -1, "600000"), OverflowError, "'market'"),
    ("get_security_bars", (4, 1, 600000), TypeError, "'code'"),
    ("get_security_bars", (4, 1, "600000", -1), OverflowError, "'start'"),
    ("get_security_bars", (4, 1, "600000", 2 ** 32), OverflowError, "'start'"),
    ("get_security_bars", (4, 1, "600000", 0, 65536), OverflowError, "'count'"),
    ("get_security_bars", (4, 1, "600000", 0, 1.5), TypeError, "'count'"),
    ("get_security_bars", (4, 1, "600000", 0, 1, None), TypeError, "'fq'"),
    ("get_security_bars", (300, 1, 5), OverflowError, "'category'"),           # converted in order
])
def test_refused_without_contact(client, mock, method, args, exc, text):
    with pytest.raises(exc, match=text):
        getattr(client, method)(*args)
    assert mock.counters()["total"]["accepted"] == 0


def test_edges_that_pass(client):
    assert client.get_security_bars(4, 1, "88000", 0, 1, 0) == []
    assert isinstance(client.get_security_bars(4, 1, "8800011", 0, 1, 0), list)
    assert client.get_security_bars(4, 1, "600000", 65535, 10, 0) == []
