"""TdxDirectClient queries other than bars: quotes, security list and count, minute data, ticks,
finance, XDXR events and block files. All against the loopback mock server."""

import datetime
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import dataset
from quotix._internal import TdxDirectClient

QUOTE_KEYS = ["market", "code", "price", "last_close", "open", "high", "low", "vol", "cur_vol",
              "amount", "s_vol", "b_vol",
              "bid1", "bid_vol1", "ask1", "ask_vol1", "bid2", "bid_vol2", "ask2", "ask_vol2",
              "bid3", "bid_vol3", "ask3", "ask_vol3", "bid4", "bid_vol4", "ask4", "ask_vol4",
              "bid5", "bid_vol5", "ask5", "ask_vol5", "servertime"]
XDXR_KEYS = ["year", "month", "day", "category", "name", "fenhong", "peigujia", "songzhuangu",
             "peigu", "suogu", "panqianliutong", "panhouliutong", "qianzongguben",
             "houzongguben", "fenshu", "xingquanjia"]


@pytest.fixture
def client(mock_server):
    host, port = mock_server.address()
    return TdxDirectClient(host, port, 2.0)


def last_args(mock, cmd):
    return mock.request_log(cmd=cmd)[-1]["args"]


class TestQuotes:
    def test_quote_dict(self, client):
        [q] = client.get_security_quotes([(1, "600000")])
        assert list(q) == QUOTE_KEYS
        # P = 1000 in units of 0.01: last_close P-10, open P-5, high P+20, low P-30,
        # bid_k P-k / ask_k P+k with volumes 100k / 200k.
        assert (q["market"], q["code"], q["price"]) == (1, "600000", 10.0)
        assert q["last_close"] == pytest.approx(9.90)
        assert q["open"] == pytest.approx(9.95)
        assert q["high"] == pytest.approx(10.20)
        assert q["low"] == pytest.approx(9.70)
        assert (q["vol"], q["cur_vol"], q["amount"], q["s_vol"], q["b_vol"]) == (
            100000.0, 100.0, 100000000.0, 60000.0, 40000.0)
        assert q["bid3"] == pytest.approx(9.97) and q["bid_vol3"] == 300.0
        assert q["ask5"] == pytest.approx(10.05) and q["ask_vol5"] == 1000.0
        assert q["servertime"] == "14:30:2541"

    def test_pairs_go_out_in_order(self, client, mock_server):
        quotes = client.get_security_quotes(((0, "000001"), (1, "510300"), (2, "830799")))
        assert [(q["market"], q["code"]) for q in quotes] == [
            (0, "000001"), (1, "510300"), (2, "830799")]
        assert quotes[1]["price"] == pytest.approx(1.300)  # a fund's unit is 0.001
        assert last_args(mock_server, "quotes")["pairs"] == [
            [0, "000001"], [1, "510300"], [2, "830799"]]

    def test_empty_list_is_still_a_request(self, client, mock_server):
        assert client.get_security_quotes([]) == []
        assert mock_server.requests("quotes") == 1
        assert last_args(mock_server, "quotes")["n"] == 0

    def test_more_than_sixty_are_cut_to_the_first_sixty(self, client, mock_server):
        stocks = [(1, f"{600100 + i}") for i in range(61)]
        quotes = client.get_security_quotes(stocks)
        assert [q["code"] for q in quotes] == [c for _, c in stocks[:60]]
        assert last_args(mock_server, "quotes")["n"] == 60

    def test_block_code_anywhere_refuses_before_any_request(self, client, mock_server):
        stocks = [(1, f"{600100 + i}") for i in range(70)] + [(1, "880001")]
        with pytest.raises(ValueError, match="code=880001$"):
            client.get_security_quotes(stocks)
        assert mock_server.counters()["total"]["accepted"] == 0

    @pytest.mark.parametrize("arg,exc", [
        ("600000", TypeError),
        ([(1, "600000", 0)], ValueError),
        ([(256, "600000")], OverflowError),
        ([(1, 600000)], TypeError),
        ([[1, "600000"]], TypeError),
        (None, TypeError),
    ])
    def test_argument_errors(self, client, mock_server, arg, exc):
        with pytest.raises(exc):
            client.get_security_quotes(arg)
        assert mock_server.counters()["total"]["accepted"] == 0


