"""AsyncTdxHqClient queries other than bars: quotes, security count and list with their caches,
minute-time series, transactions, finance summaries and XDXR events."""

import datetime

import pytest
from hq_fixtures import run_logged

import dataset
from quotix._internal import AsyncTdxHqClient

QUOTE_KEYS = ["market", "code", "price", "last_close", "open", "high", "low", "vol", "cur_vol", "amount",
              "s_vol", "b_vol",
              "bid1", "bid_vol1", "ask1", "ask_vol1", "bid2", "bid_vol2", "ask2", "ask_vol2",
              "bid3", "bid_vol3", "ask3", "ask_vol3", "bid4", "bid_vol4", "ask4", "ask_vol4",
              "bid5", "bid_vol5", "ask5", "ask_vol5", "servertime"]
QUOTE_COLUMNS = ["code", "market", "price", "last_close", "open", "high", "low", "vol", "cur_vol", "amount",
                 "s_vol", "b_vol", "servertime"]
TICK_KEYS = ["time", "price", "vol", "num", "buyorsell", "reserved"]
FINANCE_HEAD = ["market", "code", "liutongguben", "province", "industry", "updated_date", "ipo_date"]
FINANCE_COLUMNS = ["code", "market", "zongguben", "liutongguben", "jingzichan", "jinglirun", "zhuyingshouru",
                   "yingyelirun", "meigujingzichan", "province", "industry"]
XDXR_OPTIONAL = ["fenhong", "peigujia", "songzhuangu", "peigu", "suogu", "panqianliutong", "panhouliutong",
                 "qianzongguben", "houzongguben", "fenshu", "xingquanjia"]
SHARES = ["panqianliutong", "panhouliutong", "qianzongguben", "houzongguben"]


@pytest.fixture(scope="module")
def client(mock_server_module):
    c = AsyncTdxHqClient.with_pool_size(2)
    c.connect(*mock_server_module.address(), 2.0)
    c.set_rate_limit(0)
    return c


@pytest.fixture
def fresh(mock):
    """A connected client of its own, with empty caches."""
    c = AsyncTdxHqClient.with_pool_size(2)
    c.connect(*mock.address(), 2.0)
    return c


def last(mock, cmd):
    return mock.request_log(cmd=cmd)[-1]


def today_utc8():
    return int((datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=8)).strftime("%Y%m%d"))


