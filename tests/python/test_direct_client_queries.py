"""TdxDirectClient queries other than bars: quotes, security list and count, minute data, ticks,
finance, XDXR events and block files. All against the loopback mock server."""

import datetime

import pytest

import dataset
from quotix._internal import TdxDirectClient
from smart_helpers import run_python

QUOTE_KEYS = (["market", "code", "price", "last_close", "open", "high", "low", "vol", "cur_vol", "amount", "s_vol",
               "b_vol"] + [k for i in range(1, 6) for k in (f"bid{i}", f"bid_vol{i}", f"ask{i}", f"ask_vol{i}")]
              + ["servertime"])
XDXR_KEYS = ["year", "month", "day", "category", "name", "fenhong", "peigujia", "songzhuangu", "peigu", "suogu",
             "panqianliutong", "panhouliutong", "qianzongguben", "houzongguben", "fenshu", "xingquanjia"]
TRUNCATED = "批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n"


@pytest.fixture
def client(mock):
    return TdxDirectClient(*mock.address(), 2.0)


def last_args(mock, cmd):
    return mock.request_log(cmd=cmd)[-1]["args"]


def test_quotes(client, mock):
    [q] = client.get_security_quotes([(1, "600000")])
    assert list(q) == QUOTE_KEYS
    # P = 1000 in units of 0.01: last_close P-10, open P-5, high P+20, low P-30,
    # bid_k P-k / ask_k P+k with volumes 100k / 200k.
    assert [q[k] for k in QUOTE_KEYS[:12]] == [1, "600000", 10.0, pytest.approx(9.90), pytest.approx(9.95),
                                               pytest.approx(10.20), pytest.approx(9.70), 100000.0, 100.0,
                                               100000000.0, 60000.0, 40000.0]
    assert (q["bid3"], q["bid_vol3"], q["ask5"], q["ask_vol5"]) == (pytest.approx(9.97), 300.0,
                                                                   pytest.approx(10.05), 1000.0)
    assert q["servertime"] == "14:30:2541"
    quotes = client.get_security_quotes(((0, "000001"), (1, "510300"), (2, "830799")))
    assert [(q["market"], q["code"]) for q in quotes] == [(0, "000001"), (1, "510300"), (2, "830799")]
    assert quotes[1]["price"] == pytest.approx(1.300)  # a fund's unit is 0.001
    assert last_args(mock, "quotes")["pairs"] == [[0, "000001"], [1, "510300"], [2, "830799"]]
    assert client.get_security_quotes([]) == []          # still a request
    assert mock.requests("quotes") == 3 and last_args(mock, "quotes")["n"] == 0
    stocks = [(1, f"{600100 + i}") for i in range(61)]
    assert [q["code"] for q in client.get_security_quotes(stocks)] == [c for _, c in stocks[:60]]
    assert last_args(mock, "quotes")["n"] == 60


@pytest.mark.parametrize("arg, exc", [
    ([(1, f"{600100 + i}") for i in range(70)] + [(1, "880001")], ValueError),  # a block code anywhere
    ("600000", TypeError), ([(1, "600000", 0)], ValueError), ([(256, "600000")], OverflowError),
    ([(1, 600000)], TypeError), ([[1, "600000"]], TypeError), (None, TypeError),
])
def test_quote_argument_errors(client, mock, arg, exc):
    with pytest.raises(exc):
        client.get_security_quotes(arg)
    assert mock.counters()["total"]["accepted"] == 0


def test_log_lines(mock):
    quotes_61 = f"""
        import quotix._internal as qi
        c = qi.TdxDirectClient("127.0.0.1", {mock.port}, 2.0)
        assert len(c.get_security_quotes([(1, str(600100 + i)) for i in range(61)])) == 60
    """
    assert run_python(quotes_61, QUOTIX_LOG="warn").stderr == "[W] direct  " + TRUNCATED
    assert run_python(quotes_61, QUOTIX_LOG="error").stderr == ""
    mock.listen(0, False)
    try:
        err = run_python(f"""
            import quotix._internal as qi
            try:
                qi.TdxDirectClient("127.0.0.1", {mock.port}, 1.0).get_security_list(0)
            except ConnectionError as e:
                print(e)
        """, QUOTIX_LOG="error").stderr
    finally:
        mock.listen(0, True)
    assert err.startswith(f"[E] direct  connect to 127.0.0.1:{mock.port} failed: Connection error: ")


