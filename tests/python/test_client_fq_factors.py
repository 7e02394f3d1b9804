"""The adjustment factor report of TdxHqClient against hand-computed factors of the mock's data
set (see tests/mock_server/README.md for the events and closes used below)."""

import dataset
import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401

ROW_KEYS = ["date", "close_before", "qfq_factor", "hfq_factor", "div_per_share", "bonus_ratio", "rights_ratio",
            "rights_price"]


def factor(close, div=0.0, bonus=0.0, ratio=0.0, price=0.0):
    """(price x ratio + (close - div)) / ((bonus + 1 + ratio) x close)."""
    return (price * ratio + (close - div)) / ((bonus + 1 + ratio) * close)


def row(date, close, div=0.0, bonus=0.0, ratio=0.0, price=0.0):
    q = factor(close, div, bonus, ratio, price)
    return {"date": date, "close_before": close, "qfq_factor": q, "hfq_factor": 1.0 / q, "div_per_share": div,
            "bonus_ratio": bonus, "rights_ratio": ratio, "rights_price": price}


def assert_report(report, rows):
    assert list(report) == ["factors", "cumulative_qfq", "cumulative_hfq"]
    assert len(report["factors"]) == len(rows)
    for got, want in zip(report["factors"], rows, strict=True):
        assert list(got) == ROW_KEYS
        assert type(got["date"]) is int
        assert got == pytest.approx(want, rel=1e-12)
    cumulative = 1.0
    for r in rows:
        cumulative *= r["qfq_factor"]
    assert report["cumulative_qfq"] == pytest.approx(cumulative, rel=1e-12)
    assert report["cumulative_hfq"] == pytest.approx(1.0 / cumulative, rel=1e-12)


def test_worked_scenario(client, mock):
    report = client.calc_fq_factors(0, "000001", 0, 30)
    # The event of 2024-05-10 lies before the whole series: no close before it, no row.
    assert_report(report, [
        row(20240603, 10.09, div=0.5),
        row(20240617, 10.19, div=0.2),
        row(20240617, 10.19, bonus=1.0),
        row(20240624, 10.24, ratio=0.3, price=8.0),
    ])
    assert report["cumulative_qfq"] == pytest.approx(0.442377, abs=5e-7)
    bars = requests_of(mock, "bars")
    # The window raw (flag 0) through the K-line path, then one context page from just past it.
    assert [(b["category"], b["start"], b["count"], b["fq"]) for b in bars] == [(4, 0, 30, 0), (4, 30, 800, 0)]
    assert data_requests(mock) == ["bars", "xdxr", "bars"]


# 600036: events 1000 and 10 bars back. Context pages start right after the window (not at 800),
# and a window whose first bar is the event's own day takes its close before from a context page;
# the later event then takes the window's last close (back 900).
@pytest.mark.parametrize("args, close_back_10, pages", [
    ((), 30.88, [(0, 800), (800, 800)]),
    ((0, 100), 30.88, [(0, 100), (100, 800), (900, 800)]),
    ((900, 101), 30.99, [(900, 101), (1001, 800)]),
])
def test_context_pages_of_a_window(client, mock, args, close_back_10, pages):
    report = client.calc_fq_factors(1, "600036", *args)
    assert_report(report, [row(dataset.bar_date(1, "600036", 1000), 30.98, div=1.0),
                           row(dataset.bar_date(1, "600036", 10), close_back_10, div=0.2)])
    assert [(b["start"], b["count"]) for b in requests_of(mock, "bars")] == pages


def test_event_before_the_whole_series_pages_until_an_empty_page(client, mock):
    report = client.calc_fq_factors(1, "600000", 0, 800)
    assert_report(report, [
        row(dataset.bar_date(1, "600000", 1000), 10.98, bonus=0.5),
        row(dataset.bar_date(1, "600000", 100), 10.98, div=0.5),
    ])
    assert [b["start"] for b in requests_of(mock, "bars")] == [0, 800, 1600, 2400, 3200]


@pytest.mark.parametrize("market, code", [(1, "600519"), (0, "000002")])  # no events; other categories only
def test_no_price_events_no_factors(client, mock, market, code):
    assert client.calc_fq_factors(market, code) == {"factors": [], "cumulative_qfq": 1.0, "cumulative_hfq": 1.0}
    assert data_requests(mock) == ["bars", "xdxr"]


def test_refusals_without_traffic(client, mock):
    with pytest.raises(ValueError, match=r"^\[E1101\]"):
        client.calc_fq_factors(1, "880001")
    with pytest.raises(ValueError, match=r"^\[E1003\].*start=65536$"):
        client.calc_fq_factors(1, "600000", 65536)
    with pytest.raises(OverflowError):
        client.calc_fq_factors(1, "600000", 0, 65536)
    with pytest.raises(TypeError):
        client.calc_fq_factors(1)
    assert data_requests(mock) == []


def test_failed_event_request_raises(client, mock):
    client.set_auto_retry(False)
    mock.set_fault("close", cmd="xdxr", nth=1)
    with pytest.raises(ConnectionError):
        client.calc_fq_factors(1, "600036")