def run_logged(code, port, level):
    env = dict(os.environ, QUOTIX_LOG=level)
    src = f"import quotix._internal as qi\nPORT = {port}\n" + textwrap.dedent(code)
    r = subprocess.run([sys.executable, "-c", src], env=env, cwd=tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr


class TestLogLines:
    QUOTES_61 = """
        c = qi.TdxDirectClient("127.0.0.1", PORT, 2.0)
        assert len(c.get_security_quotes([(1, str(600100 + i)) for i in range(61)])) == 60
    """

    def test_truncation_warning(self, mock_server):
        err = run_logged(self.QUOTES_61, mock_server.port, "warn")
        assert err == "[W] direct  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n"

    def test_no_warning_below_warn_level(self, mock_server):
        assert run_logged(self.QUOTES_61, mock_server.port, "error") == ""

    def test_failed_connect_is_logged(self, mock_server):
        mock_server.listen(0, False)
        err = run_logged("""
            c = qi.TdxDirectClient("127.0.0.1", PORT, 1.0)
            try:
                c.get_security_list(0)
            except ConnectionError as e:
                print(e)
        """, mock_server.port, "error")
        assert err.startswith(f"[E] direct  connect to 127.0.0.1:{mock_server.port} failed: "
                              "Connection error: ")


class TestSecurityList:
    def test_first_page(self, client, mock_server):
        rows = client.get_security_list(0)
        assert len(rows) == 1000
        assert rows[0] == {"code": "000001", "volunit": 100, "decimal_point": 2,
                           "name": "平安银行", "pre_close": 10.0}
        assert list(rows[0]) == ["code", "volunit", "decimal_point", "name", "pre_close"]
        assert last_args(mock_server, "list") == {"market": 0, "start": 0}

    def test_later_page_is_asked_for_every_time(self, client, mock_server):
        assert len(client.get_security_list(0, 2000)) == 105
        assert len(client.get_security_list(market=0, start=2000)) == 105
        assert mock_server.requests("list") == 2
        assert client.get_security_list(0, 65535) == []

    def test_start_is_sixteen_bits(self, client, mock_server):
        with pytest.raises(OverflowError, match="'start'"):
            client.get_security_list(0, 65536)
        assert mock_server.counters()["total"]["accepted"] == 0


class TestSecurityCount:
    @pytest.mark.parametrize("market,count", [(0, 2105), (1, 1908), (2, 301), (9, 0)])
    def test_counts(self, client, mock_server, market, count):
        assert client.get_security_count(market) == count
        assert last_args(mock_server, "count") == {"market": market, "date": 20170613}

    def test_two_byte_body_is_read_little_endian(self, client, mock_server):
        mock_server.set_fault("body", cmd="count", hex="3412ffff")
        assert client.get_security_count(0) == 0x1234


class TestMinuteTime:
    def test_history_minute_time(self, client, mock_server):
        points = client.get_history_minute_time_data(1, "600000", 20240105)
        assert len(points) == 240
        assert list(points[0]) == ["time", "price", "avg_price", "vol"]
        assert last_args(mock_server, "minute") == {"date": 20240105, "market": 1,
                                                    "code": "600000"}

    def test_today_is_the_date_at_utc_plus_8(self, client, mock_server):
        utc8 = datetime.timezone(datetime.timedelta(hours=8))
        before = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
        client.get_minute_time_data(0, "000001")
        after = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
        assert last_args(mock_server, "minute")["date"] in (before, after)

    def test_body_too_short_for_records_is_empty(self, client, mock_server):
        mock_server.set_fault("empty", cmd="minute")
        assert client.get_history_minute_time_data(1, "600000", 20240105) == []

    def test_date_is_required_and_32_bits(self, client):
        with pytest.raises(TypeError, match="missing required argument 'date'"):
            client.get_history_minute_time_data(1, "600000")
        with pytest.raises(OverflowError, match="'date'"):
            client.get_history_minute_time_data(1, "600000", 2 ** 32)


class TestTicks:
    TICK_KEYS = ["time", "price", "vol", "num", "buyorsell", "reserved"]

    def test_live_ticks_with_defaults(self, client, mock_server):
        ticks = client.get_transaction_data(1, "600000")
        assert len(ticks) == 1200
        assert last_args(mock_server, "ticks") == {"market": 1, "code": "600000", "start": 0,
                                                   "count": 2000}
        # Tick 1199, the newest: 14:59, price P + (1199 mod 7) - 3 = 999, vol 10 + 29,
        # num 1 + 4, buyorsell 1.
        assert list(ticks[-1]) == self.TICK_KEYS
        assert ticks[-1] == {"time": "14:59", "price": 9.99, "vol": 39.0, "num": 5,
                             "buyorsell": 1, "reserved": 0}

    def test_price_scale_follows_the_code(self, client):
        [t] = client.get_transaction_data(1, "510300", 0, 1)
        assert t["price"] == pytest.approx(1.299)  # 1300 + 2 - 3 thousandths

    def test_history_ticks_default_to_date_zero(self, client, mock_server):
        ticks = client.get_history_transaction_data(1, "600000", 0, 2)
        assert [t["price"] for t in ticks] == [9.98, 9.99]
        assert last_args(mock_server, "history_ticks") == {
            "date": 0, "market": 1, "code": "600000", "start": 0, "count": 2}
        client.get_history_transaction_data(1, "600000", date=20240105)
        assert last_args(mock_server, "history_ticks")["date"] == 20240105
        assert last_args(mock_server, "history_ticks")["count"] == 2000

    @pytest.mark.parametrize("method", ["get_transaction_data", "get_history_transaction_data"])
    def test_start_and_count_are_sixteen_bits(self, client, mock_server, method):
        with pytest.raises(OverflowError, match="'start'"):
            getattr(client, method)(1, "600000", 65536)
        with pytest.raises(OverflowError, match="'count'"):
            getattr(client, method)(1, "600000", 0, 65536)
        assert mock_server.counters()["total"]["accepted"] == 0


class TestFinance:
    def test_finance_dict(self, client):
        f = client.get_finance_info(0, "000001")
        assert len(f) == 36
        assert list(f)[:8] == ["market", "code", "liutongguben", "province", "industry",
                               "updated_date", "ipo_date", "zongguben"]
        assert list(f)[-1] == "meigujingzichan"
        # m = 1: liutongguben 1000000 + m, province m mod 32, float j = 1000 (j + 1) + m.
        assert (f["market"], f["code"], f["liutongguben"], f["province"], f["industry"]) == (
            0, "000001", 1000001.0, 1, 1)
        assert (f["updated_date"], f["ipo_date"]) == (20240630, 19991110)
        assert (f["zongguben"], f["meigujingzichan"]) == (1001.0, 29001.0)

    def test_market_and_code_are_the_callers(self, client, mock_server):
        mock_server.set_fault("body", cmd="finance", hex=dataset.finance_reply(1, "600000").hex())
        f = client.get_finance_info(0, "000001")
        assert (f["market"], f["code"], f["liutongguben"]) == (0, "000001", 1000000.0)

    def test_short_body_is_value_error(self, client, mock_server):
        mock_server.set_fault("cut_body", cmd="finance", keep=20)
        with pytest.raises(ValueError, match=r"^\[E2103\] response length mismatch: "):
            client.get_finance_info(0, "000001")


class TestXdxr:
    def test_every_key_always_present_none_where_absent(self, client):
        events = client.get_xdxr_info(0, "000001")
        assert len(events) == 9
        assert all(list(e) == XDXR_KEYS for e in events)
        by_cat = {e["category"]: e for e in events}
        ex = events[1]
        assert (ex["year"], ex["month"], ex["day"], ex["category"], ex["fenhong"]) == (
            2024, 6, 3, 1, 5.0)
        assert ex["suogu"] is None and ex["xingquanjia"] is None
        assert by_cat[2]["fenhong"] is None and by_cat[2]["panqianliutong"] == 1000000.0
        assert by_cat[11]["suogu"] == 0.5 and by_cat[11]["fenhong"] is None
        assert (by_cat[13]["xingquanjia"], by_cat[13]["fenshu"]) == (4.5, 10.0)
        assert by_cat[20]["name"] == "未知"

    def test_no_events(self, client, mock_server):
        assert client.get_xdxr_info(1, "600519") == []
        assert last_args(mock_server, "xdxr") == {"one": 1, "market": 1, "code": "600519"}


class TestBlockFiles:
    def test_rows_of_a_block_file(self, client):
        rows = client.get_and_parse_block_info("block_zs.dat")
        assert list(rows[0]) == ["blockname", "block_type", "code_index", "code"]
        assert [(r["blockname"], r["block_type"], r["code_index"], r["code"]) for r in rows[:6]] == [
            ("沪深300", 2, 0, "600000"), ("沪深300", 2, 1, "600036"), ("沪深300", 2, 2, "600519"),
            ("沪深300", 2, 3, "000001"), ("沪深300", 2, 4, "000002"), ("上证", 2, 0, "600000")]

    def test_large_file_comes_in_chunks_each_on_its_own_connection(self, client, mock_server):
        rows = client.get_and_parse_block_info(block_file="block_gn.dat")
        # Block k holds k mod 5 + 1 codes: 8 rounds of 1 + 2 + 3 + 4 + 5.
        assert len(rows) == 120
        assert rows[-1]["blockname"] == "概念40"
        chunks = [(e["args"]["offset"], e["args"]["size"]) for e in mock_server.request_log(cmd="block_chunk")]
        assert chunks == [(0, 30000), (30000, 30000), (60000, 30000), (90000, 20141)]
        assert mock_server.counters()["total"]["accepted"] == 5

    def test_a_short_chunk_fails_instead_of_shifting_the_file(self, client, mock_server):
        mock_server.set_fault("cut_body", cmd="block_chunk", keep=-100, nth=2)
        with pytest.raises(ValueError, match=r"^\[E2103\] "):
            client.get_and_parse_block_info("block_gn.dat")

    def test_chunk_transport_failure_is_connection_error(self, client, mock_server):
        mock_server.set_fault("close", cmd="block_chunk", nth=1)
        with pytest.raises(ConnectionError):
            client.get_and_parse_block_info("block_fg.dat")

    def test_file_name_must_be_str(self, client):
        with pytest.raises(TypeError, match="'block_file'"):
            client.get_and_parse_block_info(b"block_zs.dat")
