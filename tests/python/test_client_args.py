"""TdxHqClient without any network: signatures, argument binding and conversion errors, and the
settings. No test here makes a request (an unconnected client would dial a public server)."""

import inspect
import math

import numpy
import pytest

from quotix._internal import TdxHqClient

# Method, text signature, first docstring line: the class's own methods, in table order.
METHODS = [
    ("connect", "(ip, port, timeout=None)", "连接到 TDX 服务器"),
    ("disconnect", "()", "断开连接"),
    ("is_connected", "()", "是否已连接"),
    ("connect_to_any", "(timeout=None)", "连接到任意可用服务器 (从默认列表中选择)"),
    ("set_auto_retry", "(enabled)", "设置是否自动重试"),
    ("set_cache_ttl", "(ttl_secs)", "设置缓存 TTL (秒)"),
    ("set_connect_timeout", "(timeout)", "设置连接超时 (秒)"),
    ("set_rate_limit", "(rps)", "设置默认请求速率限制 (每秒请求数, 0=禁用)"),
    ("set_rate_limit_daily", "(rps)", "设置日K 级别速率限制 (每秒请求数, 0=禁用)"),
    ("rate_limit_minute", "()", "获取分时级别速率限制 (固定 10 req/s, 不可修改)"),
    ("set_servers", "(servers)", "设置自定义优先服务器列表"),
    ("add_server", "(name, ip, port)", "在优先列表头部添加一台服务器"),
    ("reorder_servers", "(servers)", "按响应时间重排优先服务器"),
    ("block_server", "(ip, port)", "将服务器加入黑名单"),
    ("unblock_server", "(ip, port)", "从黑名单移除服务器"),
    ("blocked_servers", "()", "获取黑名单列表"),
    ("clear_blocked_servers", "()", "清空黑名单"),
    ("probe_servers", "(timeout=3.0)", "探测全部已知服务器, 返回按 API 响应时间排序的结果"),
    ("pool_stats", "()", "获取连接池状态"),
    ("set_fq_context_tier", "(tier)", "设置复权上下文数据量档位"),
    ("fq_context_tier", "()", "获取当前复权上下文档位"),
]


# The data methods: text signature and whole docstring.
DATA_METHODS = [
    ("get_security_bars", "($self, category, market, code, start=0, count=800, fq=1)",
     "获取K线数据\n\nfq: 复权类型, 0=未复权 1=前复权(默认) 2=后复权"),
    ("get_security_bars_all", "($self, category, market, code, count=800, fq=1)", "获取K线数据 (自动分页)"),
    ("get_index_bars", "($self, category, market, code, start=0, count=800, fq=1)", "获取指数K线"),
    ("get_index_bars_all", "($self, category, market, code, count=800, fq=1)", "获取指数K线 (自动分页)"),
    ("get_security_bars_tuples", "($self, category, market, code, start=0, count=800, fq=1)",
     "获取K线数据，返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime)"),
    ("get_index_bars_tuples", "($self, category, market, code, start=0, count=800, fq=1)",
     "获取指数K线，返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime, up_count, down_count)"),
    ("get_security_bars_dataframe", "($self, category, market, code, start=0, count=800, fq=1)",
     "获取K线数据, 返回 pandas DataFrame"),
    ("get_index_bars_dataframe", "($self, category, market, code, start=0, count=800, fq=1)",
     "获取指数K线, 返回 pandas DataFrame"),
    ("calc_fq_factors", "($self, market, code, start=0, count=800)", "计算复权因子 (不修改 K 线数据)"),
    ("get_security_list", "($self, market, start=0)", "获取证券列表"),
    ("get_security_count", "($self, market)", "获取证券数量"),
    ("get_minute_time_data", "($self, market, code)", "获取分时数据"),
    ("get_history_minute_time_data", "($self, market, code, date)", "获取历史分时数据"),
    ("get_transaction_data", "($self, market, code, start=0, count=2000)", "获取逐笔成交"),
    ("get_history_transaction_data", "($self, market, code, start=0, count=2000, date=0)", "获取历史逐笔成交"),
    ("get_finance_info", "($self, market, code)", "获取财务信息"),
    ("get_xdxr_info", "($self, market, code)", "获取除权除息"),
    ("get_finance_info_dataframe", "($self, stocks)", "获取多只股票的财务信息, 返回 pandas DataFrame"),
    ("get_security_quotes", "($self, all_stock)", "获取实时行情"),
    ("get_security_quotes_tuples", "($self, all_stock)",
     "获取实时行情，返回 list of tuple (高性能模式)\n"
     "tuple: (market, code, price, last_close, open, high, low, vol, cur_vol, amount,\n"
     "        s_vol, b_vol, bid1, bid_vol1, ask1, ask_vol1, ..., bid5, bid_vol5, ask5, ask_vol5)"),
    ("get_security_quotes_dataframe", "($self, all_stock)", "获取实时行情, 返回 pandas DataFrame"),
    ("get_and_parse_block_info", "($self, block_file)", "获取并解析板块信息"),
]


