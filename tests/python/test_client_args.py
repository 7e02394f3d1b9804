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


@pytest.fixture
def client():
    return TdxHqClient()


class TestConstruction:
    def test_takes_no_arguments(self):
        with pytest.raises(TypeError):
            TdxHqClient(1)
        with pytest.raises(TypeError):
            TdxHqClient(timeout=1)

    def test_new_client_is_idle(self, client):
        assert client.is_connected() is False
        assert client.pool_stats() == {"idle": 0, "active": 0, "total": 0, "max_size": 5}
        assert list(client.pool_stats()) == ["idle", "active", "total", "max_size"]
        assert client.blocked_servers() == []
        assert client.fq_context_tier() == "mid"

    def test_disconnect_of_a_never_connected_client(self, client):
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


class TestBinding:
    def test_missing_required_argument(self, client):
        with pytest.raises(TypeError, match=r"^connect\(\) missing required argument 'ip' \(pos 1\)$"):
            client.connect()
        with pytest.raises(TypeError, match=r"^connect\(\) missing required argument 'port' \(pos 2\)$"):
            client.connect("127.0.0.1")
        with pytest.raises(TypeError, match=r"missing required argument 'port' \(pos 3\)"):
            client.add_server("n", "127.0.0.1")

    def test_too_many_arguments(self, client):
        with pytest.raises(TypeError, match=r"^connect\(\) takes at most 3 arguments \(4 given\)$"):
            client.connect("127.0.0.1", 7709, 1.0, 4)
        with pytest.raises(TypeError, match=r"^set_rate_limit\(\) takes at most 1 argument \(2 given\)$"):
            client.set_rate_limit(1, 2)
        with pytest.raises(TypeError, match=r"takes at most 1 keyword argument \(2 given\)"):
            client.set_rate_limit(rps=1, other=2)
        with pytest.raises(TypeError):
            client.disconnect(1)
        with pytest.raises(TypeError):
            client.pool_stats(x=1)

    def test_same_argument_by_position_and_name(self, client):
        with pytest.raises(TypeError, match=r"^argument for connect\(\) given by name \('ip'\) and position \(1\)$"):
            client.connect("127.0.0.1", ip="127.0.0.1")

    def test_unknown_keyword(self, client):
        with pytest.raises(TypeError, match=r"^'bogus' is an invalid keyword argument for connect\(\)$"):
            client.connect("127.0.0.1", 7709, bogus=1)
        with pytest.raises(TypeError, match=r"^'time' is an invalid keyword argument for connect_to_any\(\)$"):
            client.connect_to_any(time=1)
        # A missing required argument is reported first, as CPython does.
        with pytest.raises(TypeError, match=r"^set_rate_limit\(\) missing required argument 'rps' \(pos 1\)$"):
            client.set_rate_limit(rate=1)

    def test_keyword_text_is_not_a_format(self, client):
        with pytest.raises(TypeError) as e:
            client.connect_to_any(**{"%s%s%n": 1})
        assert str(e.value) == "'%s%s%n' is an invalid keyword argument for connect_to_any()"


class TestIntegerWidths:
    @pytest.mark.parametrize("port", [65536, -1, 2**64, -(2**70)])
    def test_port_out_of_range(self, client, port):
        with pytest.raises(OverflowError, match="'port'"):
            client.connect("127.0.0.1", port)
        with pytest.raises(OverflowError, match="'port'"):
            client.block_server("127.0.0.1", port)
        assert client.blocked_servers() == []

    @pytest.mark.parametrize("port", ["7709", 7709.0, None, b"1"])
    def test_port_of_wrong_type(self, client, port):
        with pytest.raises(TypeError, match="'port'"):
            client.connect("127.0.0.1", port)

    def test_ip_of_wrong_type(self, client):
        with pytest.raises(TypeError, match="'ip'"):
            client.connect(b"127.0.0.1", 7709)
        with pytest.raises(TypeError, match="'ip'"):
            client.block_server(None, 7709)

    def test_limits_are_unsigned_32_bit(self, client):
        client.set_rate_limit(2**32 - 1)
        client.set_rate_limit_daily(0)
        for bad in (2**32, -1):
            with pytest.raises(OverflowError, match="'rps'"):
                client.set_rate_limit(bad)
            with pytest.raises(OverflowError, match="'rps'"):
                client.set_rate_limit_daily(bad)
        with pytest.raises(TypeError):
            client.set_rate_limit(1.0)

    def test_cache_ttl_is_unsigned_64_bit(self, client):
        client.set_cache_ttl(0)
        client.set_cache_ttl(2**64 - 1)
        for bad in (2**64, -1):
            with pytest.raises(OverflowError, match="'ttl_secs'"):
                client.set_cache_ttl(bad)
        with pytest.raises(TypeError):
            client.set_cache_ttl(1.5)

    def test_integer_like_objects_are_ints(self, client):
        client.block_server("192.0.2.1", numpy.uint16(7709))
        client.block_server("192.0.2.1", True)   # bool is an int
        assert client.blocked_servers() == [("192.0.2.1", 7709), ("192.0.2.1", 1)]


