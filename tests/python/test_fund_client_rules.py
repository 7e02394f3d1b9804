"""TdxHqFundClient without the network: its class surface, the fund-code rule, fund
classification, market guessing and argument conversion."""

import inspect

import pytest

import quotix._internal as qi
from quotix._internal import TdxHqFundClient

F = TdxHqFundClient

METHODS = [
    ("connect", "(self, /, ip, port, timeout=None)", "连接到 TDX 服务器"),
    ("connect_to_any", "(self, /, timeout=None)", "连接到任意可用服务器"),
    ("disconnect", "(self, /)", "断开连接"),
    ("is_connected", "(self, /)", "是否已连接"),
    ("get_fund_list", "(self, /, market)", "获取基金列表"),
    ("get_fund_bars", "(self, /, category, market, code, start=0, count=800)", "获取基金 K线数据"),
    ("get_fund_bars_all", "(self, /, category, market, code, count=800)", "获取基金 K线数据 (自动分页)"),
    ("get_fund_quotes", "(self, /, stocks)", "获取基金实时行情"),
    ("get_fund_minute_time_data", "(self, /, market, code)", "获取基金分时数据"),
    ("get_fund_history_minute_time_data", "(self, /, market, code, date)", "获取基金历史分时数据"),
    ("get_fund_transaction_data", "(self, /, market, code, start=0, count=2000)", "获取基金逐笔成交"),
    ("get_fund_history_transaction_data", "(self, /, market, code, start, count, date)", "获取基金历史逐笔成交"),
    ("get_fund_xdxr_info", "(self, /, market, code)", "获取基金除权除息信息"),
    ("get_fund_finance_info", "(self, /, market, code)", "获取基金财务信息"),
    ("is_fund", "(market, code)", "判断是否为基金代码"),
    ("classify_fund", "(market, code)", "分类基金类型"),
    ("auto_market_code", "(code)", "自动判断市场代码"),
]


@pytest.fixture
def fund(mock_server_module):
    # Connected to the mock, so that even a call that wrongly went ahead would stay on loopback.
    c = F()
    c.connect(*mock_server_module.address())
    mock_server_module.reset()
    yield c
    c.disconnect()


def test_surface():
    assert [n for n in vars(F) if not n.startswith("__")] == [m[0] for m in METHODS]
    for name, sig, doc in METHODS:
        assert str(inspect.signature(getattr(F, name))) == sig, name
        assert getattr(F, name).__doc__.startswith(doc), name
    assert F.get_fund_list.__doc__ == (
        "获取基金列表\n\nArgs:\n    market: 市场代码 (0=深圳, 1=上海)\n\nReturns:\n    list[dict]: 基金信息列表")
    assert F.classify_fund.__doc__ == (
        "分类基金类型\n\nReturns:\n    str: 基金类型名称 (ETF/LOF/REITs/Structured/OpenEnd/Bond/Money/Other)")
    assert (str(inspect.signature(F)), qi.TdxHqFundClient, F.__module__) == ("()", F, "quotix._internal")
    doc = F.__doc__
    assert doc.startswith("基金行情客户端 - Python 绑定\n") and doc.rstrip().endswith("```")
    for text in ("封装 TdxHqClient，提供基金专用的 API。", "自动处理基金代码验证和系数转换。",
                 "get_fund_list(MARKET_SH)", "get_fund_bars(KLINE_DAILY, MARKET_SH, "):
        assert text in doc


def test_construction_and_disconnect():
    for args, kwargs in [((1,), {}), ((), {"timeout": 1.0})]:
        with pytest.raises(TypeError):
            F(*args, **kwargs)
    c = F()
    assert (c.is_connected(), c.disconnect(), c.disconnect(), c.is_connected()) == (False, None, None, False)


# The prefix tables in full are checked in the core's own tests; these reach them through the binding.
@pytest.mark.parametrize("market,code,fund", [
    *[(m, c, True) for m, c in [(0, "159915"), (0, "16"), (1, "510300"), (1, "50"), (1, "51xyz-long")]],
    *[(m, c, False) for m, c in [(1, "159915"), (0, "510300"), (2, "510300"), (255, "510300"), (1, "600519"),
                                 (1, "5"), (0, ""), (1, "５１０３００"), (0, "17"), (1, "52")]],
])
def test_is_fund(market, code, fund):
    assert F.is_fund(market, code) is fund
    assert F().is_fund(code=code, market=market) is fund


