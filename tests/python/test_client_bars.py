"""K-line methods of TdxHqClient against the mock: requests on the wire, values, key and element
order, the paged forms, adjustment, DataFrames, and argument refusal without traffic."""

import math
import sys

import dataset
import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401


BAR_KEYS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute",
            "datetime"]
INDEX_KEYS = BAR_KEYS + ["up_count", "down_count"]
BAR_TYPES = [float] * 6 + [int] * 5 + [str]
INDEX_TYPES = BAR_TYPES + [int, int]

SECURITY_COLUMNS = ["datetime", "year", "month", "day", "hour", "minute", "open", "high", "low", "close",
                    "vol", "amount"]
INDEX_COLUMNS = SECURITY_COLUMNS + ["up_count", "down_count"]


def assert_dtypes(frame, columns):
    import pandas
    for column in columns:
        dtype = frame[column].dtype
        if column == "datetime":
            assert pandas.api.types.is_string_dtype(dtype), dtype  # object, or str since pandas 3
        elif column in ("open", "high", "low", "close", "vol", "amount"):
            assert str(dtype) == "float64", (column, dtype)
        else:
            assert str(dtype) == "int64", (column, dtype)


def round3(x):
    """Prices of adjusted bars: three decimals, halves away from zero."""
    return math.copysign(math.floor(abs(x) * 1000 + 0.5), x) / 1000


def assert_shape(rows, keys, types):
    for row in rows:
        assert list(row) == keys
        assert [type(v) for v in row.values()] == types


# ---- security bars ---------------------------------------------------------------------------

def test_daily_bars_unadjusted_match_the_data_set(client, mock):
    bars = client.get_security_bars(4, 1, "600000", 0, 800, 0)
    assert bars == dataset.expected_bars(1, "600000", 4, 0, 800)
    assert len(bars) == 800
    assert bars[-1]["datetime"] == "2024-06-28" and bars[0]["datetime"] == "2021-06-07"
    assert_shape(bars, BAR_KEYS, BAR_TYPES)
    (req,) = requests_of(mock, "bars")
    assert (req["category"], req["market"], req["code"], req["fq"], req["start"], req["count"]) == \
        (4, 1, "600000", 0, 0, 800)
    # Unadjusted bars need no XDXR events.
    assert data_requests(mock) == ["bars"]


def test_result_dicts_are_independent(client):
    first = client.get_security_bars(4, 1, "600000", 0, 3, 0)
    first[0]["extra"] = 1
    del first[1]["open"]
    first[2]["close"] = None
    again = client.get_security_bars(4, 1, "600000", 0, 3, 0)
    assert again == dataset.expected_bars(1, "600000", 4, 0, 3)
    assert [list(d) for d in again] == [BAR_KEYS] * 3
    assert list(first[0]) == BAR_KEYS + ["extra"]
    assert list(first[1]) == BAR_KEYS[1:]
    assert first[2]["close"] is None and first[0]["close"] == again[0]["close"]


def test_intraday_bars_carry_time_of_day(client):
    bars = client.get_security_bars(0, 1, "600000", 0, 48, 0)  # one day of 5-minute bars
    assert bars == dataset.expected_bars(1, "600000", 0, 0, 48)
    assert bars[0]["datetime"] == "2024-06-28 09:35" and (bars[0]["hour"], bars[0]["minute"]) == (9, 35)
    assert bars[-1]["datetime"] == "2024-06-28 15:00"


def test_defaults_are_start_0_count_800_forward_adjusted(client, mock):
    client.get_security_bars(4, 1, "600519")
    (req,) = requests_of(mock, "bars")
    assert (req["start"], req["count"], req["fq"]) == (0, 800, 1)
    # fq 1 asks for the events; 600519 has none, so no context page follows.
    assert data_requests(mock) == ["bars", "xdxr"]
    bars = client.get_security_bars(fq=0, count=5, start=2, code="600000", market=1, category=4)
    assert bars == dataset.expected_bars(1, "600000", 4, 2, 5)


# Worked values of the data set's adjustment scenario (0 000001, 30 bars, four category-1 events,
# each applying its own factor once).
def test_forward_adjustment_of_the_worked_scenario(client, mock):
    bars = client.get_security_bars(4, 0, "000001", 0, 30, 1)
    assert [bars[i]["close"] for i in (0, 10, 20)] == [4.424, 4.701, 9.685]
    # Bars from the last event on are only rounded.
    assert [b["close"] for b in bars[25:]] == [10.25, 10.26, 10.27, 10.28, 10.29]
    (req,) = requests_of(mock, "bars")[:1]
    assert req["fq"] == 1
    # The earliest event lies before the first bar: one context page, from just past the window.
    pages = requests_of(mock, "bars")[1:]
    assert [(p["start"], p["count"], p["fq"]) for p in pages] == [(30, 800, 0)]


