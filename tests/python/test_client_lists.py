"""Security list and count, minute-time and transaction methods of TdxHqClient against the mock."""

import datetime

import dataset
import pytest
from hq_fixtures import client, data_requests, mock, requests_of  # noqa: F401


LIST_KEYS = ["code", "volunit", "decimal_point", "name", "pre_close"]
MINUTE_KEYS = ["time", "price", "avg_price", "vol"]
TICK_KEYS = ["time", "price", "vol", "num", "buyorsell", "reserved"]


def expected_list(market, start):
    rows = []
    for r in dataset.security_list(market)[start:start + 1000]:
        name = r["name"] if isinstance(r["name"], str) else "AB"  # the byte-order-mark name
        rows.append({"code": r["code"], "volunit": r["volunit"], "decimal_point": r["decimal_point"],
                     "name": name, "pre_close": r["pre_close"]})
    return rows


# ---- security list and count -----------------------------------------------------------------

def test_security_list_first_page(client, mock):
    rows = client.get_security_list(1)
    assert rows == expected_list(1, 0)
    assert len(rows) == 1000
    for row in rows[:5]:
        assert list(row) == LIST_KEYS
        assert [type(v) for v in row.values()] == [str, int, int, str, float]
    assert {"code": "510050", "volunit": 100, "decimal_point": 3, "name": "50ETF", "pre_close": 2.5} in rows
    assert [(r["market"], r["start"]) for r in requests_of(mock, "list")] == [(1, 0)]


def test_security_list_from_0_is_cached_other_starts_are_not(client, mock):
    first = client.get_security_list(0)
    assert client.get_security_list(0, 0) == first
    later = client.get_security_list(0, 1000)
    assert client.get_security_list(0, 1000) == later == expected_list(0, 1000)
    assert [r["start"] for r in requests_of(mock, "list")] == [0, 1000, 1000]
    client.set_cache_ttl(0)
    client.get_security_list(2)
    client.get_security_list(2)
    assert len(requests_of(mock, "list")) == 5


def test_security_list_second_page_with_a_byte_order_mark_name(client):
    rows = client.get_security_list(1, 1000)
    assert rows == expected_list(1, 1000)
    assert {"code": "900901", "volunit": 100, "decimal_point": 2, "name": "AB", "pre_close": 0.5} in rows


def test_security_count(client, mock):
    assert client.get_security_count(0) == 2105
    assert client.get_security_count(market=1) == 1908
    assert client.get_security_count(2) == 301
    assert client.get_security_count(9) == 0
    assert client.get_security_count(0) == 2105  # from the cache
    assert [r["market"] for r in requests_of(mock, "count")] == [0, 1, 2, 9]


def test_security_count_failures_are_value_errors(client, mock):
    client.set_auto_retry(False)
    client.set_cache_ttl(0)
    mock.set_fault("close", cmd="count", nth=1)
    with pytest.raises(ValueError) as e:
        client.get_security_count(0)
    assert type(e.value) is ValueError and str(e.value) == "Server disconnected"
    # The same failure reaches the other methods as ConnectionError.
    mock.set_fault("close", cmd="list", nth=1)
    with pytest.raises(ConnectionError, match="^Server disconnected$"):
        client.get_security_list(0)
    mock.set_fault("body", cmd="count", hex="05", nth=1)
    with pytest.raises(ValueError, match=r"^\[E2103\].*body too short for count"):
        client.get_security_count(0)


# ---- minute time -----------------------------------------------------------------------------

def expected_minutes(unit, p):
    """240 points, point i at price p + (i mod 10) and volume 100 + i, with the running
    volume-weighted average, newest first."""
    out, amount, volume = [], 0.0, 0.0
    for i in range(240):
        price = (p + i % 10) * unit
        vol = float(100 + i)
        amount += price * vol
        volume += vol
        m = i + 571 if i < 120 else i + 661
        out.append({"time": f"{m // 60:02}:{m % 60:02}", "price": price, "avg_price": amount / volume, "vol": vol})
    return out[::-1]


