"""AsyncTdxHqClient: the class surface, construction and tear-down, argument conversion and
borrows, and the connection methods. Every connection goes to the loopback mock server; the
primary-server walk of connect_to_any is only ever reached with arguments it refuses first."""

import gc
import inspect
import math
import os
import socket
import subprocess
import sys
import tempfile
import time

import pytest

from quotix import _internal
from quotix._internal import AsyncTdxHqClient

METHODS = [
    ("with_pool_size", "(pool_size=4)", "指定连接池大小创建"),
    ("connect", "(ip, port, timeout=None)", "连接到 TDX 服务器 (建立连接池)"),
    ("connect_to_any", "(timeout=None)", "连接到任意可用服务器"),
    ("disconnect", "()", "断开所有连接"),
    ("connection_count", "()", "当前连接数"),
    ("is_connected", "()", "连接是否存活"),
    ("set_rate_limit", "(rps)", "设置限流 RPS (每秒请求数, 0=禁用, 上限 200)"),
    ("set_phase", "(phase)", None),
    ("auto_detect_phase", "()", "自动检测交易阶段并设置限流，返回阶段名称"),
    ("get_security_bars", "(category, market, code, start=0, count=800, fq=1)",
     "获取K线数据\n\nfq: 复权类型, 0=未复权 1=前复权(默认) 2=后复权"),
    ("get_security_bars_all", "(category, market, code, count=800, fq=1)", "获取K线数据 (自动分页)"),
    ("get_index_bars", "(category, market, code, start=0, count=800, fq=1)", "获取指数K线"),
    ("get_index_bars_all", "(category, market, code, count=800, fq=1)", "获取指数K线 (自动分页)"),
    ("get_security_quotes", "(all_stock)", "获取实时行情 (批量)"),
    ("get_security_count", "(market)", "获取证券数量"),
    ("get_security_list", "(market, start=0)", "获取证券列表"),
    ("get_minute_time_data", "(market, code)", "获取分时数据"),
    ("get_history_minute_time_data", "(market, code, date)", "获取历史分时数据"),
    ("get_transaction_data", "(market, code, start=0, count=2000)", "获取逐笔成交"),
    ("get_history_transaction_data", "(market, code, start=0, count=2000, date=0)", "获取历史逐笔成交"),
    ("get_finance_info", "(market, code)", "获取财务信息"),
    ("get_xdxr_info", "(market, code)", "获取除权除息"),
    ("get_security_bars_tuples", "(category, market, code, start=0, count=800, fq=1)",
     "获取K线数据, 返回 list of tuple (高性能模式)\n"
     "tuple: (open, close, high, low, vol, amount, year, month, day, hour, minute, datetime)"),
    ("get_index_bars_tuples", "(category, market, code, start=0, count=800, fq=1)",
     "获取指数K线, 返回 list of tuple (高性能模式)"),
    ("get_security_quotes_tuples", "(all_stock)", "获取实时行情, 返回 list of tuple (高性能模式)"),
    ("get_security_bars_dataframe", "(category, market, code, start=0, count=800, fq=1)",
     "获取K线数据, 返回 pandas DataFrame"),
    ("get_index_bars_dataframe", "(category, market, code, start=0, count=800, fq=1)",
     "获取指数K线, 返回 pandas DataFrame"),
    ("get_security_quotes_dataframe", "(all_stock)", "获取实时行情, 返回 pandas DataFrame"),
    ("get_finance_info_dataframe", "(stocks)", "获取多只股票的财务信息, 返回 pandas DataFrame"),
]


def thread_count():
    return len(os.listdir("/proc/self/task"))


needs_proc = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")


@pytest.fixture
def mock_server(mock_server_module):
    mock_server_module.reset()
    mock_server_module.listen(0, True)
    return mock_server_module


@pytest.fixture
def client(mock_server):
    c = AsyncTdxHqClient.with_pool_size(2)
    assert c.connect(*mock_server.address(), 2.0) is True
    return c


