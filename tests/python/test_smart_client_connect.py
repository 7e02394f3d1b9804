"""TdxSmartClient: the class itself, loading the server cache file, connecting through the cached
server, the cache report and clearing. Every connection goes to 127.0.0.1: the cached server is
the mock, and every built-in server is blacklisted in the cache file, so the table walks that
follow a failed cached server never dial out. Probing walks the built-in primary table whatever
the blacklist says, so only its argument checks are exercised here (the probe itself is tested in
C++ over loopback tables)."""

import inspect
import json
import math
import os
import subprocess
import sys
import textwrap
import time

import pytest

from quotix._internal import TdxSmartClient
from smart_helpers import (blacklist_all, builtin_servers, cache_doc, cache_file, closed_port,  # noqa: F401
                           entry, home, read_cache, write_cache)

EMPTY_STATS = "last_success: None, blacklist: 0, stats: 0"


@pytest.fixture
def cached_mock(home, mock_server):
    """The cache names the mock as the last good server and blacklists every built-in row."""
    host, port = mock_server.address()
    write_cache(home, cache_doc(last_success=entry(host, port, "mock0")))
    return host, port


@pytest.fixture
def smart(cached_mock):
    # Made after the mock and disconnected before it stops, so the heartbeat never finds the mock
    # gone (its reconnect walks the built-in primary table).
    c = TdxSmartClient()
    yield c
    c.disconnect()


class TestClass:
    METHODS = [
        ("connect_to_any", "(timeout=None)", "连接到任意可用服务器 (快速模式)\n仅验证 TCP + 握手，不做 K 线健康检查。\n"
                                             "优先使用缓存的成功服务器。"),
        ("get_security_bars", "(category, market, code, start=0, count=800, fq=1)",
         "获取 K 线数据 (带自动重试)\n如果返回空数据，自动触发健康检查并尝试切换服务器。"),
        ("get_security_quotes", "(all_stock)", "获取实时行情 (带自动重试)"),
        ("cache_stats", "()", "获取缓存统计信息"),
        ("clear_cache", "()", "清除缓存"),
        ("probe_and_cache", "(timeout_secs)", "探测所有服务器并更新缓存"),
        ("disconnect", "()", "断开连接"),
        ("is_connected", "()", "是否已连接"),
    ]

    def test_methods_in_table_order_with_signatures_and_docs(self, home):
        names = [n for n in vars(TdxSmartClient) if not n.startswith("_")]
        assert names == [m[0] for m in self.METHODS]
        c = TdxSmartClient()
        for name, sig, doc in self.METHODS:
            f = getattr(c, name)
            assert str(inspect.signature(f)) == sig, name
            assert f.__doc__ == doc, name

    def test_class_doc_and_signature(self):
        assert TdxSmartClient.__doc__ == (
            "智能连接客户端\n\n"
            "与 TdxHqClient 相同的 API，但采用不同的连接策略:\n"
            "- 快速初始连接: 仅验证 TCP + 握手，不做 K 线健康检查\n"
            "- 惰性健康检查: 首次 K 线请求返回空时触发，自动切换服务器\n"
            "- 本地缓存: 记录成功/失败服务器，下次连接优先使用缓存\n"
            "- 黑名单机制: 连续失败的服务器自动加入黑名单 (24h 过期)")
        assert str(inspect.signature(TdxSmartClient)) == "()"
        assert TdxSmartClient.__module__ == "quotix._internal"

    def test_constructor_takes_no_arguments(self, home):
        with pytest.raises(TypeError):
            TdxSmartClient(1)
        with pytest.raises(TypeError):
            TdxSmartClient(timeout=1.0)


