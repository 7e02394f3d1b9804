"""The fund data queries of TdxHqFundClient against the loopback mock: fund-code refusals,
requests sent, result shapes and error mapping. Bars are asked only of series that exist: an
empty daily answer would make the core client look for another server."""

import datetime
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import dataset
import encoders
from quotix._internal import TdxHqFundClient

BAR_KEYS = ["open", "close", "high", "low", "vol", "amount", "year", "month", "day", "hour", "minute",
            "datetime"]
QUOTE_KEYS = (["market", "code", "price", "last_close", "open", "high", "low", "vol", "amount"]
              + [k for i in range(1, 6) for k in (f"bid{i}", f"bid_vol{i}")]
              + [k for i in range(1, 6) for k in (f"ask{i}", f"ask_vol{i}")]
              + ["servertime"])


@pytest.fixture
def fund(mock_server_module):
    mock_server_module.reset()
    c = TdxHqFundClient()
    c.connect(*mock_server_module.address())
    mock_server_module.reset()
    yield c
    c.disconnect()


@pytest.fixture
def mock(mock_server_module):
    return mock_server_module


def args_of(mock, cmd):
    return [e["args"] for e in mock.request_log(cmd=cmd)]


REFUSED_1103 = "[E1103] fund code not supported in this context: Invalid fund code: "


class TestFundCodeRefusal:
    @pytest.mark.parametrize("call", [
        lambda c, m, k: c.get_fund_bars(4, m, k),
        lambda c, m, k: c.get_fund_bars_all(4, m, k),
        lambda c, m, k: c.get_fund_minute_time_data(m, k),
        lambda c, m, k: c.get_fund_history_minute_time_data(m, k, 20240628),
        lambda c, m, k: c.get_fund_transaction_data(m, k),
        lambda c, m, k: c.get_fund_history_transaction_data(m, k, 0, 10, 20240628),
        lambda c, m, k: c.get_fund_xdxr_info(m, k),
        lambda c, m, k: c.get_fund_finance_info(m, k),
    ])
    def test_every_method_refuses_before_sending(self, fund, mock, call):
        with pytest.raises(ValueError) as e:
            call(fund, 1, "600519")
        assert str(e.value) == REFUSED_1103 + "1:600519 is not a fund"
        for market, code in [(0, "510300"), (1, "159915"), (2, "510300"), (1, "5"), (0, "")]:
            with pytest.raises(ValueError) as e:
                call(fund, market, code)
            assert str(e.value) == REFUSED_1103 + f"{market}:{code} is not a fund"
        assert mock.requests() == 0

    def test_quotes_refuse_with_invalid_format(self, fund, mock):
        with pytest.raises(ValueError) as e:
            fund.get_fund_quotes([(1, "600519")])
        assert str(e.value) == "[E1004] invalid format: Invalid fund code: 1:600519 is not a fund"
        assert mock.requests() == 0

    def test_quotes_stop_at_the_first_refused_pair(self, fund, mock):
        with pytest.raises(ValueError) as e:
            fund.get_fund_quotes([(1, "510300"), (0, "000001"), (1, "600519")])
        assert str(e.value).endswith("Invalid fund code: 0:000001 is not a fund")
        assert mock.requests() == 0

    def test_quotes_check_pairs_past_the_batch_limit(self, fund, mock):
        stocks = [(1, "510300")] * 60 + [(1, "600000")]
        with pytest.raises(ValueError, match="1:600000 is not a fund"):
            fund.get_fund_quotes(stocks)
        assert mock.requests() == 0

    def test_refusal_is_not_a_connection_error(self, fund):
        with pytest.raises(ValueError) as e:
            fund.get_fund_bars(4, 1, "600519")
        assert not isinstance(e.value, OSError)