class TestSurface:
    def test_method_table_in_order_with_signatures_and_docs(self):
        names = [n for n in AsyncTdxHqClient.__dict__ if not n.startswith("_")]
        assert names == [m[0] for m in METHODS]
        for name, sig, doc in METHODS:
            fn = getattr(AsyncTdxHqClient, name)
            shown = str(inspect.signature(fn))
            if name != "with_pool_size":
                assert shown.startswith("(self, /")
                shown = "(" + shown[len("(self, /"):].lstrip(", ")
            assert shown == sig, name
            if doc is not None:
                assert fn.__doc__ == doc, name
        assert AsyncTdxHqClient.set_phase.__doc__
        assert AsyncTdxHqClient.__text_signature__ == "()"
        assert "异步" in AsyncTdxHqClient.__doc__
        assert AsyncTdxHqClient.__module__ == "quotix._internal"
        assert _internal.AsyncTdxHqClient is AsyncTdxHqClient
        c = AsyncTdxHqClient()
        assert not hasattr(c, "__dict__")


class TestConstruction:
    def test_new_client_is_unconnected(self):
        c = AsyncTdxHqClient()
        assert (c.connection_count(), c.is_connected(), c.disconnect(), c.disconnect()) == (0, False, None, None)

    def test_pool_size(self, mock_server):
        host, port = mock_server.address()
        for size, want in [(None, 4), (0, 1), (3, 3)]:
            c = AsyncTdxHqClient.with_pool_size() if size is None else AsyncTdxHqClient.with_pool_size(pool_size=size)
            assert isinstance(c, AsyncTdxHqClient)
            assert c.connect(host, port) is True
            assert c.connection_count() == want
        default = AsyncTdxHqClient()
        default.connect(host, port, 2.0)
        assert default.connection_count() == 4

    @needs_proc
    def test_bad_pool_size_builds_no_runtime(self):
        before = thread_count()
        with pytest.raises(OverflowError):
            AsyncTdxHqClient.with_pool_size(-1)
        with pytest.raises(OverflowError):
            AsyncTdxHqClient.with_pool_size(2 ** 64)
        with pytest.raises(TypeError, match="argument 'pool_size'"):
            AsyncTdxHqClient.with_pool_size(2.5)
        assert thread_count() == before

    @needs_proc
    def test_many_clients_leak_no_threads(self, mock_server):
        host, port = mock_server.address()
        gc.collect()
        before = thread_count()
        for i in range(20):
            c = AsyncTdxHqClient.with_pool_size(2)
            if i % 2:
                c.connect(host, port, 2.0)
                c.get_security_count(0)
            del c
        assert thread_count() == before
        # Every pooled connection was closed with its object.
        assert mock_server.wait_for(lambda c: c["total"]["open"] == 0)


class TestArguments:
    @pytest.mark.parametrize("call, exc, text", [
        (lambda c: AsyncTdxHqClient(4), TypeError, None),
        (lambda c: AsyncTdxHqClient(pool_size=4), TypeError, None),
        (lambda c: AsyncTdxHqClient(None), TypeError, None),
        (lambda c: c.connect("127.0.0.1"), TypeError, None),
        (lambda c: c.connect("127.0.0.1", 1, 1.0, 2), TypeError, None),
        (lambda c: c.connect("127.0.0.1", 1, tmeout=1.0), TypeError, None),
        (lambda c: c.connect("127.0.0.1", 1, port=2), TypeError, None),
        (lambda c: c.disconnect(1), TypeError, None),
        (lambda c: c.connect("127.0.0.1", 7709.0), TypeError, "^argument 'port': "),
        (lambda c: c.connect("127.0.0.1", 7709, "1"), TypeError, "^argument 'timeout': "),
        (lambda c: c.get_security_bars(4, 1, 600519), TypeError, "^argument 'code': "),
        (lambda c: c.get_security_list(0, 1.5), TypeError, "^argument 'start': "),
        *[(call, OverflowError, "^out of range integral type conversion attempted$") for call in [
            lambda c: c.connect("127.0.0.1", 65536),
            lambda c: c.connect("127.0.0.1", -1),
            lambda c: c.get_security_bars(256, 1, "600000"),
            lambda c: c.get_security_bars(4, 1, "600000", -1),
            lambda c: c.get_security_bars(4, 1, "600000", 0, 65536),
            lambda c: c.get_security_bars(4, 1, "600000", 0, 1, -1),
            lambda c: c.get_security_bars(4, 1, "600000", 2 ** 32)]],
    ])
    def test_refused_arguments(self, call, exc, text):
        with pytest.raises(exc, match=text):
            call(AsyncTdxHqClient.with_pool_size(1))

    def test_type_errors_keep_the_cause_and_wide_ints_the_interpreters_words(self):
        c = AsyncTdxHqClient.with_pool_size(1)
        with pytest.raises(TypeError, match="^argument 'ip': ") as e:
            c.connect(1, 7709)
        assert isinstance(e.value.__cause__, TypeError)
        with pytest.raises(OverflowError) as e:
            c.connect("127.0.0.1", 2 ** 70)
        assert "out of range integral" not in str(e.value)

    def test_index_objects_and_bools_are_integers(self, mock_server):
        class Port:
            def __index__(self):
                return mock_server.port

        c = AsyncTdxHqClient.with_pool_size(1)
        assert c.connect(mock_server.host, Port(), timeout=True) is True
        assert c.connection_count() == 1

    def test_conversion_stops_at_the_first_failure_before_any_request(self, client, mock_server):
        mock_server.reset()
        with pytest.raises(OverflowError):
            client.get_security_bars(4, 300, 1)  # market fails before code is looked at
        assert mock_server.requests() == 0