def test_history_minute_time_data(client, mock):
    points = client.get_history_minute_time_data(1, "600000", 20240628)
    assert points == expected_minutes(0.01, 1000)
    assert points[0]["time"] == "15:00" and points[-1]["time"] == "09:31" and points[120]["time"] == "11:30"
    assert all(list(p) == MINUTE_KEYS for p in points)
    (req,) = requests_of(mock, "minute")
    assert (req["market"], req["code"], req["date"]) == (1, "600000", 20240628)


def test_minute_time_data_asks_for_today_at_utc_plus_8(client, mock):
    before = datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=8)))
    points = client.get_minute_time_data(0, "159915")
    after = datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=8)))
    assert points == expected_minutes(0.001, 1915)
    (req,) = requests_of(mock, "minute")
    assert req["date"] in {int(before.strftime("%Y%m%d")), int(after.strftime("%Y%m%d"))}
    assert (req["market"], req["code"]) == (0, "159915")


# ---- transactions ----------------------------------------------------------------------------

def expected_ticks(unit, p, history=False):
    out = []
    for k in range(1200):
        mi = k // 5
        minutes = 570 + mi if mi < 120 else 780 + (mi - 120)
        out.append({"time": f"{minutes // 60:02}:{minutes % 60:02}", "price": (p + k % 7 - 3) * unit,
                    "vol": float(10 + k % 90), "num": 0 if history else 1 + k % 5, "buyorsell": k % 2,
                    "reserved": 0})
    return out


def test_transaction_data_defaults(client, mock):
    ticks = client.get_transaction_data(1, "600000")
    assert ticks == expected_ticks(0.01, 1000)
    assert ticks[0]["time"] == "09:30" and ticks[-1]["time"] == "14:59"
    for t in ticks[:3]:
        assert list(t) == TICK_KEYS
        assert [type(v) for v in t.values()] == [str, float, float, int, int, int]
    (req,) = requests_of(mock, "ticks")
    assert (req["market"], req["code"], req["start"], req["count"]) == (1, "600000", 0, 2000)


def test_transaction_data_window(client, mock):
    ticks = client.get_transaction_data(0, "000002", 100, 50)
    assert ticks == expected_ticks(0.01, 1002)[1200 - 150:1200 - 100]
    assert requests_of(mock, "ticks")[0]["count"] == 50


def test_history_transaction_data(client, mock):
    ticks = client.get_history_transaction_data(1, "510300", 0, 2000, 20240105)
    assert ticks == expected_ticks(0.001, 1300, history=True)
    (req,) = requests_of(mock, "history_ticks")
    assert (req["market"], req["code"], req["start"], req["count"], req["date"]) == (1, "510300", 0, 2000, 20240105)
    client.get_history_transaction_data(1, "600000")
    assert [(r["start"], r["count"], r["date"]) for r in requests_of(mock, "history_ticks")][1] == (0, 2000, 0)
    # The extremes of the widths are sent unchanged.
    client.get_transaction_data(1, "600000", 65535, 0)
    assert [(r["start"], r["count"]) for r in requests_of(mock, "ticks")] == [(65535, 0)]


def test_markets_and_codes_without_data_are_empty(client):
    assert client.get_security_list(9) == []
    assert client.get_history_minute_time_data(1, "999999", 20240628) == []


@pytest.mark.parametrize("call, exc", [
    (lambda c: c.get_security_list(1, 65536), OverflowError),
    (lambda c: c.get_security_list("1"), TypeError),
    (lambda c: c.get_history_minute_time_data(1, "600000", -1), OverflowError),
    (lambda c: c.get_history_minute_time_data(1, "600000"), TypeError),
    (lambda c: c.get_history_transaction_data(1, "600000", date=2 ** 32), OverflowError),
    *[(lambda c, m=m, bad=bad: getattr(c, m)(1, "600000", **bad), OverflowError)
      for m in ("get_transaction_data", "get_history_transaction_data")
      for bad in ({"start": 65536}, {"count": 65536}, {"start": -1})],
])
def test_bad_arguments_send_nothing(client, mock, call, exc):
    with pytest.raises(exc):
        call(client)
    assert data_requests(mock) == []