class TestBars:
    def test_bars_with_defaults_and_flag_zero(self, fund, mock):
        bars = fund.get_fund_bars(4, 0, "159915")
        assert len(bars) == 800
        assert args_of(mock, "bars") == [{**args_of(mock, "bars")[0], "market": 0, "code": "159915",
                                          "category": 4, "fq": 0, "start": 0, "count": 800}]
        assert list(bars[0]) == BAR_KEYS
        assert bars == [{k: b[k] for k in BAR_KEYS} for b in dataset.expected_bars(0, "159915", 4, 0, 800)]

    def test_bars_by_keyword_are_never_adjusted(self, fund, mock):
        # The flag field is always 0 and no event request follows.
        bars = fund.get_fund_bars(category=4, market=1, code="510300", start=10, count=3)
        assert [b["datetime"] for b in bars] == ["2024-06-12", "2024-06-13", "2024-06-14"]
        assert bars[-1]["close"] == pytest.approx(3.5 + 0.01 * (989 % 100))
        assert bars[-1]["open"] == pytest.approx(bars[-1]["close"] - 0.05)
        assert args_of(mock, "bars")[0]["fq"] == 0
        assert mock.requests("xdxr") == 0

    def test_intraday_bars_carry_their_time(self, fund):
        bars = fund.get_fund_bars(0, 1, "510050", 0, 2)
        assert [(b["hour"], b["minute"]) for b in bars] == [(14, 55), (15, 0)]
        assert type(bars[0]["year"]) is int and type(bars[0]["vol"]) is float

    def test_start_above_16_bits_is_refused_not_wrapped(self, fund, mock):
        with pytest.raises(ValueError) as e:
            fund.get_fund_bars(4, 1, "510300", 65536, 1)
        assert str(e.value) == "[E1003] argument out of range: start=65536"
        assert mock.requests() == 0

    def test_bars_all_pages_and_zero(self, fund, mock):
        bars = fund.get_fund_bars_all(4, 1, "510300", 900)
        assert len(bars) == 900
        assert [a["start"] for a in args_of(mock, "bars")] == [0, 800]
        assert all(a["fq"] == 0 for a in args_of(mock, "bars"))
        assert bars[0]["close"] == pytest.approx(dataset.expected_bars(1, "510300", 4, 0, 900)[0]["close"])
        assert bars[-1]["datetime"] == "2024-06-28"
        mock.reset()
        assert fund.get_fund_bars_all(4, 1, "510300", 0) == []
        assert mock.requests() == 0

    def test_bars_all_default_count(self, fund):
        assert len(fund.get_fund_bars_all(4, 0, "161725")) == 800


class TestQuotes:
    def test_quote_dict(self, fund, mock):
        (q,) = fund.get_fund_quotes([(1, "510300")])
        assert list(q) == QUOTE_KEYS
        # P = 1000 + 300 in thousandths for a 51xxxx code.
        assert q["market"] == 1 and q["code"] == "510300"
        assert q["price"] == pytest.approx(1.300)
        assert q["last_close"] == pytest.approx(1.290)
        assert q["open"] == pytest.approx(1.295)
        assert q["high"] == pytest.approx(1.320)
        assert q["low"] == pytest.approx(1.270)
        assert q["vol"] == 100300.0
        assert q["amount"] == 100300000.0
        assert [q[f"bid{k}"] for k in range(1, 6)] == pytest.approx([1.299, 1.298, 1.297, 1.296, 1.295])
        assert [q[f"ask{k}"] for k in range(1, 6)] == pytest.approx([1.301, 1.302, 1.303, 1.304, 1.305])
        assert [q[f"bid_vol{k}"] for k in range(1, 6)] == [100.0, 200.0, 300.0, 400.0, 500.0]
        assert [q[f"ask_vol{k}"] for k in range(1, 6)] == [200.0, 400.0, 600.0, 800.0, 1000.0]
        assert q["servertime"] == "14:30:2541"

    def test_order_of_the_reply(self, fund, mock):
        quotes = fund.get_fund_quotes(stocks=((0, "159915"), (1, "510050"), (0, "161725")))
        assert [(q["market"], q["code"]) for q in quotes] == [(0, "159915"), (1, "510050"), (0, "161725")]
        assert args_of(mock, "quotes")[0]["pairs"] == [[0, "159915"], [1, "510050"], [0, "161725"]]

    def test_empty_list_is_sent_as_it_is(self, fund, mock):
        assert fund.get_fund_quotes([]) == []
        assert args_of(mock, "quotes")[0]["n"] == 0

    def test_61_valid_pairs_give_60_quotes(self, fund, mock):
        stocks = [(1, f"510{500 + i:03d}") for i in range(61)]
        quotes = fund.get_fund_quotes(stocks)
        assert len(quotes) == 60
        assert quotes[-1]["code"] == "510559"
        assert args_of(mock, "quotes")[0]["n"] == 60