class TestQuotes:
    def test_dicts_tuples_and_frame(self, client, mock):
        pairs = [(0, "000001"), (1, "510300")]
        quotes = client.get_security_quotes(pairs)
        assert [list(q) for q in quotes] == [QUOTE_KEYS] * 2
        q = quotes[0]
        # P = 1001 in units of 0.01; a fund's unit is 0.001.
        assert (q["market"], q["code"], q["price"]) == (0, "000001", 10.01)
        assert (q["last_close"], q["open"], q["high"], q["low"]) == pytest.approx((9.91, 9.96, 10.21, 9.71))
        assert (q["vol"], q["cur_vol"], q["amount"], q["s_vol"], q["b_vol"]) == (
            100001.0, 100.0, 100001000.0, 60000.0, 40000.0)
        assert (q["bid2"], q["bid_vol2"], q["ask5"], q["ask_vol5"]) == pytest.approx((9.99, 200.0, 10.06, 1000.0))
        assert q["servertime"] == "14:30:2541"
        assert quotes[1]["price"] == 1.3
        assert last(mock, "quotes")["args"]["pairs"] == [[0, "000001"], [1, "510300"]]

        tuples = client.get_security_quotes_tuples(pairs)
        assert [len(t) for t in tuples] == [32, 32]
        assert tuples == [tuple(d.values())[:-1] for d in quotes]

        pytest.importorskip("pandas")
        df = client.get_security_quotes_dataframe(all_stock=pairs)
        assert list(df.columns) == QUOTE_COLUMNS
        assert df["code"].tolist() == ["000001", "510300"]
        assert df["servertime"].tolist() == ["14:30:2541"] * 2

    def test_batch_is_cut_to_sixty(self, client, mock):
        pairs = [(1, str(600100 + i)) for i in range(61)]
        quotes = client.get_security_quotes(pairs)
        assert [q["code"] for q in quotes] == [c for _, c in pairs[:60]]
        assert last(mock, "quotes")["args"]["n"] == 60

    def test_cut_batch_warns_at_warn_level_only(self, mock):
        src = """
            c = qi.AsyncTdxHqClient.with_pool_size(1)
            c.connect("127.0.0.1", PORT, 2.0)
            assert len(c.get_security_quotes([(1, str(600100 + i)) for i in range(61)])) == 60
        """
        assert run_logged(src, mock.port, "warn") == (
            "[W] async_hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n")
        assert run_logged(src, mock.port, "off") == ""

    def test_empty_list_and_empty_reply(self, client, mock):
        assert client.get_security_quotes([]) == []
        assert last(mock, "quotes")["args"]["n"] == 0
        mock.set_fault("empty", cmd="quotes")
        assert client.get_security_quotes([(1, "600000")]) == []
        assert client.get_security_quotes_tuples([(1, "600000")]) == []
        pytest.importorskip("pandas")
        df = client.get_security_quotes_dataframe(((1, "600000"),))
        assert list(df.columns) == QUOTE_COLUMNS and len(df) == 0

    def test_codes_are_cut_or_padded_to_six_bytes(self, client, mock):
        client.get_security_quotes([(1, "60000012"), (0, "1")])
        assert last(mock, "quotes")["args"]["codes_hex"] == ["363030303030", "310000000000"]

    @pytest.mark.parametrize("arg,exc,text", [
        ("600000", TypeError, "^argument 'all_stock': "),
        ({(1, "600000"): 1}, TypeError, "^argument 'all_stock': "),
        ({(1, "600000")}, TypeError, "^argument 'all_stock': "),
        (iter([(1, "600000")]), TypeError, "^argument 'all_stock': "),
        (7, TypeError, "^argument 'all_stock': "),
        ([[1, "600000"]], TypeError, "^argument 'all_stock': "),
        ([(1, "600000", 0)], ValueError, "^expected tuple of length 2, but got tuple of length 3$"),
        ([(1,)], ValueError, "^expected tuple of length 2, but got tuple of length 1$"),
        ([(256, "600000")], OverflowError, "^out of range integral type conversion attempted$"),
        ([(1, 600000)], TypeError, "^argument 'all_stock': "),
        ([(1, "600000"), (1.0, "600000")], TypeError, "^argument 'all_stock': "),
    ])
    def test_argument_errors_send_nothing(self, client, mock, arg, exc, text):
        for method in (client.get_security_quotes, client.get_security_quotes_tuples,
                       client.get_security_quotes_dataframe):
            with pytest.raises(exc, match=text):
                method(arg)
        assert mock.requests() == 0