def test_security_list_and_count(client, mock):
    rows = client.get_security_list(0)
    assert len(rows) == 1000 and list(rows[0]) == ["code", "volunit", "decimal_point", "name", "pre_close"]
    assert rows[0] == {"code": "000001", "volunit": 100, "decimal_point": 2, "name": "平安银行", "pre_close": 10.0}
    assert last_args(mock, "list") == {"market": 0, "start": 0}
    assert len(client.get_security_list(0, 2000)) == len(client.get_security_list(market=0, start=2000)) == 105
    assert mock.requests("list") == 3                    # asked for every time
    assert client.get_security_list(0, 65535) == []
    for market, count in [(0, 2105), (1, 1908), (2, 301), (9, 0)]:
        assert client.get_security_count(market) == count
        assert last_args(mock, "count") == {"market": market, "date": 20170613}
    mock.set_fault("body", cmd="count", hex="3412ffff")
    assert client.get_security_count(0) == 0x1234       # two bytes, little-endian


def test_minute_time(client, mock):
    points = client.get_history_minute_time_data(1, "600000", 20240105)
    assert len(points) == 240 and list(points[0]) == ["time", "price", "avg_price", "vol"]
    assert last_args(mock, "minute") == {"date": 20240105, "market": 1, "code": "600000"}
    utc8 = datetime.timezone(datetime.timedelta(hours=8))
    before = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
    client.get_minute_time_data(0, "000001")
    after = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
    assert last_args(mock, "minute")["date"] in (before, after)
    mock.set_fault("empty", cmd="minute")
    assert client.get_history_minute_time_data(1, "600000", 20240105) == []   # too short for records


def test_ticks(client, mock):
    ticks = client.get_transaction_data(1, "600000")
    assert len(ticks) == 1200
    assert last_args(mock, "ticks") == {"market": 1, "code": "600000", "start": 0, "count": 2000}
    # Tick 1199: 14:59, price P + (1199 mod 7) - 3 = 999, vol 10 + 29, num 1 + 4, buyorsell 1.
    assert list(ticks[-1]) == ["time", "price", "vol", "num", "buyorsell", "reserved"]
    assert ticks[-1] == {"time": "14:59", "price": 9.99, "vol": 39.0, "num": 5, "buyorsell": 1, "reserved": 0}
    [t] = client.get_transaction_data(1, "510300", 0, 1)
    assert t["price"] == pytest.approx(1.299)  # 1300 + 2 - 3 thousandths
    assert [t["price"] for t in client.get_history_transaction_data(1, "600000", 0, 2)] == [9.98, 9.99]
    assert last_args(mock, "history_ticks") == {"date": 0, "market": 1, "code": "600000", "start": 0, "count": 2}
    client.get_history_transaction_data(1, "600000", date=20240105)
    assert (last_args(mock, "history_ticks")["date"], last_args(mock, "history_ticks")["count"]) == (20240105, 2000)


@pytest.mark.parametrize("call, exc, text", [
    (lambda c: c.get_security_list(0, 65536), OverflowError, "'start'"),
    (lambda c: c.get_history_minute_time_data(1, "600000"), TypeError, "missing required argument 'date'"),
    (lambda c: c.get_history_minute_time_data(1, "600000", 2 ** 32), OverflowError, "'date'"),
    (lambda c: c.get_transaction_data(1, "600000", 65536), OverflowError, "'start'"),
    (lambda c: c.get_transaction_data(1, "600000", 0, 65536), OverflowError, "'count'"),
    (lambda c: c.get_history_transaction_data(1, "600000", 65536), OverflowError, "'start'"),
    (lambda c: c.get_history_transaction_data(1, "600000", 0, 65536), OverflowError, "'count'"),
    (lambda c: c.get_and_parse_block_info(b"block_zs.dat"), TypeError, "'block_file'"),
])
def test_argument_errors(client, mock, call, exc, text):
    with pytest.raises(exc, match=text):
        call(client)
    assert mock.counters()["total"]["accepted"] == 0