def run_logged(code, port):
    env = dict(os.environ, QUOTIX_LOG="warn")
    src = f"import quotix._internal as qi\nPORT = {port}\n" + textwrap.dedent(code)
    r = subprocess.run([sys.executable, "-c", src], env=env, cwd=tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr


def test_batch_limit_warning_under_the_pooled_client_tag(mock):
    err = run_logged("""
        c = qi.TdxHqFundClient()
        c.connect("127.0.0.1", PORT)
        assert len(c.get_fund_quotes([(0, "159915")] * 61)) == 60
        c.disconnect()
    """, mock.port)
    assert "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n" in err


class TestMinuteTime:
    def test_today_is_the_date_in_utc8(self, fund, mock):
        before = int(datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=8))).strftime("%Y%m%d"))
        points = fund.get_fund_minute_time_data(1, "510300")
        after = int(datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=8))).strftime("%Y%m%d"))
        (req,) = args_of(mock, "minute")
        assert req["date"] in (before, after)
        assert (req["market"], req["code"]) == (1, "510300")
        assert len(points) == 240
        assert list(points[0]) == ["time", "price", "avg_price", "vol"]

    def test_history_minute_points(self, fund, mock):
        points = fund.get_fund_history_minute_time_data(0, "159915", 20240628)
        assert args_of(mock, "minute") == [{"date": 20240628, "market": 0, "code": "159915"}]
        # Last minute first: point 239 is 15:00, price P + 9 with P = 1915 thousandths.
        assert points[0]["time"] == "15:00"
        assert points[0]["price"] == pytest.approx(1.924)
        assert points[0]["vol"] == 339.0
        assert points[-1] == {"time": "09:31", "price": pytest.approx(1.915),
                              "avg_price": pytest.approx(1.915), "vol": 100.0}

    def test_a_fund_code_without_data_gives_an_empty_list(self, fund):
        assert fund.get_fund_history_minute_time_data(market=1, code="519999", date=20240628) == []


class TestTicks:
    def test_live_ticks_default_start_and_count(self, fund, mock):
        ticks = fund.get_fund_transaction_data(0, "159915")
        assert args_of(mock, "ticks") == [{"market": 0, "code": "159915", "start": 0, "count": 2000}]
        assert len(ticks) == 1200
        assert list(ticks[0]) == ["time", "price", "vol", "num", "buyorsell"]
        # Tick 1199: 14:59, price P + (1199 mod 7) - 3 = 1914, vol 10 + 29, num 1 + 4, side 1.
        assert ticks[-1] == {"time": "14:59", "price": pytest.approx(1.914), "vol": 39.0, "num": 5,
                             "buyorsell": 1}

    def test_history_ticks_carry_no_num(self, fund, mock):
        ticks = fund.get_fund_history_transaction_data(1, "510050", 10, 2, 20240628)
        assert args_of(mock, "history_ticks") == [{"date": 20240628, "market": 1, "code": "510050",
                                                   "start": 10, "count": 2}]
        assert [list(t) for t in ticks] == [["time", "price", "vol", "buyorsell"]] * 2
        # Ticks 1188 and 1189 with P = 1050: prices 1050 + 5 - 3 and 1050 + 6 - 3.
        assert [t["price"] for t in ticks] == pytest.approx([1.052, 1.053])
        assert [t["buyorsell"] for t in ticks] == [0, 1]

    def test_history_ticks_take_keywords(self, fund):
        ticks = fund.get_fund_history_transaction_data(date=20240628, count=1, start=0, code="161725", market=0)
        assert len(ticks) == 1