class TestBorrows:
    def test_shared_call_inside_an_exclusive_one(self):
        c = AsyncTdxHqClient()
        seen = []

        class Rps:
            def __index__(self):
                try:
                    c.is_connected()
                except RuntimeError as e:
                    seen.append(str(e))
                return 10

        assert c.set_rate_limit(Rps()) is None
        assert seen == ["Already mutably borrowed"]
        # Released on the way out: the next calls borrow freely.
        assert c.is_connected() is False
        c.set_rate_limit(0)

    def test_exclusive_call_inside_a_shared_one(self):
        c = AsyncTdxHqClient()
        seen = []

        class Port:
            def __index__(self):
                for call in (lambda: c.set_rate_limit(1), lambda: c.set_phase("closed"), c.auto_detect_phase):
                    try:
                        call()
                    except RuntimeError as e:
                        seen.append(str(e))
                # Shared borrows stack.
                seen.append(c.connection_count())
                raise OverflowError("stop here")

        with pytest.raises(OverflowError, match="stop here"):
            c.connect("127.0.0.1", Port())
        assert seen == ["Already borrowed"] * 3 + [0]
        c.set_rate_limit(1)  # the failed call released its borrow


class TestConnect:
    def test_connect_fills_and_replaces_the_pool(self, mock_server_factory):
        mock = mock_server_factory(servers=2)
        c = AsyncTdxHqClient.with_pool_size(3)
        assert c.connect(*mock.address(0), 2.0) is True
        assert (c.connection_count(), c.is_connected()) == (3, True)
        assert mock.server_counters(0)["handshakes"] == 3
        assert c.connect(*mock.address(1)) is True
        assert c.connection_count() == 3
        assert mock.server_counters(1)["handshakes"] == 3
        assert mock.wait_for(lambda s: s["servers"][0]["open"] == 0)

    def test_refused_is_connection_error(self, mock_server):
        mock_server.listen(0, False)
        c = AsyncTdxHqClient.with_pool_size(1)
        with pytest.raises(ConnectionError, match=f"^Connection error: connect 127.0.0.1:{mock_server.port}: "):
            c.connect(*mock_server.address(), 1.0)
        assert (c.connection_count(), c.is_connected()) == (0, False)

    def test_silent_address_is_the_coded_timeout(self):
        # A listener whose accept queue is full leaves new connects unanswered.
        srv = socket.socket()
        srv.bind(("127.0.0.1", 0))
        srv.listen(0)
        port = srv.getsockname()[1]
        fillers = []
        try:
            for _ in range(4):
                s = socket.socket()
                s.setblocking(False)
                try:
                    s.connect(("127.0.0.1", port))
                except BlockingIOError:
                    pass
                fillers.append(s)
            c = AsyncTdxHqClient.with_pool_size(1)
            t0 = time.monotonic()
            with pytest.raises(ValueError, match=rf"^\[E2002\] connection timeout: 127.0.0.1:{port}$"):
                c.connect("127.0.0.1", port, 0.2)
            assert time.monotonic() - t0 >= 0.19
        finally:
            for s in fillers:
                s.close()
            srv.close()

    def test_silent_handshake_is_bounded(self, mock_server):
        mock_server.set_fault("stall", cmd="setup1")
        c = AsyncTdxHqClient.with_pool_size(1)
        with pytest.raises(ConnectionError):
            c.connect(*mock_server.address(), 0.2)
        assert c.connection_count() == 0

    @pytest.mark.parametrize("bad", [-1.0, math.nan, math.inf, -math.inf])
    def test_bad_timeouts_are_refused_before_the_pool_is_touched(self, client, mock_server, bad):
        accepted = mock_server.counters()["total"]["accepted"]
        with pytest.raises(ValueError, match="timeout"):
            client.connect(*mock_server.address(), bad)
        assert (client.connection_count(), client.is_connected()) == (2, True)
        assert mock_server.counters()["total"]["accepted"] == accepted

    @pytest.mark.parametrize("bad", [-1.0, math.nan, math.inf])
    def test_connect_to_any_refuses_bad_timeouts_before_dialing(self, bad):
        c = AsyncTdxHqClient()
        with pytest.raises(ValueError, match="timeout"):
            c.connect_to_any(bad)
        with pytest.raises(TypeError, match="^argument 'timeout': "):
            c.connect_to_any("5")
        with pytest.raises(TypeError):
            c.connect_to_any(1.0, 2.0)
        assert c.connection_count() == 0

    def test_disconnect(self, client, mock_server):
        assert client.disconnect() is None
        assert (client.connection_count(), client.is_connected()) == (0, False)
        assert mock_server.wait_for(lambda c: c["total"]["open"] == 0)
        assert client.disconnect() is None
        # It can be connected again at any time.
        assert client.connect(*mock_server.address()) is True
        assert client.connection_count() == 2

    def test_silent_server_fails_a_call_instead_of_holding_it(self, mock_server):
        # Run apart: a call that hung would hold this process's interpreter lock for good.
        src = f"""
import quotix._internal as qi
c = qi.AsyncTdxHqClient.with_pool_size(2)
c.connect("127.0.0.1", {mock_server.port}, 0.3)
try:
    c.get_security_bars(4, 1, "600000", 0, 10, 0)
except ConnectionError as e:
    print(type(e).__name__, e)
"""
        mock_server.set_fault("stall", cmd="bars")
        r = subprocess.run([sys.executable, "-c", src], capture_output=True, text=True, timeout=60,
                           cwd=tempfile.gettempdir())
        assert r.returncode == 0, r.stderr
        assert r.stdout.startswith("ConnectionError Connection error: ")
        assert mock_server.requests("bars") >= 2