def test_backward_adjustment_and_other_flags(client, mock):
    bars = client.get_security_bars(4, 0, "000001", 0, 30, 2)
    assert [bars[i]["close"] for i in (10, 20, 29)] == [10.627, 21.893, 23.261]
    assert bars[0]["close"] == 10.0  # before every event: unscaled
    # fq 3 adjusts forward, and goes out as given.
    assert client.get_security_bars(4, 0, "000001", 0, 30, 3) == client.get_security_bars(4, 0, "000001", 0, 30, 1)
    assert [r["fq"] for r in requests_of(mock, "bars") if r["start"] == 0] == [2, 3, 1]


def test_event_on_the_first_bar_fetches_context(client, mock):
    # 600036's earliest ex-rights event is on the bar 1000 back; a window whose first bar is that
    # one needs the close of the bar before it, which only a context page holds.
    window = client.get_security_bars(4, 1, "600036", 900, 101, 2)
    raw = dataset.expected_bars(1, "600036", 4, 900, 101)
    assert window[0]["datetime"] == "2020-08-28"
    scale = 1.0 / ((0.0 * 0.0 + (30.98 - 1.0)) / ((0.0 + 1 + 0.0) * 30.98))
    assert [b["close"] for b in window] == [round3(b["close"] * scale) for b in raw]
    pages = requests_of(mock, "bars")[1:]
    assert [p["start"] for p in pages] == [1001]


def test_context_pages_start_right_after_a_short_window(client, mock):
    # Window: the newest 100 bars; the event 1000 back needs pages from position 100 on, and the
    # second page (900..1699) reaches back past it.
    client.get_security_bars(4, 1, "600036", 0, 100, 1)
    pages = requests_of(mock, "bars")[1:]
    assert [(p["start"], p["count"]) for p in pages] == [(100, 800), (900, 800)]


def test_start_above_16_bits_is_refused_without_traffic(client, mock):
    before = len(mock.request_log())
    with pytest.raises(ValueError) as e:
        client.get_security_bars(4, 1, "600000", 65536, 800, 0)
    assert str(e.value).startswith("[E1003]") and str(e.value).endswith("start=65536")
    for method in (client.get_security_bars_tuples, client.get_security_bars_dataframe, client.get_index_bars,
                   client.get_index_bars_tuples, client.get_index_bars_dataframe):
        with pytest.raises(ValueError, match=r"^\[E1003\]"):
            method(4, 1, "000001", 70000)
    assert len(mock.request_log()) == before
    # 65535 itself still goes out; category 3 is below 4, so its empty reply switches no server.
    assert client.get_security_bars(3, 1, "600000", 65535, 1, 0) == []


def test_block_codes_are_refused_without_traffic(client, mock):
    before = len(mock.request_log())
    with pytest.raises(ValueError, match=r"^\[E1101\].*code=880001"):
        client.get_security_bars(4, 1, "880001")
    with pytest.raises(ValueError, match=r"^\[E1101\]"):
        client.get_index_bars_tuples(4, 1, "880001")
    assert len(mock.request_log()) == before


@pytest.mark.parametrize("args, exc", [
    ((256, 1, "600000"), OverflowError),
    ((4, -1, "600000"), OverflowError),
    ((4, 1, 600000), TypeError),
    ((4, 1, "600000", -1), OverflowError),
    ((4, 1, "600000", 2 ** 32), OverflowError),
    ((4, 1, "600000", 0, 65536), OverflowError),
    ((4, 1, "600000", 0, 800, 256), OverflowError),
    ((4, 1, "600000", 0, 800, "1"), TypeError),
    ((4, 1), TypeError),
    ((4, 1, "600000", 0, 800, 0, 1), TypeError),
])
def test_bad_arguments_raise_before_any_request(client, mock, args, exc):
    before = len(mock.request_log())
    for method in (client.get_security_bars, client.get_security_bars_tuples, client.get_security_bars_dataframe,
                   client.get_index_bars, client.get_index_bars_tuples, client.get_index_bars_dataframe):
        with pytest.raises(exc):
            method(*args)
    assert len(mock.request_log()) == before


# ---- tuples and DataFrames -------------------------------------------------------------------