class TestXdxrAndFinance:
    def test_fund_without_events(self, fund, mock):
        assert fund.get_fund_xdxr_info(1, "510300") == []
        assert args_of(mock, "xdxr")[0]["code"] == "510300"

    def test_events_of_every_category_with_none_for_missing_amounts(self, fund, mock):
        body = encoders.xdxr_body(1, "510300", [
            {"date": 20240105, "category": 1, "fenhong": 0.5, "peigujia": 0.0, "songzhuangu": 2.0, "peigu": 0.0},
            {"date": 20240301, "category": 11, "suogu": 2.0},
            {"date": 20240402, "category": 2, "panqianliutong": 100.0, "qianzongguben": 200.0,
             "panhouliutong": 300.0, "houzongguben": 400.0},
        ])
        mock.set_fault("body", cmd="xdxr", hex=body.hex())
        events = fund.get_fund_xdxr_info(1, "510300")
        assert [list(e) for e in events] == [["year", "month", "day", "category", "fenhong", "peigujia",
                                              "songzhuangu", "peigu", "suogu"]] * 3
        assert events[0] == {"year": 2024, "month": 1, "day": 5, "category": 1, "fenhong": 0.5,
                             "peigujia": 0.0, "songzhuangu": 2.0, "peigu": 0.0, "suogu": None}
        assert events[1] == {"year": 2024, "month": 3, "day": 1, "category": 11, "fenhong": None,
                             "peigujia": None, "songzhuangu": None, "peigu": None, "suogu": 2.0}
        assert events[2]["category"] == 2
        assert [events[2][k] for k in ("fenhong", "peigujia", "songzhuangu", "peigu", "suogu")] == [None] * 5

    def test_finance_is_one_dict(self, fund, mock):
        f = fund.get_fund_finance_info(1, "510300")
        # m = 300; float j = 1000 (j + 1) + m: zongguben j=0, zongzichan j=7, jingzichan j=15,
        # meigujingzichan j=28.
        assert f == {"market": 1, "code": "510300", "zongguben": 1300.0, "liutongguben": 1000300.0,
                     "meigujingzichan": 29300.0, "zongzichan": 8300.0, "jingzichan": 16300.0}
        assert list(f) == ["market", "code", "zongguben", "liutongguben", "meigujingzichan", "zongzichan",
                           "jingzichan"]


class TestErrorMapping:
    def test_decoding_failure_is_value_error(self, fund, mock):
        mock.set_fault("body", cmd="finance", hex="0100")
        with pytest.raises(ValueError) as e:
            fund.get_fund_finance_info(0, "159915")
        assert str(e.value) == "[E2103] response length mismatch: body too short for finance info"

    def test_one_lost_reply_is_retried(self, fund, mock):
        mock.set_fault("close", cmd="quotes", times=1)
        assert len(fund.get_fund_quotes([(1, "510300")])) == 1
        assert mock.requests("quotes") == 2

    def test_lost_connection_is_value_error_here(self, fund, mock):
        # Every attempt fails: the retries take 0.1 + 0.5 + 1.0 + 2.0 s.
        mock.set_fault("close", cmd="xdxr")
        with pytest.raises(ValueError) as e:
            fund.get_fund_xdxr_info(1, "510300")
        assert str(e.value) == "[E2005] retry exhausted: 5 attempts"
        assert not isinstance(e.value, ConnectionError)
        assert mock.requests("xdxr") == 5