class TestCountAndList:
    def test_count_and_list_are_cached_per_market(self, fresh, mock):
        assert fresh.get_security_count(0) == fresh.get_security_count(market=0) == 2105
        assert fresh.get_security_count(2) == 301
        assert mock.requests("count") == 2
        first = fresh.get_security_list(1)
        assert fresh.get_security_list(1, 0) == first
        assert len(first) == 1000
        assert mock.requests("list") == 1
        fresh.get_security_list(1, 1000)
        fresh.get_security_list(1, 1000)
        assert mock.requests("list") == 3

    def test_list_entries(self, client):
        [e] = [x for x in client.get_security_list(1, 1000) if x["code"] == "900901"]
        assert list(e) == ["code", "volunit", "decimal_point", "name", "pre_close"]
        assert (e["name"], e["pre_close"]) == ("AB", 0.5)
        entries = client.get_security_list(2)
        want = dataset.security_list_page(2, 0)
        assert [x["code"] for x in entries] == [w["code"] if isinstance(w, dict) else w[0] for w in want]
        assert type(entries[0]["volunit"]) is int and type(entries[0]["decimal_point"]) is int

    def test_connect_empties_the_caches(self, fresh, mock):
        fresh.get_security_count(0)
        fresh.get_security_list(0)
        fresh.connect(*mock.address())
        fresh.get_security_count(0)
        fresh.get_security_list(0)
        assert (mock.requests("count"), mock.requests("list")) == (2, 2)

    def test_after_disconnect_fresh_entries_still_answer(self, fresh, mock):
        fresh.get_security_count(1)
        page = fresh.get_security_list(1)
        fresh.disconnect()
        assert fresh.get_security_count(1) == 1908
        assert fresh.get_security_list(1) == page

    def test_short_count_body_is_an_error_and_not_cached(self, fresh, mock):
        mock.set_fault("body", cmd="count", hex="05", times=1)
        with pytest.raises(ValueError, match=r"^\[E2103\] response length mismatch: body too short for count$"):
            fresh.get_security_count(0)
        assert fresh.get_security_count(0) == 2105
        assert mock.requests("count") == 2

    def test_empty_first_page_is_cached_too(self, fresh, mock):
        mock.set_fault("empty", cmd="list", times=1)
        assert fresh.get_security_list(2) == []
        assert fresh.get_security_list(2) == []
        assert mock.requests("list") == 1

class TestMinuteTime:
    def test_today_is_the_history_request_for_todays_date(self, client, mock):
        before = today_utc8()
        live = client.get_minute_time_data(0, "000001")
        after = today_utc8()
        entry = last(mock, "minute")
        assert entry["args"]["date"] in (before, after)
        hist = client.get_history_minute_time_data(0, "000001", entry["args"]["date"])
        assert last(mock, "minute")["raw"] == entry["raw"]
        assert live == hist

    def test_points_come_newest_first(self, client):
        points = client.get_history_minute_time_data(0, "000001", 20240628)
        assert len(points) == 240
        assert list(points[0]) == ["time", "price", "avg_price", "vol"]
        assert (points[0]["time"], points[120]["time"], points[-1]["time"]) == ("15:00", "11:30", "09:31")
        # Point i: price P + i mod 10 with P = 1001 in units of 0.01, volume 100 + i.
        assert (points[0]["price"], points[0]["vol"]) == (pytest.approx(10.10), 339.0)
        assert (points[-1]["price"], points[-1]["avg_price"]) == pytest.approx((10.01, 10.01))
        fund = client.get_history_minute_time_data(1, "510300", 20240628)
        assert fund[0]["price"] == pytest.approx(1.309)

    def test_short_bodies(self, client, mock):
        mock.set_fault("body", cmd="minute", hex="000000000000", times=1)
        assert client.get_history_minute_time_data(0, "000001", 0) == []
        assert last(mock, "minute")["args"]["date"] == 0
        # One point with no volume yet: its average is its own price.
        mock.set_fault("body", cmd="minute", hex="000000000000" + "0a0000", times=1)
        assert client.get_minute_time_data(0, "000001") == [
            {"time": "09:31", "price": 0.1, "avg_price": 0.1, "vol": 0.0}]