@pytest.mark.parametrize("kind, args, columns", [
    ("security", (4, 1, "600000", 0, 800, 0), SECURITY_COLUMNS),
    ("index", (4, 0, "399001", 0, 300, 2), INDEX_COLUMNS),
])
def test_tuples_and_dataframe_hold_the_dict_values(client, kind, args, columns):
    dicts = getattr(client, f"get_{kind}_bars")(*args)
    tuples = getattr(client, f"get_{kind}_bars_tuples")(*args)
    assert all(type(t) is tuple for t in tuples)
    assert tuples == [tuple(d.values()) for d in dicts]
    frame = getattr(client, f"get_{kind}_bars_dataframe")(*args)
    assert list(frame.columns) == columns
    assert len(frame) == len(dicts) == args[4]
    assert_dtypes(frame, columns)
    for column in columns:
        assert frame[column].tolist() == [d[column] for d in dicts]


def test_empty_window_gives_empty_list_and_frame(client):
    # Category 3 (60 minutes) is below 4: an empty reply is returned as it is, with no server
    # switch. Its series holds 2000 bars.
    assert client.get_security_bars(3, 1, "600000", 3000, 10, 0) == []
    assert client.get_security_bars_tuples(3, 1, "600000", 3000, 10, 0) == []
    frame = client.get_security_bars_dataframe(3, 1, "600000", 3000, 10, 0)
    assert list(frame.columns) == SECURITY_COLUMNS and len(frame) == 0
    assert client.get_index_bars(3, 1, "000001", 5000, 10) == []
    frame = client.get_index_bars_dataframe(3, 1, "000001", 5000, 10)
    assert list(frame.columns) == INDEX_COLUMNS and len(frame) == 0


def test_dataframe_without_pandas_raises_after_the_request(client, mock, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError):
        client.get_security_bars_dataframe(4, 1, "600000", 0, 10, 0)
    with pytest.raises(ImportError):
        client.get_index_bars_dataframe(4, 1, "000001", 0, 10)
    assert len(requests_of(mock, "bars")) == 2
    # The dict and tuple forms do not need pandas.
    assert len(client.get_security_bars(4, 1, "600000", 0, 10, 0)) == 10
    assert len(client.get_index_bars_tuples(4, 1, "000001", 0, 10)) == 10


# ---- whole histories -------------------------------------------------------------------------

def test_security_bars_all_pages_of_800_oldest_first(client, mock):
    bars = client.get_security_bars_all(4, 1, "600000", 2000, 0)
    expected = (dataset.expected_bars(1, "600000", 4, 1600, 400) + dataset.expected_bars(1, "600000", 4, 800, 800)
                + dataset.expected_bars(1, "600000", 4, 0, 800))
    assert bars == expected
    assert [(r["start"], r["count"]) for r in requests_of(mock, "bars")] == [(0, 800), (800, 800), (1600, 400)]
    assert_shape(bars[:3], BAR_KEYS, BAR_TYPES)


def test_index_bars_match_the_data_set_and_ignore_fq(client, mock):
    bars = client.get_index_bars(4, 1, "000001", 0, 800, 9)
    assert bars == dataset.expected_bars(1, "000001", 4, 0, 800)
    assert_shape(bars, INDEX_KEYS, INDEX_TYPES)
    assert client.get_index_bars(4, 1, "000001", 0, 800, 0) == bars
    assert [r["fq"] for r in requests_of(mock, "bars")] == [0, 0]
    # Index bars are never adjusted, so no events are asked for.
    assert data_requests(mock) == ["bars", "bars"]


# 000001 holds more than 801 bars: a second page of one. 000300 holds 1000: the second page
# brings 200 of the 800 asked for and ends the walk.
@pytest.mark.parametrize("code, count, pages, segments", [
    ("000001", 801, [(0, 800), (800, 1)], [(800, 1), (0, 800)]),
    ("000300", 2000, [(0, 800), (800, 800)], [(800, 800), (0, 800)]),
])
def test_index_bars_all_pages(client, mock, code, count, pages, segments):
    bars = client.get_index_bars_all(4, 1, code, count, 1)
    assert [(r["start"], r["count"]) for r in requests_of(mock, "bars")] == pages
    assert bars == [b for start, n in segments for b in dataset.expected_bars(1, code, 4, start, n)]


def test_all_of_count_0_sends_nothing(client, mock):
    assert client.get_index_bars_all(4, 1, "000001", 0) == []
    assert client.get_security_bars_all(4, 1, "600000", 0) == []
    assert data_requests(mock) == []


def test_index_bars_all_failure_on_a_later_page_returns_nothing(client, mock):
    client.set_auto_retry(False)
    mock.set_fault("close", cmd="bars", nth=2)
    with pytest.raises(ConnectionError):
        client.get_index_bars_all(4, 1, "000001", 1000)
    assert len(requests_of(mock, "bars")) == 2
