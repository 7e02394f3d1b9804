"""TdxSmartClient: the class itself, loading the server cache file, connecting through the cached
server, the cache report and clearing. Every connection goes to 127.0.0.1: the cached server is
the mock, and every built-in server is blacklisted in the cache file, so the table walks that
follow a failed cached server never dial out. Probing walks the built-in primary table whatever
the blacklist says, so only its argument checks are exercised here (the probe itself is tested in
C++ over loopback tables)."""

import inspect
import math
import os
import time

import pytest

from quotix._internal import TdxSmartClient
from smart_helpers import (blacklist_all, builtin_servers, cache_doc, cache_file, closed_port,  # noqa: F401
                           entry, home, read_cache, run_python, write_cache)

EMPTY_STATS = "last_success: None, blacklist: 0, stats: 0"


@pytest.fixture
def cached_mock(home, mock):
    """The cache names the mock as the last good server and blacklists every built-in row."""
    host, port = mock.address()
    write_cache(home, cache_doc(last_success=entry(host, port, "mock0")))
    return host, port


@pytest.fixture
def smart(cached_mock):
    # Disconnected before the mock stops: the heartbeat's reconnect walks the built-in primary table.
    c = TdxSmartClient()
    yield c
    c.disconnect()


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


def test_class_surface(home):
    assert [n for n in vars(TdxSmartClient) if not n.startswith("_")] == [m[0] for m in METHODS]
    c = TdxSmartClient()
    for name, sig, doc in METHODS:
        f = getattr(c, name)
        assert (str(inspect.signature(f)), f.__doc__) == (sig, doc), name
    assert TdxSmartClient.__doc__ == (
        "智能连接客户端\n\n"
        "与 TdxHqClient 相同的 API，但采用不同的连接策略:\n"
        "- 快速初始连接: 仅验证 TCP + 握手，不做 K 线健康检查\n"
        "- 惰性健康检查: 首次 K 线请求返回空时触发，自动切换服务器\n"
        "- 本地缓存: 记录成功/失败服务器，下次连接优先使用缓存\n"
        "- 黑名单机制: 连续失败的服务器自动加入黑名单 (24h 过期)")
    assert (str(inspect.signature(TdxSmartClient)), TdxSmartClient.__module__) == ("()", "quotix._internal")
    for args, kwargs in [((1,), {}), ((), {"timeout": 1.0})]:
        with pytest.raises(TypeError):
            TdxSmartClient(*args, **kwargs)


def test_missing_file_gives_defaults_silently_and_writes_nothing(home, capfd):
    c = TdxSmartClient()
    assert (c.cache_stats(), c.is_connected()) == (EMPTY_STATS, False)
    del c
    assert not os.path.exists(cache_file(home))
    assert capfd.readouterr().err == ""


def test_loaded_file_is_reported(home, capfd):
    write_cache(home, cache_doc(
        last_success=entry("127.0.0.9", 7709),
        blacklist=[{"ip": "127.0.0.2", "port": 1, "reason": "kline_empty", "timestamp": 5},
                   {"ip": "127.0.0.3", "port": 2, "reason": "parse_error", "timestamp": 2 ** 64 - 1}],
        server_stats={"127.0.0.9:7709": {"success": 3, "fail": 1, "avg_latency": 12},
                      "127.0.0.2:1": {"success": 0, "fail": 4, "avg_latency": 0},
                      "127.0.0.3:2": {"success": 0, "fail": 0, "avg_latency": 0}}))
    # Expired and future entries alike are kept and counted.
    assert TdxSmartClient().cache_stats() == 'last_success: Some("127.0.0.9:7709"), blacklist: 2, stats: 3'
    write_cache(home, {"version": 7, "blacklist": [], "extra": [1, {"a": None}],
                       "server_stats": {"127.0.0.1:1": {"success": 1, "fail": 0, "avg_latency": 3, "x": 1}}})
    assert TdxSmartClient().cache_stats() == "last_success: None, blacklist: 0, stats: 1"
    write_cache(home, b'{"version": 1, "blacklist": [], "server_stats": {"\xff": 1}}')   # not UTF-8
    assert TdxSmartClient().cache_stats() == EMPTY_STATS
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("doc, word", [
    ("", ""), ("   \n\t ", ""),
    # The parser's own rules are tested with the cache in C++; this is what the class makes of one.
    ({"version": 1, "last_success": None, "blacklist": []}, "server_stats"),
])
def test_unparsable_file_warns_gives_defaults_and_stays_on_disk(home, capfd, doc, word):
    path = write_cache(home, doc)
    before = open(path, "rb").read()
    assert TdxSmartClient().cache_stats() == EMPTY_STATS
    err = capfd.readouterr().err
    assert err.startswith("[W] cache  failed to parse cache: ") and err.count("\n") == 1 and word in err
    assert open(path, "rb").read() == before


def test_cache_location(home, tmp_path_factory, monkeypatch):
    profile = tmp_path_factory.mktemp("profile")
    write_cache(profile, cache_doc(last_success=entry("127.0.0.5", 5), blacklist=[]))
    write_cache(home, cache_doc(last_success=entry("127.0.0.6", 6), blacklist=[]))
    monkeypatch.setenv("USERPROFILE", str(profile))          # before HOME
    assert TdxSmartClient().cache_stats() == 'last_success: Some("127.0.0.5:5"), blacklist: 0, stats: 0'
    cwd = tmp_path_factory.mktemp("cwd")
    monkeypatch.delenv("USERPROFILE")
    monkeypatch.delenv("HOME")
    monkeypatch.chdir(cwd)                                   # then the current directory
    write_cache(cwd, cache_doc(last_success=entry("127.0.0.7", 7), blacklist=[]))
    c = TdxSmartClient()
    assert c.cache_stats() == 'last_success: Some("127.0.0.7:7"), blacklist: 0, stats: 0'
    c.clear_cache()
    assert read_cache(cwd)["last_success"] is None


