"""The fund data queries of TdxHqFundClient against the loopback mock: fund-code refusals,
requests sent, result shapes and error mapping. Bars are asked only of series that exist: an
empty daily answer would make the core client look for another server."""

import datetime

import pytest

import dataset
import encoders
from quotix._internal import TdxHqFundClient
from smart_helpers import run_python

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
def test_every_method_refuses_other_codes_before_sending(fund, mock, call):
    for market, code in [(1, "600519"), (0, "510300"), (1, "159915"), (2, "510300"), (1, "5"), (0, "")]:
        with pytest.raises(ValueError) as e:
            call(fund, market, code)
        assert str(e.value) == REFUSED_1103 + f"{market}:{code} is not a fund"
        assert not isinstance(e.value, OSError)
    assert mock.requests() == 0


@pytest.mark.parametrize("stocks, bad", [
    ([(1, "600519")], "1:600519"),
    ([(1, "510300"), (0, "000001"), (1, "600519")], "0:000001"),
    ([(1, "510300")] * 60 + [(1, "600000")], "1:600000"),      # pairs past the batch limit are checked too
])
def test_quotes_refuse_at_the_first_other_code(fund, mock, stocks, bad):
    with pytest.raises(ValueError) as e:
        fund.get_fund_quotes(stocks)
    assert str(e.value) == f"[E1004] invalid format: Invalid fund code: {bad} is not a fund"
    assert mock.requests() == 0


def test_bars(fund, mock):
    bars = fund.get_fund_bars(4, 0, "159915")
    assert len(bars) == 800 and list(bars[0]) == BAR_KEYS
    assert bars == [{k: b[k] for k in BAR_KEYS} for b in dataset.expected_bars(0, "159915", 4, 0, 800)]
    # Never adjusted: the flag field is always 0 and no event request follows.
    bars = fund.get_fund_bars(category=4, market=1, code="510300", start=10, count=3)
    assert [b["datetime"] for b in bars] == ["2024-06-12", "2024-06-13", "2024-06-14"]
    assert bars[-1]["close"] == pytest.approx(3.5 + 0.01 * (989 % 100))
    assert bars[-1]["open"] == pytest.approx(bars[-1]["close"] - 0.05)
    assert [(a["market"], a["code"], a["category"], a["fq"], a["start"], a["count"]) for a in args_of(mock, "bars")] \
        == [(0, "159915", 4, 0, 0, 800), (1, "510300", 4, 0, 10, 3)]
    assert mock.requests("xdxr") == 0
    bars = fund.get_fund_bars(0, 1, "510050", 0, 2)
    assert [(b["hour"], b["minute"]) for b in bars] == [(14, 55), (15, 0)]
    assert type(bars[0]["year"]) is int and type(bars[0]["vol"]) is float
    mock.reset()
    with pytest.raises(ValueError) as e:          # refused, not wrapped to the newest bars
        fund.get_fund_bars(4, 1, "510300", 65536, 1)
    assert str(e.value) == "[E1003] argument out of range: start=65536"
    assert mock.requests() == 0


def test_bars_all(fund, mock):
    bars = fund.get_fund_bars_all(4, 1, "510300", 900)
    assert len(bars) == 900
    assert [(a["start"], a["fq"]) for a in args_of(mock, "bars")] == [(0, 0), (800, 0)]
    assert bars[0]["close"] == pytest.approx(dataset.expected_bars(1, "510300", 4, 0, 900)[0]["close"])
    assert bars[-1]["datetime"] == "2024-06-28"
    assert len(fund.get_fund_bars_all(4, 0, "161725")) == 800
    mock.reset()
    assert fund.get_fund_bars_all(4, 1, "510300", 0) == []
    assert mock.requests() == 0


def test_quotes(fund, mock):
    (q,) = fund.get_fund_quotes([(1, "510300")])
    assert list(q) == QUOTE_KEYS
    # P = 1000 + 300 in thousandths for a 51xxxx code.
    assert [q[k] for k in QUOTE_KEYS[:9]] == [1, "510300", pytest.approx(1.300), pytest.approx(1.290),
                                              pytest.approx(1.295), pytest.approx(1.320), pytest.approx(1.270),
                                              100300.0, 100300000.0]
    assert [q[f"bid{k}"] for k in range(1, 6)] == pytest.approx([1.299, 1.298, 1.297, 1.296, 1.295])
    assert [q[f"ask{k}"] for k in range(1, 6)] == pytest.approx([1.301, 1.302, 1.303, 1.304, 1.305])
    assert [q[f"bid_vol{k}"] for k in range(1, 6)] == [100.0, 200.0, 300.0, 400.0, 500.0]
    assert [q[f"ask_vol{k}"] for k in range(1, 6)] == [200.0, 400.0, 600.0, 800.0, 1000.0]
    assert q["servertime"] == "14:30:2541"
    quotes = fund.get_fund_quotes(stocks=((0, "159915"), (1, "510050"), (0, "161725")))
    assert [(q["market"], q["code"]) for q in quotes] == [(0, "159915"), (1, "510050"), (0, "161725")]
    assert fund.get_fund_quotes([]) == []
    quotes = fund.get_fund_quotes([(1, f"510{500 + i:03d}") for i in range(61)])
    assert (len(quotes), quotes[-1]["code"]) == (60, "510559")
    sent = args_of(mock, "quotes")
    assert sent[1]["pairs"] == [[0, "159915"], [1, "510050"], [0, "161725"]]
    assert [a["n"] for a in sent] == [1, 3, 0, 60]