@pytest.fixture
def client():
    return TdxHqClient()


class TestConstruction:
    def test_new_client_is_idle(self, client):
        assert client.is_connected() is False
        assert client.pool_stats() == {"idle": 0, "active": 0, "total": 0, "max_size": 5}
        assert list(client.pool_stats()) == ["idle", "active", "total", "max_size"]
        assert client.blocked_servers() == []
        assert client.fq_context_tier() == "mid"
        assert client.disconnect() is None
        assert client.is_connected() is False

    def test_many_clients_come_and_go(self):
        for _ in range(50):
            c = TdxHqClient()
            c.set_rate_limit(5)
            del c


class TestSignatures:
    @pytest.mark.parametrize("name, sig, summary", METHODS)
    def test_signature_and_docstring(self, name, sig, summary):
        meth = getattr(TdxHqClient, name)
        # $self is positional-only on the unbound method, as for every builtin method.
        unbound = "(self, /)" if sig == "()" else "(self, /, " + sig[1:]
        assert str(inspect.signature(meth)) == unbound
        assert meth.__doc__.split("\n")[0] == summary
        bound = getattr(TdxHqClient(), name)
        assert str(inspect.signature(bound)) == sig

    @pytest.mark.parametrize("name, signature, doc", DATA_METHODS)
    def test_data_method_signature_and_docstring(self, name, signature, doc):
        method = getattr(TdxHqClient, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc

    def test_data_methods_stand_at_their_places_in_the_class(self):
        names = [k for k, v in TdxHqClient.__dict__.items() if callable(v) and not k.startswith("__")]
        assert len(names) == 43
        assert names[19:40] == [
            "get_security_bars", "get_security_bars_all", "get_index_bars", "get_index_bars_all",
            "get_security_quotes", "get_security_list", "get_security_count", "get_minute_time_data",
            "get_history_minute_time_data", "get_transaction_data", "get_history_transaction_data",
            "get_finance_info", "get_xdxr_info", "get_and_parse_block_info", "get_security_bars_tuples",
            "get_index_bars_tuples", "get_security_quotes_tuples", "get_security_bars_dataframe",
            "get_index_bars_dataframe", "get_security_quotes_dataframe", "get_finance_info_dataframe"]
        assert names[-1] == "calc_fq_factors"

    def test_methods_are_registered_in_table_order(self):
        names = [n for n in vars(TdxHqClient) if not n.startswith("__")]
        ours = [n for n in names if n in {m for m, _, _ in METHODS}]
        assert ours == [m for m, _, _ in METHODS]

    def test_docstrings_with_more_lines(self):
        assert TdxHqClient.set_rate_limit.__doc__ == (
            "设置默认请求速率限制 (每秒请求数, 0=禁用)\n默认 50 req/s。影响: 实时行情、财务、除权等通用接口。")
        assert TdxHqClient.set_rate_limit_daily.__doc__ == (
            "设置日K 级别速率限制 (每秒请求数, 0=禁用)\n默认 15 req/s。影响: get_security_bars / get_index_bars。")
        assert TdxHqClient.reorder_servers.__doc__ == (
            "按响应时间重排优先服务器\nservers: 从 probe_servers() 返回的排序结果, 取前N个")
        assert TdxHqClient.blocked_servers.__doc__ == "获取黑名单列表\n返回: list of (ip, port) tuples"
        assert TdxHqClient.probe_servers.__doc__ == (
            "探测全部已知服务器, 返回按 API 响应时间排序的结果\n"
            "返回: list of (name, ip, port, tcp_ms, hs_ms, api_ms)\n"
            "不会自动修改优先列表, 用户根据结果自行调用 reorder_servers()")

    def test_every_parameter_by_keyword(self, client):
        client.set_auto_retry(enabled=False)
        client.set_cache_ttl(ttl_secs=5)
        client.set_connect_timeout(timeout=1.5)
        client.set_rate_limit(rps=3)
        client.set_rate_limit_daily(rps=3)
        client.set_servers(servers=[])
        client.reorder_servers(servers=())
        client.add_server(name="n", ip="192.0.2.1", port=7709)
        client.block_server(ip="192.0.2.1", port=7709)
        client.unblock_server(ip="192.0.2.1", port=7709)
        client.set_fq_context_tier(tier="low")
        assert client.fq_context_tier() == "low"


# Calls refused before anything happens: (call, exception, message pattern).
REFUSED = [
    (lambda c: TdxHqClient(1), TypeError, None),
    (lambda c: TdxHqClient(timeout=1), TypeError, None),
    # Binding, worded as CPython words it.
    (lambda c: c.connect(), TypeError, r"^connect\(\) missing required argument 'ip' \(pos 1\)$"),
    (lambda c: c.connect("127.0.0.1"), TypeError, r"^connect\(\) missing required argument 'port' \(pos 2\)$"),
    (lambda c: c.add_server("n", "127.0.0.1"), TypeError, r"missing required argument 'port' \(pos 3\)"),
    (lambda c: c.connect("127.0.0.1", 7709, 1.0, 4), TypeError,
     r"^connect\(\) takes at most 3 arguments \(4 given\)$"),
    (lambda c: c.set_rate_limit(1, 2), TypeError, r"^set_rate_limit\(\) takes at most 1 argument \(2 given\)$"),
    (lambda c: c.set_rate_limit(rps=1, other=2), TypeError, r"takes at most 1 keyword argument \(2 given\)"),
    (lambda c: c.disconnect(1), TypeError, None),
    (lambda c: c.pool_stats(x=1), TypeError, None),
    (lambda c: c.connect("127.0.0.1", ip="127.0.0.1"), TypeError,
     r"^argument for connect\(\) given by name \('ip'\) and position \(1\)$"),
    (lambda c: c.connect("127.0.0.1", 7709, bogus=1), TypeError,
     r"^'bogus' is an invalid keyword argument for connect\(\)$"),
    (lambda c: c.connect_to_any(time=1), TypeError, r"^'time' is an invalid keyword argument for connect_to_any\(\)$"),
    # A missing required argument is reported before an unknown keyword.
    (lambda c: c.set_rate_limit(rate=1), TypeError, r"^set_rate_limit\(\) missing required argument 'rps' \(pos 1\)$"),
    (lambda c: c.connect_to_any(**{"%s%s%n": 1}), TypeError,
     r"^'%s%s%n' is an invalid keyword argument for connect_to_any\(\)$"),
    (lambda c: c.probe_servers(1.0, 2.0), TypeError, r"takes at most 1 argument \(2 given\)"),
    (lambda c: c.probe_servers(time=1.0), TypeError, "invalid keyword"),
    # Conversions name the parameter.
    *[(lambda c, p=p: c.connect("127.0.0.1", p), TypeError, "'port'") for p in ("7709", 7709.0, None, b"1")],
    (lambda c: c.connect(b"127.0.0.1", 7709), TypeError, "'ip'"),
    (lambda c: c.block_server(None, 7709), TypeError, "'ip'"),
    (lambda c: c.set_rate_limit(1.0), TypeError, None),
    (lambda c: c.set_cache_ttl(1.5), TypeError, None),
    *[(lambda c, v=v: c.set_auto_retry(v), TypeError, "'enabled'")
      for v in (1, 0, None, "True", 1.0, numpy.int8(1), [True])],
    *[(lambda c, v=v: c.set_connect_timeout(v), TypeError, "'timeout'") for v in (None, "1", b"1")],
    (lambda c: c.probe_servers(None), TypeError, "'timeout'"),
    (lambda c: c.probe_servers("3"), TypeError, "'timeout'"),
    (lambda c: c.connect("127.0.0.1", 1, "1"), TypeError, "'timeout'"),
    (lambda c: c.set_fq_context_tier(1), TypeError, "'tier'"),
    (lambda c: c.set_fq_context_tier(b"low"), TypeError, None),
    # Integer widths: ports are 16 bits, rates 32, the cache TTL 64, all unsigned.
    *[(lambda c, p=p, m=m: getattr(c, m)("127.0.0.1", p), OverflowError, "'port'")
      for p in (65536, -1, 2**64, -(2**70)) for m in ("connect", "block_server")],
    *[(lambda c, v=v, m=m: getattr(c, m)(v), OverflowError, "'rps'")
      for v in (2**32, -1) for m in ("set_rate_limit", "set_rate_limit_daily")],
    *[(lambda c, v=v: c.set_cache_ttl(v), OverflowError, "'ttl_secs'") for v in (2**64, -1)],
    # An int too large for a double is an overflow of that parameter.
    *[(lambda c, m=m: m(c, 10**400), OverflowError, "'timeout'")
      for m in (TdxHqClient.set_connect_timeout, lambda c, t: c.connect("127.0.0.1", 1, t))],
    # Bad time-outs, before anything is dialled.
    *[(lambda c, v=v, m=m: m(c, v), ValueError, "'timeout'")
      for v in (-1.0, -0.001, math.nan, math.inf, -math.inf)
      for m in (TdxHqClient.set_connect_timeout, lambda c, t: c.connect("127.0.0.1", 1, t),
                TdxHqClient.connect_to_any, TdxHqClient.probe_servers)],
]


@pytest.mark.parametrize("call, exc, text", REFUSED)
def test_refused_calls_change_nothing(client, call, exc, text):
    with pytest.raises(exc, match=text):
        call(client)
    assert client.is_connected() is False
    assert client.pool_stats()["total"] == 0
    assert client.blocked_servers() == []


def test_accepted_numbers_and_bools(client):
    client.set_rate_limit(2**32 - 1)
    client.set_rate_limit_daily(0)
    client.set_cache_ttl(0)
    client.set_cache_ttl(2**64 - 1)
    for flag in (True, False, numpy.bool_(False), numpy.bool_(True)):
        client.set_auto_retry(flag)
    for timeout in (2, 0.0, numpy.float32(1.5)):
        client.set_connect_timeout(timeout)
    client.block_server("192.0.2.1", numpy.uint16(7709))
    client.block_server("192.0.2.1", True)   # bool is an int
    assert client.blocked_servers() == [("192.0.2.1", 7709), ("192.0.2.1", 1)]


class TestSettings:
    def test_rate_limit_minute_is_fixed(self, client):
        assert client.rate_limit_minute() == 10
        client.set_rate_limit(1000)
        client.set_rate_limit_daily(1)
        client.set_rate_limit(0)
        assert client.rate_limit_minute() == 10

    @pytest.mark.parametrize("text, stored", [
        ("low", "low"), ("mid", "mid"), ("high", "high"),
        ("HIGH", "high"), ("Low", "low"), ("mId", "mid"),
    ])
    def test_tier_texts(self, client, text, stored):
        client.set_fq_context_tier(text)
        assert client.fq_context_tier() == stored

    @pytest.mark.parametrize("text", [" low", "low ", "", "medium", "hi", "HİGH", "ｈｉｇｈ", "low\udcff"])
    def test_unknown_tier_keeps_the_stored_one(self, client, text):
        client.set_fq_context_tier("high")
        with pytest.raises(ValueError) as e:
            client.set_fq_context_tier(text)
        assert str(e.value) == f"Invalid tier '{text}'. Use 'low', 'mid', or 'high'."
        assert client.fq_context_tier() == "high"

    def test_tier_of_a_str_subclass_uses_str_lowering(self, client):
        class Shouting(str):
            def lower(self):
                return 42

        client.set_fq_context_tier(Shouting("LOW"))
        assert client.fq_context_tier() == "low"