class TestTearDown:
    def test_drop_while_connections_wait_on_a_silent_server(self, mock_server):
        # The connection tasks sit reading sockets of a server that never answers; dropping the
        # object ends them without waiting for the server or the 30 s time-out.
        mock_server.set_fault("stall", cmd="data")
        c = AsyncTdxHqClient.with_pool_size(2)
        c.connect(*mock_server.address(), 30.0)
        c.set_rate_limit(0)
        t0 = time.monotonic()
        del c
        gc.collect()
        assert time.monotonic() - t0 < 10
        assert mock_server.wait_for(lambda s: s["total"]["open"] == 0)

    @needs_proc
    def test_last_reference_dropped_on_another_thread_during_a_call(self, mock_server):
        import threading

        gc.collect()
        before = thread_count()
        mock_server.set_fault("delay", cmd="count", seconds=0.3, times=1)
        c = AsyncTdxHqClient.with_pool_size(2)
        c.connect(*mock_server.address(), 2.0)
        results = []
        t = threading.Thread(target=lambda cl: results.append(cl.get_security_count(0)), args=(c,))
        t.start()
        del c  # the call in flight holds the last reference; its thread tears the object down
        t.join(10)
        assert results == [2105]
        assert mock_server.wait_for(lambda s: s["total"]["open"] == 0)
        assert thread_count() == before

    def test_drop_after_a_failed_call_on_a_broken_pool(self, mock_server):
        mock_server.set_fault("close", cmd="count", when="inside_header", times=1)
        c = AsyncTdxHqClient.with_pool_size(2)
        c.connect(*mock_server.address(), 1.0)
        assert c.get_security_count(1) == 1908  # the retry takes the other connection
        del c
        assert mock_server.wait_for(lambda s: s["total"]["open"] == 0)