@pytest.mark.parametrize("market,code,name", [
    (1, "510300", "ETF"), (1, "511010", "Bond"), (1, "508000", "REITs"), (1, "501018", "LOF"),
    (1, "519674", "OpenEnd"), (1, "600000", "Other"), (0, "161725", "LOF"), (0, "162411", "Structured"),
    (0, "150001", "Other"),
    (0, "510300", "ETF"), (2, "511010", "Bond"),          # Shanghai prefixes whatever the market
    (0, "159915", "ETF"), (1, "159915", "Other"), (2, "161725", "Other"),   # Shenzhen ones only on market 0
    (1, "51", "Other"), (1, "5é00", "Other"), (0, "基金", "Other"),   # short; third byte inside a character
])
def test_classify_fund(market, code, name):
    assert F.classify_fund(market, code) == name


def test_classify_fund_never_says_money():
    names = {F.classify_fund(m, f"{p:03d}000") for m in (0, 1, 2) for p in range(1000)}
    assert names == {"ETF", "LOF", "REITs", "Structured", "OpenEnd", "Bond", "Other"}


@pytest.mark.parametrize("code, market", [
    *[(c, 1) for c in ("510300", "600519", "900901", "5", "6", "9x")],
    *[(c, 0) for c in ("000001", "159915", "200012", "300750", "400001", "700001", "830799", "", "a600000",
                       "６00000", "５10300")],
])
def test_auto_market_code(code, market):
    assert F.auto_market_code(code=code) == market and type(F.auto_market_code(code)) is int


@pytest.mark.parametrize("call, exc, name", [
    (lambda c: F.is_fund("1", "510300"), TypeError, None),
    (lambda c: F.is_fund(256, "510300"), OverflowError, "market"),
    (lambda c: F.classify_fund(-1, "510300"), OverflowError, None),
    (lambda c: F.classify_fund(1, 510300), TypeError, None),
    (lambda c: F.auto_market_code(600000), TypeError, None),
    (lambda c: F.is_fund(1), TypeError, None),
    (lambda c: c.get_fund_list("1"), TypeError, None),
    (lambda c: c.get_fund_bars(4.0, 1, "510300"), TypeError, None),
    (lambda c: c.get_fund_bars(4, 1, 510300), TypeError, None),
    (lambda c: c.get_fund_bars(4, 1, "510300", 0, 10, 1), TypeError, None),
    (lambda c: c.get_fund_bars(4, 1, "510300", fq=1), TypeError, None),
    (lambda c: c.get_fund_quotes("510300"), TypeError, None),
    (lambda c: c.get_fund_quotes([("1", "510300")]), TypeError, None),
    (lambda c: c.get_fund_quotes(None), TypeError, None),
    (lambda c: c.get_fund_quotes([(1, "510300", 0)]), ValueError, "length 2"),
    (lambda c: c.get_fund_history_transaction_data(1, "510300", 0, 10), TypeError, None),
    (lambda c: c.get_fund_history_minute_time_data(1, "510300"), TypeError, None),
    (lambda c: c.connect("127.0.0.1", "7709"), TypeError, None),
    (lambda c: c.connect_to_any("1"), TypeError, None),
    (lambda c: c.get_fund_list(256), OverflowError, "market"),
    (lambda c: c.get_fund_bars(256, 1, "510300"), OverflowError, "category"),
    (lambda c: c.get_fund_bars(4, 1, "510300", 2**32), OverflowError, "start"),
    (lambda c: c.get_fund_bars(4, 1, "510300", 0, 65536), OverflowError, "count"),
    (lambda c: c.get_fund_bars_all(4, 1, "510300", -1), OverflowError, "count"),
    (lambda c: c.get_fund_transaction_data(1, "510300", 65536), OverflowError, "start"),
    (lambda c: c.get_fund_history_transaction_data(1, "510300", 0, 10, 2**32), OverflowError, "date"),
    (lambda c: c.get_fund_quotes([(256, "510300")]), OverflowError, "stocks"),
    (lambda c: c.connect("127.0.0.1", 65536), OverflowError, "port"),
])
def test_argument_errors_reach_nothing(call, exc, name, fund, mock_server_module):
    with pytest.raises(exc, match=name):
        call(fund)
    assert mock_server_module.requests() == 0