class TestTransactions:
    def test_request_bytes(self, client, mock):
        client.get_transaction_data(0, "000001")
        assert last(mock, "ticks")["raw"] == "0c17080101010e000e00c50f0000303030303031" + "0000d007"
        client.get_history_transaction_data(1, "600519", date=20170613)
        assert last(mock, "history_ticks")["raw"] == (
            "0c013001000112001200b50f75c73301" + "0100363030353139" + "0000d007")
        client.get_history_transaction_data(1, "600519")
        assert last(mock, "history_ticks")["args"]["date"] == 0

    def test_codes_and_counts_go_out_as_given(self, client, mock):
        client.get_transaction_data(1, "60051999", 5, 0)
        client.get_transaction_data(0, "1", count=65535)
        client.get_transaction_data(0, "")
        raws = [e["raw"] for e in mock.request_log(cmd="ticks")]
        assert [r[28:40] for r in raws] == ["363030353139", "310000000000", "000000000000"]
        assert [(e["args"]["start"], e["args"]["count"]) for e in mock.request_log(cmd="ticks")] == [
            (5, 0), (0, 65535), (0, 2000)]

    def test_live_ticks(self, client):
        ticks = client.get_transaction_data(0, "000001", 0, 3)
        assert [list(t) for t in ticks] == [TICK_KEYS] * 3
        # The three newest of 1200: k = 1197..1199, price P + k mod 7 - 3 with P = 1001.
        assert [t["time"] for t in ticks] == ["14:59"] * 3
        assert [t["price"] for t in ticks] == pytest.approx([9.98, 9.99, 10.00])
        assert [(t["vol"], t["num"], t["buyorsell"]) for t in ticks] == [(37.0, 3, 1), (38.0, 4, 0), (39.0, 5, 1)]

    def test_history_ticks_have_no_num(self, client):
        ticks = client.get_history_transaction_data(1, "510300", 0, 2, 20240628)
        assert [list(t) for t in ticks] == [TICK_KEYS] * 2
        assert [t["num"] for t in ticks] == [0, 0]
        # A fund's unit is 0.001: P = 1300, k = 1198, 1199.
        assert [t["price"] for t in ticks] == pytest.approx([1.298, 1.299])

    def test_negative_fields_show_as_unsigned(self, client, mock):
        mock.set_fault("body", cmd="ticks", hex="0100" + "3a02" + "00" + "00" + "00" + "00" + "41", times=1)
        assert client.get_transaction_data(0, "000001")[0]["reserved"] == 2 ** 32 - 1

    def test_empty_and_short_replies(self, client, mock):
        mock.set_fault("empty", cmd="ticks", times=1)
        assert client.get_transaction_data(0, "000001") == []
        mock.set_fault("body", cmd="history_ticks", hex="00" * 6, times=1)
        assert client.get_history_transaction_data(0, "000001") == []
        mock.set_fault("zero_body", cmd="history_ticks")
        with pytest.raises(ValueError, match=r"^\[E2003\] server disconnected: empty response body$"):
            client.get_history_transaction_data(0, "000001")


class TestFinance:
    def test_one_summary(self, client, mock):
        info = client.get_finance_info(0, "000001")
        keys = list(info)
        assert len(keys) == 36 and keys[:7] == FINANCE_HEAD and keys[-1] == "meigujingzichan"
        want = dataset.finance_record(0, "000001")
        assert (info["market"], info["code"]) == (0, "000001")
        assert all(info[k] == want[k] for k in keys[2:])
        assert (type(info["province"]), type(info["liutongguben"])) == (int, float)

    def test_long_code_is_sent_cut_and_shown_whole(self, client, mock):
        assert client.get_finance_info(1, "60000012")["code"] == "60000012"
        assert last(mock, "finance")["args"]["code"] == "600000"

    def test_frame_of_several(self, client, mock):
        pd = pytest.importorskip("pandas")
        df = client.get_finance_info_dataframe([(0, "000001"), (1, "600000"), (0, "000001")])
        assert isinstance(df, pd.DataFrame)
        assert list(df.columns) == FINANCE_COLUMNS
        assert df["code"].tolist() == ["000001", "600000", "000001"]
        assert df["jinglirun"].tolist() == [dataset.finance_record(m, c)["jinglirun"]
                                            for m, c in [(0, "000001"), (1, "600000"), (0, "000001")]]
        assert mock.requests("finance") == 3

    def test_frame_stops_at_the_first_failure(self, client, mock):
        mock.set_fault("cut_body", cmd="finance", keep=10, nth=2)
        with pytest.raises(ValueError, match=r"^\[E2103\]"):
            client.get_finance_info_dataframe([(0, "000001"), (1, "600000"), (1, "600036")])
        assert [e["args"]["code"] for e in mock.request_log(cmd="finance")] == ["000001", "600000"]

    def test_frame_of_nothing_and_bad_lists(self, client, mock):
        pytest.importorskip("pandas")
        df = client.get_finance_info_dataframe(stocks=[])
        assert list(df.columns) == FINANCE_COLUMNS and len(df) == 0
        with pytest.raises(TypeError, match="^argument 'stocks': "):
            client.get_finance_info_dataframe("000001")
        with pytest.raises(ValueError):
            client.get_finance_info_dataframe([(0, "000001", 1)])
        assert mock.requests() == 0