class TestBoolRule:
    def test_bools_and_numpy_bools_accepted(self, client):
        client.set_auto_retry(True)
        client.set_auto_retry(False)
        client.set_auto_retry(numpy.bool_(False))
        client.set_auto_retry(numpy.bool_(True))

    @pytest.mark.parametrize("value", [1, 0, None, "True", 1.0, numpy.int8(1), [True]])
    def test_everything_else_refused(self, client, value):
        with pytest.raises(TypeError, match="'enabled'"):
            client.set_auto_retry(value)


class TestTimeouts:
    @pytest.mark.parametrize("bad", [-1.0, -0.001, math.nan, math.inf, -math.inf])
    def test_bad_timeouts_refused_before_anything(self, client, bad):
        with pytest.raises(ValueError, match="'timeout'"):
            client.set_connect_timeout(bad)
        with pytest.raises(ValueError, match="'timeout'"):
            client.connect("127.0.0.1", 1, bad)
        with pytest.raises(ValueError, match="'timeout'"):
            client.connect_to_any(bad)
        with pytest.raises(ValueError, match="'timeout'"):
            client.probe_servers(bad)
        assert client.is_connected() is False
        assert client.pool_stats()["total"] == 0

    def test_timeout_types(self, client):
        client.set_connect_timeout(2)
        client.set_connect_timeout(0.0)
        client.set_connect_timeout(numpy.float32(1.5))
        for bad in (None, "1", b"1"):
            with pytest.raises(TypeError, match="'timeout'"):
                client.set_connect_timeout(bad)
        with pytest.raises(TypeError, match="'timeout'"):
            client.probe_servers(None)
        with pytest.raises(TypeError, match="'timeout'"):
            client.connect("127.0.0.1", 1, "1")


class TestSettings:
    def test_rate_limit_minute_is_fixed(self, client):
        assert client.rate_limit_minute() == 10
        client.set_rate_limit(1000)
        client.set_rate_limit_daily(1)
        client.set_rate_limit(0)
        assert client.rate_limit_minute() == 10

    def test_setters_return_none(self, client):
        assert client.set_auto_retry(True) is None
        assert client.set_cache_ttl(30) is None
        assert client.set_connect_timeout(5.0) is None
        assert client.set_rate_limit(50) is None
        assert client.set_rate_limit_daily(15) is None
        assert client.set_fq_context_tier("mid") is None

    @pytest.mark.parametrize("text, stored", [
        ("low", "low"), ("mid", "mid"), ("high", "high"),
        ("HIGH", "high"), ("Low", "low"), ("mId", "mid"),
    ])
    def test_tier_texts(self, client, text, stored):
        client.set_fq_context_tier(text)
        assert client.fq_context_tier() == stored

    @pytest.mark.parametrize("text", [" low", "low ", "", "medium", "hi", "HİGH", "ｈｉｇｈ"])
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

    def test_tier_must_be_str(self, client):
        with pytest.raises(TypeError, match="'tier'"):
            client.set_fq_context_tier(1)
        with pytest.raises(TypeError):
            client.set_fq_context_tier(b"low")


class TestProbeArguments:
    # Probing dials the public table: only the argument errors are exercised.
    def test_probe_argument_errors(self, client):
        with pytest.raises(TypeError, match="'timeout'"):
            client.probe_servers("3")
        with pytest.raises(TypeError, match=r"takes at most 1 argument \(2 given\)"):
            client.probe_servers(1.0, 2.0)
        with pytest.raises(TypeError, match="invalid keyword"):
            client.probe_servers(time=1.0)
        with pytest.raises(ValueError):
            client.probe_servers(-3.0)