def test_batch_limit_warning_under_the_pooled_client_tag(mock):
    err = run_python(f"""
        import quotix._internal as qi
        c = qi.TdxHqFundClient()
        c.connect("127.0.0.1", {mock.port})
        assert len(c.get_fund_quotes([(0, "159915")] * 61)) == 60
        c.disconnect()
    """, QUOTIX_LOG="warn").stderr
    assert "[W] hq  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n" in err


def test_minute_points(fund, mock):
    utc8 = datetime.timezone(datetime.timedelta(hours=8))
    before = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
    points = fund.get_fund_minute_time_data(1, "510300")
    after = int(datetime.datetime.now(utc8).strftime("%Y%m%d"))
    assert len(points) == 240 and list(points[0]) == ["time", "price", "avg_price", "vol"]
    points = fund.get_fund_history_minute_time_data(0, "159915", 20240628)
    today, hist = args_of(mock, "minute")
    assert today["date"] in (before, after) and (today["market"], today["code"]) == (1, "510300")
    assert hist == {"date": 20240628, "market": 0, "code": "159915"}
    # Last minute first: point 239 is 15:00, price P + 9 with P = 1915 thousandths.
    assert (points[0]["time"], points[0]["price"], points[0]["vol"]) == ("15:00", pytest.approx(1.924), 339.0)
    assert points[-1] == {"time": "09:31", "price": pytest.approx(1.915), "avg_price": pytest.approx(1.915),
                          "vol": 100.0}
    assert fund.get_fund_history_minute_time_data(market=1, code="519999", date=20240628) == []


def test_ticks(fund, mock):
    ticks = fund.get_fund_transaction_data(0, "159915")
    assert len(ticks) == 1200 and list(ticks[0]) == ["time", "price", "vol", "num", "buyorsell"]
    # Tick 1199: 14:59, price P + (1199 mod 7) - 3 = 1914, vol 10 + 29, num 1 + 4, side 1.
    assert ticks[-1] == {"time": "14:59", "price": pytest.approx(1.914), "vol": 39.0, "num": 5, "buyorsell": 1}
    assert args_of(mock, "ticks") == [{"market": 0, "code": "159915", "start": 0, "count": 2000}]
    ticks = fund.get_fund_history_transaction_data(1, "510050", 10, 2, 20240628)
    assert [list(t) for t in ticks] == [["time", "price", "vol", "buyorsell"]] * 2     # no num
    # Ticks 1188 and 1189 with P = 1050: prices 1050 + 5 - 3 and 1050 + 6 - 3.
    assert [t["price"] for t in ticks] == pytest.approx([1.052, 1.053])
    assert [t["buyorsell"] for t in ticks] == [0, 1]
    assert len(fund.get_fund_history_transaction_data(date=20240628, count=1, start=0, code="161725", market=0)) == 1
    assert args_of(mock, "history_ticks")[0] == {"date": 20240628, "market": 1, "code": "510050", "start": 10,
                                                 "count": 2}


def test_xdxr_events_with_none_for_missing_amounts(fund, mock):
    assert fund.get_fund_xdxr_info(1, "510300") == []
    assert args_of(mock, "xdxr")[0]["code"] == "510300"
    body = encoders.xdxr_body(1, "510300", [
        {"date": 20240105, "category": 1, "fenhong": 0.5, "peigujia": 0.0, "songzhuangu": 2.0, "peigu": 0.0},
        {"date": 20240301, "category": 11, "suogu": 2.0},
        {"date": 20240402, "category": 2, "panqianliutong": 100.0, "qianzongguben": 200.0,
         "panhouliutong": 300.0, "houzongguben": 400.0},
    ])
    mock.set_fault("body", cmd="xdxr", hex=body.hex())
    events = fund.get_fund_xdxr_info(1, "510300")
    keys = ["year", "month", "day", "category", "fenhong", "peigujia", "songzhuangu", "peigu", "suogu"]
    assert [list(e) for e in events] == [keys] * 3
    assert [tuple(e.values()) for e in events] == [(2024, 1, 5, 1, 0.5, 0.0, 2.0, 0.0, None),
                                                   (2024, 3, 1, 11, None, None, None, None, 2.0),
                                                   (2024, 4, 2, 2, None, None, None, None, None)]


def test_finance_is_one_dict(fund, mock):
    f = fund.get_fund_finance_info(1, "510300")
    # m = 300; float j = 1000 (j + 1) + m: zongguben j=0, zongzichan j=7, jingzichan j=15, meigujingzichan j=28.
    assert list(f.items()) == [("market", 1), ("code", "510300"), ("zongguben", 1300.0),
                               ("liutongguben", 1000300.0), ("meigujingzichan", 29300.0),
                               ("zongzichan", 8300.0), ("jingzichan", 16300.0)]
    mock.set_fault("body", cmd="finance", hex="0100")
    with pytest.raises(ValueError) as e:
        fund.get_fund_finance_info(0, "159915")
    assert str(e.value) == "[E2103] response length mismatch: body too short for finance info"


def test_lost_replies_are_retried_and_exhaustion_is_value_error(fund, mock):
    mock.set_fault("close", cmd="quotes", times=1)
    assert len(fund.get_fund_quotes([(1, "510300")])) == 1
    assert mock.requests("quotes") == 2
    # Every attempt fails: the retries wait 0.1 + 0.5 + 1.0 + 2.0 s.
    mock.set_fault("close", cmd="xdxr")
    with pytest.raises(ValueError) as e:
        fund.get_fund_xdxr_info(1, "510300")
    assert str(e.value) == "[E2005] retry exhausted: 5 attempts"
    assert not isinstance(e.value, ConnectionError)
    assert mock.requests("xdxr") == 5