class TestCacheLoad:
    def test_missing_file_gives_defaults_silently_and_writes_nothing(self, home, capfd):
        c = TdxSmartClient()
        assert c.cache_stats() == EMPTY_STATS
        assert c.is_connected() is False
        del c
        assert not os.path.exists(cache_file(home))
        assert capfd.readouterr().err == ""

    def test_loaded_file_is_reported(self, home):
        write_cache(home, cache_doc(
            last_success=entry("127.0.0.9", 7709),
            blacklist=[{"ip": "127.0.0.2", "port": 1, "reason": "kline_empty", "timestamp": 5},
                       {"ip": "127.0.0.3", "port": 2, "reason": "parse_error", "timestamp": 2 ** 64 - 1}],
            server_stats={"127.0.0.9:7709": {"success": 3, "fail": 1, "avg_latency": 12},
                          "127.0.0.2:1": {"success": 0, "fail": 4, "avg_latency": 0},
                          "127.0.0.3:2": {"success": 0, "fail": 0, "avg_latency": 0}}))
        # Expired and future entries alike are kept and counted.
        assert TdxSmartClient().cache_stats() == 'last_success: Some("127.0.0.9:7709"), blacklist: 2, stats: 3'

    @pytest.mark.parametrize("text", ["", "   \n\t "])
    def test_empty_file_warns_and_gives_defaults(self, home, capfd, text):
        write_cache(home, text)
        c = TdxSmartClient()
        assert c.cache_stats() == EMPTY_STATS
        err = capfd.readouterr().err
        assert err.startswith("[W] cache  failed to parse cache: ")
        assert err.count("\n") == 1

    def test_file_without_server_stats_warns_keeps_defaults_and_stays_on_disk(self, home, capfd):
        # The parser's own rules are tested with the cache in C++; this is what the class makes of one.
        path = write_cache(home, {"version": 1, "last_success": None, "blacklist": []})
        before = open(path, "rb").read()
        assert TdxSmartClient().cache_stats() == EMPTY_STATS
        err = capfd.readouterr().err
        assert err.startswith("[W] cache  failed to parse cache: ") and "server_stats" in err
        assert open(path, "rb").read() == before

    def test_missing_last_success_and_unknown_keys_load(self, home, capfd):
        write_cache(home, {"version": 7, "blacklist": [], "extra": [1, {"a": None}],
                           "server_stats": {"127.0.0.1:1": {"success": 1, "fail": 0, "avg_latency": 3, "x": 1}}})
        assert TdxSmartClient().cache_stats() == "last_success: None, blacklist: 0, stats: 1"
        assert capfd.readouterr().err == ""

    def test_text_that_is_not_utf8_gives_defaults_silently(self, home, capfd):
        write_cache(home, b'{"version": 1, "blacklist": [], "server_stats": {"\xff": 1}}')
        assert TdxSmartClient().cache_stats() == EMPTY_STATS
        assert capfd.readouterr().err == ""

    def test_userprofile_comes_before_home(self, home, tmp_path_factory, monkeypatch):
        profile = tmp_path_factory.mktemp("profile")
        write_cache(profile, cache_doc(last_success=entry("127.0.0.5", 5), blacklist=[]))
        write_cache(home, cache_doc(last_success=entry("127.0.0.6", 6), blacklist=[]))
        monkeypatch.setenv("USERPROFILE", str(profile))
        assert TdxSmartClient().cache_stats() == 'last_success: Some("127.0.0.5:5"), blacklist: 0, stats: 0'

    def test_without_userprofile_and_home_the_current_directory_is_used(self, tmp_path, monkeypatch):
        monkeypatch.delenv("USERPROFILE", raising=False)
        monkeypatch.delenv("HOME", raising=False)
        monkeypatch.chdir(tmp_path)
        write_cache(tmp_path, cache_doc(last_success=entry("127.0.0.7", 7), blacklist=[]))
        c = TdxSmartClient()
        assert c.cache_stats() == 'last_success: Some("127.0.0.7:7"), blacklist: 0, stats: 0'
        c.clear_cache()
        assert read_cache(tmp_path)["last_success"] is None


class TestClearCache:
    def test_clear_resets_and_rewrites_the_file(self, home, capfd):
        write_cache(home, cache_doc(last_success=entry("127.0.0.9", 7709),
                                    server_stats={"127.0.0.9:7709": {"success": 1, "fail": 0, "avg_latency": 5}}))
        c = TdxSmartClient()
        assert c.cache_stats().startswith('last_success: Some("127.0.0.9:7709"), blacklist: ')
        assert c.clear_cache() is None
        assert c.cache_stats() == EMPTY_STATS
        with open(cache_file(home), encoding="utf-8") as f:
            text = f.read()
        assert json.loads(text) == {"version": 1, "last_success": None, "blacklist": [], "server_stats": {}}
        assert text == '{\n  "version": 1,\n  "last_success": null,\n  "blacklist": [],\n  "server_stats": {}\n}'
        # The info line is below the default level.
        assert capfd.readouterr().err == ""

    def test_clear_creates_missing_directories(self, home):
        c = TdxSmartClient()
        c.clear_cache()
        assert read_cache(home)["version"] == 1

    def test_clear_leaves_the_connection(self, smart):
        assert smart.connect_to_any(timeout=2.0) is True
        smart.clear_cache()
        assert smart.is_connected() is True