def test_finance(client, mock):
    f = client.get_finance_info(0, "000001")
    assert len(f) == 36 and list(f)[-1] == "meigujingzichan"
    assert list(f)[:8] == ["market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date",
                           "zongguben"]
    # m = 1: liutongguben 1000000 + m, province m mod 32, float j = 1000 (j + 1) + m.
    assert [f[k] for k in list(f)[:8]] == [0, "000001", 1000001.0, 1, 1, 20240630, 19991110, 1001.0]
    assert f["meigujingzichan"] == 29001.0
    # Market and code are the caller's, whatever the reply says.
    mock.set_fault("body", cmd="finance", hex=dataset.finance_reply(1, "600000").hex(), nth=1)
    f = client.get_finance_info(0, "000001")
    assert (f["market"], f["code"], f["liutongguben"]) == (0, "000001", 1000000.0)
    mock.set_fault("cut_body", cmd="finance", keep=20)
    with pytest.raises(ValueError, match=r"^\[E2103\] response length mismatch: "):
        client.get_finance_info(0, "000001")


def test_xdxr_every_key_always_present_none_where_absent(client, mock):
    events = client.get_xdxr_info(0, "000001")
    assert len(events) == 9 and all(list(e) == XDXR_KEYS for e in events)
    by_cat = {e["category"]: e for e in events}
    ex = events[1]
    assert [ex[k] for k in ("year", "month", "day", "category", "fenhong", "suogu", "xingquanjia")] == [
        2024, 6, 3, 1, 5.0, None, None]
    assert (by_cat[2]["fenhong"], by_cat[2]["panqianliutong"]) == (None, 1000000.0)
    assert (by_cat[11]["suogu"], by_cat[11]["fenhong"]) == (0.5, None)
    assert (by_cat[13]["xingquanjia"], by_cat[13]["fenshu"], by_cat[20]["name"]) == (4.5, 10.0, "未知")
    assert client.get_xdxr_info(1, "600519") == []
    assert last_args(mock, "xdxr") == {"one": 1, "market": 1, "code": "600519"}


def test_block_files(client, mock):
    rows = client.get_and_parse_block_info("block_zs.dat")
    assert list(rows[0]) == ["blockname", "block_type", "code_index", "code"]
    assert [tuple(r.values()) for r in rows[:6]] == [
        ("沪深300", 2, 0, "600000"), ("沪深300", 2, 1, "600036"), ("沪深300", 2, 2, "600519"),
        ("沪深300", 2, 3, "000001"), ("沪深300", 2, 4, "000002"), ("上证", 2, 0, "600000")]
    mock.reset()
    rows = client.get_and_parse_block_info(block_file="block_gn.dat")
    # Block k holds k mod 5 + 1 codes: 8 rounds of 1 + 2 + 3 + 4 + 5; each chunk on its own connection.
    assert len(rows) == 120 and rows[-1]["blockname"] == "概念40"
    assert [(e["args"]["offset"], e["args"]["size"]) for e in mock.request_log(cmd="block_chunk")] == [
        (0, 30000), (30000, 30000), (60000, 30000), (90000, 20141)]
    assert mock.counters()["total"]["accepted"] == 5


def test_block_file_failures(client, mock):
    # A short chunk fails instead of shifting the rest of the file.
    mock.set_fault("cut_body", cmd="block_chunk", keep=-100, nth=2)
    with pytest.raises(ValueError, match=r"^\[E2103\] "):
        client.get_and_parse_block_info("block_gn.dat")
    mock.reset()
    mock.set_fault("close", cmd="block_chunk", nth=1)
    with pytest.raises(ConnectionError):
        client.get_and_parse_block_info("block_fg.dat")
