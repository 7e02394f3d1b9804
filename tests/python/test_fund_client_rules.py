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


class TestSurface:
    def test_methods_in_order_with_signatures_and_docstrings(self):
        own = [n for n in vars(F) if not n.startswith("__")]
        assert own == [m[0] for m in METHODS]
        for name, sig, doc in METHODS:
            assert str(inspect.signature(getattr(F, name))) == sig, name
            assert getattr(F, name).__doc__.startswith(doc), name

    def test_multi_line_docstrings(self):
        assert F.get_fund_list.__doc__ == (
            "获取基金列表\n\nArgs:\n    market: 市场代码 (0=深圳, 1=上海)\n\nReturns:\n    list[dict]: 基金信息列表")
        assert F.classify_fund.__doc__ == (
            "分类基金类型\n\nReturns:\n    str: 基金类型名称 (ETF/LOF/REITs/Structured/OpenEnd/Bond/Money/Other)")

    def test_class_docstring_and_signature(self):
        assert str(inspect.signature(F)) == "()"
        doc = F.__doc__
        assert doc.startswith("基金行情客户端 - Python 绑定\n")
        assert "封装 TdxHqClient，提供基金专用的 API。" in doc
        assert "自动处理基金代码验证和系数转换。" in doc
        assert "get_fund_list(MARKET_SH)" in doc
        assert "get_fund_bars(KLINE_DAILY, MARKET_SH, " in doc
        assert doc.rstrip().endswith("```")

    def test_module_position(self):
        assert qi.TdxHqFundClient is F
        assert F.__module__ == "quotix._internal"

    def test_constructor_takes_nothing(self):
        with pytest.raises(TypeError):
            F(1)
        with pytest.raises(TypeError):
            F(timeout=1.0)

    def test_new_object_is_unconnected_and_disconnect_is_harmless(self):
        c = F()
        assert c.is_connected() is False
        assert c.disconnect() is None
        assert c.disconnect() is None
        assert c.is_connected() is False


class TestIsFund:
    @pytest.mark.parametrize("market,code", [
        (0, "159915"), (0, "150001"), (0, "161725"), (0, "16"),
        (1, "510300"), (1, "500001"), (1, "51"), (1, "50"), (1, "51xyz-long"),
    ])
    def test_fund_codes(self, market, code):
        assert F.is_fund(market, code) is True
        assert F.is_fund(code=code, market=market) is True

    @pytest.mark.parametrize("market,code", [
        (1, "159915"), (0, "510300"), (2, "510300"), (2, "159915"), (255, "510300"),
        (1, "600519"), (0, "000001"), (0, "1"), (1, "5"), (0, ""), (1, ""), (2, ""),
        (1, "５１０３００"), (0, "17"), (1, "52"),
    ])
    def test_other_codes(self, market, code):
        assert F.is_fund(market, code) is False

    def test_callable_on_an_instance_too(self):
        assert F().is_fund(1, "510050") is True


class TestClassifyFund:
    @pytest.mark.parametrize("market,code,name", [
        (1, "510300", "ETF"), (1, "512880", "ETF"), (1, "513100", "ETF"), (1, "515030", "ETF"),
        (1, "516160", "ETF"), (1, "506000", "ETF"), (1, "517000", "ETF"), (1, "518880", "ETF"),
        (1, "511010", "Bond"), (1, "508000", "REITs"), (1, "501018", "LOF"), (1, "502000", "LOF"),
        (1, "519674", "OpenEnd"), (1, "600000", "Other"),
        (0, "159915", "ETF"), (0, "160706", "LOF"), (0, "161725", "LOF"), (0, "162411", "Structured"),
        (0, "163001", "Structured"), (0, "164701", "Structured"), (0, "000001", "Other"),
        (0, "150001", "Other"),
    ])
    def test_prefix_rows(self, market, code, name):
        assert F.classify_fund(market, code) == name

    def test_shanghai_prefixes_whatever_the_market(self):
        assert F.classify_fund(0, "510300") == "ETF"
        assert F.classify_fund(2, "511010") == "Bond"

    def test_shenzhen_prefixes_only_on_market_0(self):
        assert F.classify_fund(1, "159915") == "Other"
        assert F.classify_fund(2, "161725") == "Other"

    @pytest.mark.parametrize("code", ["", "5", "51", "15"])
    def test_short_codes_are_other(self, code):
        assert F.classify_fund(0, code) == "Other"
        assert F.classify_fund(1, code) == "Other"

    def test_never_money(self):
        names = {F.classify_fund(m, f"{p:03d}000") for m in (0, 1, 2) for p in range(1000)}
        assert "Money" not in names
        assert names == {"ETF", "LOF", "REITs", "Structured", "OpenEnd", "Bond", "Other"}

    def test_multi_byte_codes_do_not_fail(self):
        # The third byte falls inside a character.
        assert F.classify_fund(1, "5é00") == "Other"
        assert F.classify_fund(0, "基金") == "Other"