def test_clear_resets_and_rewrites_the_file(home, capfd):
    c = TdxSmartClient()
    c.clear_cache()                                          # creates missing directories
    assert read_cache(home)["version"] == 1
    write_cache(home, cache_doc(last_success=entry("127.0.0.9", 7709),
                                server_stats={"127.0.0.9:7709": {"success": 1, "fail": 0, "avg_latency": 5}}))
    c = TdxSmartClient()
    assert c.cache_stats().startswith('last_success: Some("127.0.0.9:7709"), blacklist: ')
    assert c.clear_cache() is None and c.cache_stats() == EMPTY_STATS
    with open(cache_file(home), encoding="utf-8") as f:
        assert f.read() == '{\n  "version": 1,\n  "last_success": null,\n  "blacklist": [],\n  "server_stats": {}\n}'
    assert capfd.readouterr().err == ""                      # the info line is below the default level


def test_connect_through_the_cached_server(smart, cached_mock, mock, home):
    before = open(cache_file(home), "rb").read()
    assert smart.disconnect() is None and smart.is_connected() is False    # harmless before any connection
    assert smart.connect_to_any(timeout=2.0) is True and smart.is_connected() is True
    assert [e["cmd"] for e in mock.request_log()][:3] == ["setup1", "setup2", "setup3"]
    assert open(cache_file(home), "rb").read() == before       # nothing recorded
    assert smart.cache_stats().startswith(f'last_success: Some("{cached_mock[0]}:{cached_mock[1]}")')
    assert smart.connect_to_any(2) is True and smart.connect_to_any(None) is True
    assert smart.disconnect() is None and smart.is_connected() is False
    # A later connect goes back to the cached server.
    assert smart.connect_to_any(1.5) is True
    assert mock.server_counters(0)["handshakes"] == 4
    smart.clear_cache()
    assert smart.is_connected() is True                        # clearing leaves the connection


def test_cached_server_is_tried_even_when_blacklisted(home, mock):
    host, port = mock.address()
    bl = blacklist_all() + [{"ip": host, "port": port, "reason": "kline_empty", "timestamp": int(time.time())}]
    write_cache(home, cache_doc(last_success=entry(host, port), blacklist=bl))
    c = TdxSmartClient()
    try:
        assert c.connect_to_any() is True
        assert mock.server_counters(0)["handshakes"] == 1
    finally:
        c.disconnect()


def test_nothing_reachable_raises_connection_error(home, capfd):
    write_cache(home, cache_doc(last_success=entry("127.0.0.1", closed_port())))
    c = TdxSmartClient()
    with pytest.raises(ConnectionError) as ei:
        c.connect_to_any(timeout=1.0)
    assert (type(ei.value), str(ei.value)) == (ConnectionError, "[E2001] connection failed: all servers unreachable")
    assert c.is_connected() is False
    assert capfd.readouterr().err == ("[W] smart  cached server 127.0.0.1 unavailable, trying next\n"
                                      "[E] smart  all servers unreachable\n")


def test_zero_timeout_fails_every_attempt(cached_mock):
    c = TdxSmartClient()
    with pytest.raises(ConnectionError, match="all servers unreachable"):
        c.connect_to_any(0)
    assert c.is_connected() is False


@pytest.mark.parametrize("args, kwargs, exc", [
    *[((bad,), {}, ValueError) for bad in (-0.5, math.nan, math.inf, -math.inf)],
    *[((bad,), {}, TypeError) for bad in ("1", b"1", [1])],
    ((), {"time": 1.0}, TypeError),
])
def test_bad_timeouts_are_refused_before_any_attempt(smart, mock, args, kwargs, exc):
    with pytest.raises(exc, match="timeout|time"):
        smart.connect_to_any(*args, **kwargs)
    assert mock.server_counters(0)["accepted"] == 0


# Arguments are refused before the first dial: these calls never reach the probe walk.
@pytest.mark.parametrize("args, kwargs, exc", [
    ((), {}, TypeError), (("1",), {}, TypeError), ((None,), {}, TypeError), ((-1.0,), {}, ValueError),
    ((math.nan,), {}, ValueError), ((), {"timeout_secs": math.inf}, ValueError), ((), {"timeout": 1.0}, TypeError),
])
def test_bad_probe_arguments(home, args, kwargs, exc):
    with pytest.raises(exc):
        TdxSmartClient().probe_and_cache(*args, **kwargs)
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
    r = run_python("""
        from quotix._internal import TdxSmartClient
        try:
            TdxSmartClient().connect_to_any(1.0)
        except ConnectionError as e:
            print(e)
    """, cwd=str(tmp_path), QUOTIX_LOG="info", HOME=str(home), USERPROFILE=None)
    assert r.stdout == "[E2001] connection failed: all servers unreachable\n"
    lines = r.stderr.splitlines()
    assert lines[:2] == [f"[I] smart  trying cached server: 缓存 (127.0.0.1:{port})",
                         "[W] smart  cached server 127.0.0.1 unavailable, trying next"]
    assert len(lines[2:-1]) == 10
    assert all(s.startswith("[I] smart  skipping blacklisted server: ") and s.endswith(":7709") for s in lines[2:-1])
    assert lines[-1] == "[E] smart  all servers unreachable"