class TestXdxr:
    def test_events_by_category(self, client):
        events = client.get_xdxr_info(0, "000001")
        assert [e["category"] for e in events] == [1, 1, 2, 1, 1, 11, 13, 1, 20]
        for e in events:
            assert list(e) == ["year", "month", "day", "category", "name"] + XDXR_OPTIONAL

        def present(e):
            return [k for k in XDXR_OPTIONAL if e[k] is not None]

        div = events[1]
        assert (div["year"], div["month"], div["day"], div["name"]) == (2024, 6, 3, "除权除息")
        assert present(div) == ["fenhong", "peigujia", "songzhuangu", "peigu"]
        assert div["fenhong"] == 5.0
        assert (events[5]["name"], present(events[5]), events[5]["suogu"]) == ("扩缩股", ["suogu"], 0.5)
        assert present(events[6]) == ["fenshu", "xingquanjia"]
        assert events[6]["name"] == "送认购权证"
        assert present(events[2]) == SHARES and events[2]["name"] == "送配股上市"
        assert (events[8]["name"], present(events[8])) == ("未知", SHARES)
        assert events[8]["houzongguben"] == 400.0

    def test_no_events(self, client):
        assert client.get_xdxr_info(1, "510300") == []


SHORT = r"^\[E2103\] response length mismatch: body too short"


@pytest.mark.parametrize("fault, call, text", [
    (("body", {"cmd": "ticks", "hex": "01"}), lambda c: c.get_transaction_data(0, "000001"), SHORT + "$"),
    (("cut_body", {"cmd": "finance", "keep": 144}), lambda c: c.get_finance_info(0, "000001"),
     SHORT + " for finance info$"),
    (("body", {"cmd": "xdxr", "hex": "00" * 10}), lambda c: c.get_xdxr_info(0, "000001"), SHORT + "$"),
])
def test_short_bodies_are_coded_errors(client, mock, fault, call, text):
    mock.set_fault(fault[0], times=1, **fault[1])
    with pytest.raises(ValueError, match=text):
        call(client)


@pytest.mark.parametrize("call, exc, text", [
    (lambda c: c.get_security_count(256), OverflowError, None),
    (lambda c: c.get_security_count("0"), TypeError, "^argument 'market': "),
    (lambda c: c.get_security_list(0, 65536), OverflowError, None),
    (lambda c: c.get_security_list(0, 1.5), TypeError, "^argument 'start': "),
    (lambda c: c.get_history_minute_time_data(0, "000001"), TypeError, None),
    (lambda c: c.get_history_minute_time_data(0, "000001", -1), OverflowError, None),
    (lambda c: c.get_transaction_data(0, "000001", 0, 65536), OverflowError, None),
    (lambda c: c.get_history_transaction_data(0, "000001", -1), OverflowError, None),
])
def test_bad_arguments_send_nothing(client, mock, call, exc, text):
    with pytest.raises(exc, match=text):
        call(client)
    assert mock.requests() == 0