class TestAutoMarketCode:
    @pytest.mark.parametrize("code", ["510300", "600519", "900901", "5", "6", "9x"])
    def test_shanghai(self, code):
        assert F.auto_market_code(code) == 1

    @pytest.mark.parametrize("code", ["000001", "159915", "200012", "300750", "400001", "700001",
                                      "830799", "", "a600000", "６00000", "５10300"])
    def test_shenzhen_or_unknown(self, code):
        assert F.auto_market_code(code) == 0
        assert type(F.auto_market_code(code)) is int

    def test_keyword(self):
        assert F.auto_market_code(code="510300") == 1


@pytest.fixture
def fund(mock_server_module):
    # Connected to the mock, so that even a call that wrongly went ahead would stay on loopback.
    c = F()
    c.connect(*mock_server_module.address())
    mock_server_module.reset()
    yield c
    c.disconnect()


class TestArguments:
    """Conversion errors, raised before anything else: nothing reaches the server."""

    def test_static_method_arguments(self):
        with pytest.raises(TypeError):
            F.is_fund("1", "510300")
        with pytest.raises(OverflowError, match="market"):
            F.is_fund(256, "510300")
        with pytest.raises(OverflowError):
            F.classify_fund(-1, "510300")
        with pytest.raises(TypeError):
            F.classify_fund(1, 510300)
        with pytest.raises(TypeError):
            F.auto_market_code(600000)
        with pytest.raises(TypeError):
            F.is_fund(1)

    @pytest.mark.parametrize("call", [
        lambda c: c.get_fund_list("1"),
        lambda c: c.get_fund_bars(4.0, 1, "510300"),
        lambda c: c.get_fund_bars(4, 1, 510300),
        lambda c: c.get_fund_bars(4, 1, "510300", 0, 10, 1),
        lambda c: c.get_fund_bars(4, 1, "510300", fq=1),
        lambda c: c.get_fund_quotes("510300"),
        lambda c: c.get_fund_quotes([("1", "510300")]),
        lambda c: c.get_fund_quotes(None),
        lambda c: c.get_fund_history_transaction_data(1, "510300", 0, 10),
        lambda c: c.get_fund_history_minute_time_data(1, "510300"),
        lambda c: c.connect("127.0.0.1", "7709"),
        lambda c: c.connect_to_any("1"),
    ])
    def test_type_errors(self, call, fund, mock_server_module):
        with pytest.raises(TypeError):
            call(fund)
        assert mock_server_module.requests() == 0

    @pytest.mark.parametrize("call,name", [
        (lambda c: c.get_fund_list(256), "market"),
        (lambda c: c.get_fund_bars(256, 1, "510300"), "category"),
        (lambda c: c.get_fund_bars(4, 1, "510300", 2**32), "start"),
        (lambda c: c.get_fund_bars(4, 1, "510300", 0, 65536), "count"),
        (lambda c: c.get_fund_bars_all(4, 1, "510300", -1), "count"),
        (lambda c: c.get_fund_transaction_data(1, "510300", 65536), "start"),
        (lambda c: c.get_fund_history_transaction_data(1, "510300", 0, 10, 2**32), "date"),
        (lambda c: c.get_fund_quotes([(256, "510300")]), "stocks"),
        (lambda c: c.connect("127.0.0.1", 65536), "port"),
    ])
    def test_overflow_errors_name_the_argument(self, call, name, fund, mock_server_module):
        with pytest.raises(OverflowError, match=name):
            call(fund)
        assert mock_server_module.requests() == 0

    def test_quote_pairs_of_another_length(self, fund, mock_server_module):
        with pytest.raises(ValueError, match="length 2"):
            fund.get_fund_quotes([(1, "510300", 0)])
        assert mock_server_module.requests() == 0