class TestConnect:
    def test_cached_server_is_used_and_nothing_is_recorded(self, smart, cached_mock, mock_server, home):
        before = open(cache_file(home), "rb").read()
        assert smart.is_connected() is False
        assert smart.connect_to_any(timeout=2.0) is True
        assert smart.is_connected() is True
        assert [e["cmd"] for e in mock_server.request_log()][:3] == ["setup1", "setup2", "setup3"]
        assert open(cache_file(home), "rb").read() == before
        assert smart.cache_stats().startswith(f'last_success: Some("{cached_mock[0]}:{cached_mock[1]}")')

    def test_cached_server_is_tried_even_when_blacklisted(self, home, mock_server):
        host, port = mock_server.address()
        bl = blacklist_all() + [{"ip": host, "port": port, "reason": "kline_empty", "timestamp": int(time.time())}]
        write_cache(home, cache_doc(last_success=entry(host, port), blacklist=bl))
        c = TdxSmartClient()
        try:
            assert c.connect_to_any() is True
            assert mock_server.server_counters(0)["handshakes"] == 1
        finally:
            c.disconnect()

    def test_positional_and_keyword_timeouts(self, smart):
        assert smart.connect_to_any(2) is True
        assert smart.connect_to_any(None) is True
        assert smart.connect_to_any(timeout=1.5) is True

    def test_disconnect(self, smart, mock_server):
        assert smart.disconnect() is None   # harmless before any connection
        smart.connect_to_any(2.0)
        assert smart.disconnect() is None
        assert smart.is_connected() is False
        mock_server.wait_for(lambda c: c["total"]["open"] == 0)
        # A later connect goes back to the cached server.
        assert smart.connect_to_any(2.0) is True
        assert mock_server.server_counters(0)["handshakes"] == 2

    def test_nothing_reachable_raises_connection_error(self, home, capfd):
        port = closed_port()
        write_cache(home, cache_doc(last_success=entry("127.0.0.1", port)))
        c = TdxSmartClient()
        with pytest.raises(ConnectionError) as ei:
            c.connect_to_any(timeout=1.0)
        assert str(ei.value) == "[E2001] connection failed: all servers unreachable"
        assert type(ei.value) is ConnectionError
        assert c.is_connected() is False
        assert capfd.readouterr().err == (
            "[W] smart  cached server 127.0.0.1 unavailable, trying next\n"
            "[E] smart  all servers unreachable\n")

    def test_zero_timeout_fails_every_attempt(self, cached_mock, capfd):
        c = TdxSmartClient()
        with pytest.raises(ConnectionError, match="all servers unreachable"):
            c.connect_to_any(0)
        assert c.is_connected() is False

    @pytest.mark.parametrize("bad", [-0.5, math.nan, math.inf, -math.inf])
    def test_invalid_timeout_is_refused_before_any_attempt(self, smart, mock_server, bad):
        with pytest.raises(ValueError, match="timeout"):
            smart.connect_to_any(bad)
        assert mock_server.server_counters(0)["accepted"] == 0

    @pytest.mark.parametrize("bad", ["1", b"1", [1]])
    def test_timeout_of_the_wrong_type(self, smart, mock_server, bad):
        with pytest.raises(TypeError, match="timeout"):
            smart.connect_to_any(bad)
        assert mock_server.server_counters(0)["accepted"] == 0

    def test_unknown_keyword(self, smart):
        with pytest.raises(TypeError):
            smart.connect_to_any(time=1.0)


class TestProbeArguments:
    # Arguments are refused before the first dial: these calls never reach the probe walk.
    @pytest.mark.parametrize("args, kwargs, exc", [
        ((), {}, TypeError),
        (("1",), {}, TypeError),
        ((None,), {}, TypeError),
        ((-1.0,), {}, ValueError),
        ((math.nan,), {}, ValueError),
        ((), {"timeout_secs": math.inf}, ValueError),
        ((), {"timeout": 1.0}, TypeError),
    ])
    def test_bad_arguments(self, home, args, kwargs, exc):
        c = TdxSmartClient()
        with pytest.raises(exc):
            c.probe_and_cache(*args, **kwargs)
        assert not os.path.exists(cache_file(home))


def test_builtin_rows_are_all_found():
    # builtin_servers() itself insists on all 112 rows; the addresses repeat between the tables.
    rows = builtin_servers()
    assert 0 < len(rows) <= 102
    assert all(port == 7709 and ip.count(".") == 3 for ip, port in rows)


def test_connect_lines_at_info_level(home, tmp_path):
    """At level info a failed connect names the cached server, then each blacklisted primary row,
    and ends with the error line; the full table's blacklisted rows pass silently."""
    port = closed_port()
    write_cache(home, cache_doc(last_success=entry("127.0.0.1", port, "缓存")))
    code = textwrap.dedent("""
        from quotix._internal import TdxSmartClient
        c = TdxSmartClient()
        try:
            c.connect_to_any(1.0)
        except ConnectionError as e:
            print(e)
    """)
    env = dict(os.environ, QUOTIX_LOG="info", HOME=str(home))
    env.pop("USERPROFILE", None)
    r = subprocess.run([sys.executable, "-c", code], env=env, cwd=str(tmp_path), capture_output=True,
                       text=True, timeout=60)
    assert r.stdout == "[E2001] connection failed: all servers unreachable\n"
    lines = r.stderr.splitlines()
    assert lines[0] == f"[I] smart  trying cached server: 缓存 (127.0.0.1:{port})"
    assert lines[1] == "[W] smart  cached server 127.0.0.1 unavailable, trying next"
    skips = lines[2:-1]
    assert len(skips) == 10
    assert all(s.startswith("[I] smart  skipping blacklisted server: ") and s.endswith(":7709") for s in skips)
    assert lines[-1] == "[E] smart  all servers unreachable"
