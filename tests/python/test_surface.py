"""The Python surface of quotix._internal, one table for every class: module start-up, class and
method order, text signatures, docstrings, constants, argument errors and how failures map to
Python exceptions. What the calls return is in test_queries.py and test_readers.py."""

import importlib
import inspect
import math
import re
import socket
import sys

import pytest
from conftest import BUILTIN, run_python, write_cache

import quotix
import quotix._internal as qi

CONSTANTS = [(k, int(v) if v.isdigit() else v) for k, v in (item.split("=") for item in """
    MARKET_SZ=0 MARKET_SH=1 MARKET_BJ=2 KLINE_5MIN=0 KLINE_15MIN=1 KLINE_30MIN=2 KLINE_1HOUR=3 KLINE_DAILY=4
    KLINE_WEEKLY=5 KLINE_MONTHLY=6 KLINE_EXHQ_1MIN=7 KLINE_1MIN=8 KLINE_RI_K=9 KLINE_3MONTH=10 KLINE_YEARLY=11
    FQ_NONE=0 FQ_QFQ=1 FQ_HFQ=2 MAX_KLINE_COUNT=800 MAX_TRANSACTION_COUNT=2000 DEFAULT_PORT=7709
    DEFAULT_POOL_SIZE=5 FQ_PRICE_PRECISION=3 PORT=7709 POOL_SIZE=5 BLOCK_SZ=block_zs.dat BLOCK_FG=block_fg.dat
    BLOCK_GN=block_gn.dat BLOCK_DEFAULT=block.dat ERR_EMPTY_ARGUMENT=1001 ERR_ARGUMENT_TOO_LONG=1002
    ERR_ARGUMENT_OUT_OF_RANGE=1003 ERR_INVALID_FORMAT=1004 ERR_BLOCK_CODE_IN_GENERAL_CLIENT=1101
    ERR_BOND_CODE_NOT_SUPPORTED=1102 ERR_FUND_CODE_NOT_SUPPORTED=1103 ERR_UNKNOWN_CODE_FORMAT=1104
    ERR_RATE_LIMIT_EXCEEDED=1201 ERR_RATE_LIMIT_DAILY_EXCEEDED=1202 ERR_RATE_LIMIT_MINUTE_EXCEEDED=1203
    ERR_BLOCK_KLINE_CATEGORY_NOT_ALLOWED=1204 ERR_BLOCK_KLINE_COUNT_EXCEEDED=1205 ERR_BLOCK_MINUTE_DISABLED=1206
    ERR_BLOCK_TRADES_DISABLED=1207 ERR_CONNECTION_FAILED=2001 ERR_CONNECTION_TIMEOUT=2002 ERR_DISCONNECTED=2003
    ERR_HANDSHAKE_FAILED=2004 ERR_RETRY_EXHAUSTED=2005 ERR_POOL_EXHAUSTED=2006 ERR_INVALID_DATE=3001
    ERR_DATE_OUT_OF_RANGE=3002 ERR_INVALID_STOCK_CODE=3003 ERR_MISSING_FIELD=3004 ERR_TYPE_MISMATCH=3005
    ERR_FILE_NOT_FOUND=4001 ERR_INVALID_FILE_FORMAT=4002 ERR_FILE_TOO_SMALL=4003 ERR_FILE_READ_ERROR=4004
    """.split())]

B = "(category, market, code, start=0, count=800, fq=1)"  # the bar methods' signature
A = "(category, market, code, count=800, fq=1)"           # and that of their paging forms
# Per class, in module order: constructor signature, docstring's first line, then its methods in
# class order, one a line: name, signature (self left out), docstring's first line; or several a
# line as TdxHqClient has them: "= names" (signature and docstring), "~ names" (no docstring).
SURFACE = {
    "DailyBarReader": ("(coefficient=0.01)", "日线 Reader", """
        parse_data (data) 解析日线数据，返回 Python list of dict
        parse_file (filename) 从文件读取并解析
        parse_data_tuples (data) 解析日线数据，返回 Python list of tuple (高性能模式)
        parse_file_tuples (filename) 从文件读取并解析，返回 Python list of tuple (高性能模式)
        to_dataframe (data) 解析日线数据, 返回 pandas DataFrame (列式, 高性能)
        to_dataframe_file (filename) 从文件读取并解析, 返回 pandas DataFrame"""),
    "MinBarReader": ("()", "5分钟线 Reader", """
        parse_data (data) 解析 5分钟线数据 (整数格式)
        parse_file (filename) 从文件读取并解析
        parse_data_tuples (data) 解析 5分钟线数据，返回 list of tuple (高性能模式)
        parse_file_tuples (filename) 从文件读取并解析，返回 list of tuple (高性能模式)
        to_dataframe (data) 解析5分钟线数据, 返回 pandas DataFrame"""),
    "LcMinBarReader": ("()", "LC 格式分钟线 Reader", """
        parse_data (data) 解析 LC 格式分钟线数据 (浮点格式)
        parse_file (filename) 从文件读取并解析
        parse_data_tuples (data) 解析 LC 格式分钟线数据，返回 list of tuple (高性能模式)
        parse_file_tuples (filename) 从文件读取并解析，返回 list of tuple (高性能模式)
        to_dataframe (data) 解析LC分钟线数据, 返回 pandas DataFrame"""),
    "BlockReader": ("()", "板块文件 Reader", """
        parse_data (data) 解析板块数据 (扁平模式: 每只股票一行)
        parse_data_group (data) 解析板块数据 (分组模式: 每个板块一行)
        parse_file (filename) 从文件读取并解析"""),
    "FinancialReader": ("()", "财务数据 Reader", """
        parse_data (data) 解析财务数据
        parse_file (filename) 从文件读取并解析"""),
    "TdxHqClient": ("()", "TDX 行情客户端 - Python 绑定", f"""
        connect (ip, port, timeout=None) 连接到 TDX 服务器
        disconnect () 断开连接
        is_connected () 是否已连接
        connect_to_any (timeout=None) 连接到任意可用服务器 (从默认列表中选择)
        set_auto_retry (enabled) 设置是否自动重试
        set_cache_ttl (ttl_secs) 设置缓存 TTL (秒)
        set_connect_timeout (timeout) 设置连接超时 (秒)
        set_rate_limit (rps) 设置默认请求速率限制 (每秒请求数, 0=禁用)
        set_rate_limit_daily (rps) 设置日K 级别速率限制 (每秒请求数, 0=禁用)
        rate_limit_minute () 获取分时级别速率限制 (固定 10 req/s, 不可修改)
        set_servers (servers) 设置自定义优先服务器列表
        add_server (name, ip, port) 在优先列表头部添加一台服务器
        reorder_servers (servers) 按响应时间重排优先服务器
        block_server (ip, port) 将服务器加入黑名单
        unblock_server (ip, port) 从黑名单移除服务器
        blocked_servers () 获取黑名单列表
        clear_blocked_servers () 清空黑名单
        probe_servers (timeout=3.0) 探测全部已知服务器, 返回按 API 响应时间排序的结果
        pool_stats () 获取连接池状态
        get_security_bars {B} 获取K线数据
        get_security_bars_all {A} 获取K线数据 (自动分页)
        get_index_bars {B} 获取指数K线
        get_index_bars_all {A} 获取指数K线 (自动分页)
        get_security_quotes (all_stock) 获取实时行情
        get_security_list (market, start=0) 获取证券列表
        get_security_count (market) 获取证券数量
        get_minute_time_data (market, code) 获取分时数据
        get_history_minute_time_data (market, code, date) 获取历史分时数据
        get_transaction_data (market, code, start=0, count=2000) 获取逐笔成交
        get_history_transaction_data (market, code, start=0, count=2000, date=0) 获取历史逐笔成交
        get_finance_info (market, code) 获取财务信息
        get_xdxr_info (market, code) 获取除权除息
        get_and_parse_block_info (block_file) 获取并解析板块信息
        get_security_bars_tuples {B} 获取K线数据，返回 list of tuple (高性能模式)
        get_index_bars_tuples {B} 获取指数K线，返回 list of tuple (高性能模式)
        get_security_quotes_tuples (all_stock) 获取实时行情，返回 list of tuple (高性能模式)
        get_security_bars_dataframe {B} 获取K线数据, 返回 pandas DataFrame
        get_index_bars_dataframe {B} 获取指数K线, 返回 pandas DataFrame
        get_security_quotes_dataframe (all_stock) 获取实时行情, 返回 pandas DataFrame
        get_finance_info_dataframe (stocks) 获取多只股票的财务信息, 返回 pandas DataFrame
        set_fq_context_tier (tier) 设置复权上下文数据量档位
        fq_context_tier () 获取当前复权上下文档位
        calc_fq_factors (market, code, start=0, count=800) 计算复权因子 (不修改 K 线数据)"""),
    "TdxDirectClient": ("(ip, port=..., timeout=5.0)", "TDX 裸连接客户端 — Python 绑定", """
        set_server (ip, port) 更新服务器地址
        set_timeout (timeout) 更新超时
        ~ get_security_bars get_index_bars get_security_quotes get_security_list get_security_count
        ~ get_minute_time_data get_history_minute_time_data get_transaction_data get_history_transaction_data
        ~ get_finance_info get_xdxr_info get_and_parse_block_info"""),
    "AsyncTdxHqClient": ("()", "异步 TDX 行情客户端: 自带异步运行时, 通过通道连接池并发处理请求", f"""
        with_pool_size (pool_size=4) 指定连接池大小创建
        connect (ip, port, timeout=None) 连接到 TDX 服务器 (建立连接池)
        connect_to_any (timeout=None) 连接到任意可用服务器
        disconnect () 断开所有连接
        connection_count () 当前连接数
        is_connected () 连接是否存活
        set_rate_limit (rps) 设置限流 RPS (每秒请求数, 0=禁用, 上限 200)
        set_phase (phase) 按交易阶段设置限流 (trading / prepost / closed)
        auto_detect_phase () 自动检测交易阶段并设置限流，返回阶段名称
        = get_security_bars get_security_bars_all get_index_bars get_index_bars_all
        get_security_quotes (all_stock) 获取实时行情 (批量)
        = get_security_count get_security_list get_minute_time_data get_history_minute_time_data
        = get_transaction_data get_history_transaction_data get_finance_info get_xdxr_info
        get_security_bars_tuples {B} 获取K线数据, 返回 list of tuple (高性能模式)
        get_index_bars_tuples {B} 获取指数K线, 返回 list of tuple (高性能模式)
        get_security_quotes_tuples (all_stock) 获取实时行情, 返回 list of tuple (高性能模式)
        = get_security_bars_dataframe get_index_bars_dataframe get_security_quotes_dataframe
        = get_finance_info_dataframe"""),
    "TdxSmartClient": ("()", "智能连接客户端", f"""
        connect_to_any (timeout=None) 连接到任意可用服务器 (快速模式)
        get_security_bars {B} 获取 K 线数据 (带自动重试)
        get_security_quotes (all_stock) 获取实时行情 (带自动重试)
        cache_stats () 获取缓存统计信息
        clear_cache () 清除缓存
        probe_and_cache (timeout_secs) 探测所有服务器并更新缓存
        = disconnect is_connected"""),
    "TdxHqFundClient": ("()", "基金行情客户端 - Python 绑定", """
        = connect
        connect_to_any (timeout=None) 连接到任意可用服务器
        = disconnect is_connected
        get_fund_list (market) 获取基金列表
        get_fund_bars (category, market, code, start=0, count=800) 获取基金 K线数据
        get_fund_bars_all (category, market, code, count=800) 获取基金 K线数据 (自动分页)
        get_fund_quotes (stocks) 获取基金实时行情
        get_fund_minute_time_data (market, code) 获取基金分时数据
        get_fund_history_minute_time_data (market, code, date) 获取基金历史分时数据
        get_fund_transaction_data (market, code, start=0, count=2000) 获取基金逐笔成交
        get_fund_history_transaction_data (market, code, start, count, date) 获取基金历史逐笔成交
        get_fund_xdxr_info (market, code) 获取基金除权除息信息
        get_fund_finance_info (market, code) 获取基金财务信息
        is_fund (market, code) 判断是否为基金代码
        classify_fund (market, code) 分类基金类型
        auto_market_code (code) 自动判断市场代码"""),
    "TdxBlockClient": ("(ip, port, timeout)", "板块行情客户端 - Python 绑定", """
        set_server (ip, port) 更新服务器
        set_timeout (timeout) 更新超时
        get_block_bars (category, code, start=0, count=0) 获取板块 K 线数据
        get_block_bars_default (category, code) 获取板块 K 线 (默认条数)
        get_block_quotes (codes) 获取板块实时行情
        get_block_list (block_file) 从服务器下载并解析板块文件
        get_industry_blocks () 获取行业板块列表 (block_fg.dat)
        get_concept_blocks () 获取概念板块列表 (block_gn.dat)
        get_index_blocks () 获取指数成分列表 (block_zs.dat)"""),
}
STATIC = {"with_pool_size", "is_fund", "classify_fund", "auto_market_code"}


def test_module_start_up():
    assert qi.__all__ == quotix.__all__ == list(SURFACE)
    names = [k for k in vars(qi) if not (k.startswith("__") and k.endswith("__"))]
    assert names == list(SURFACE) + [k for k, _ in CONSTANTS]  # nothing else, no function either
    assert qi.__doc__ == "quotix - 通达信行情数据解析库\n\n提供高性能的 TDX 二进制数据解析，支持 Python 调用。"
    for name, value in CONSTANTS:
        assert (getattr(qi, name), type(getattr(qi, name))) == (value, type(value)), name
    old = sys.modules.pop("quotix._internal")
    try:  # a second import makes a new module over the same classes
        new = importlib.import_module("quotix._internal")
        assert new is not old and new.__all__ == old.__all__ and new.TdxHqClient is old.TdxHqClient
    finally:
        sys.modules["quotix._internal"] = old


def methods(table):
    rows = []
    for line in table.strip().splitlines():
        mark, *names = line.split()
        if mark in ("=", "~"):
            hq = {row[0]: row for row in methods(SURFACE["TdxHqClient"][2])}
            rows += [hq[name][:2] + (hq[name][2] if mark == "=" else "",) for name in names]
        else:
            rows.append(re.match(r"(\w+) (\(.*?\)) ?(.*)", line.strip()).groups())
    return rows


@pytest.mark.parametrize("name", list(SURFACE))
def test_class_surface(name):
    cls = getattr(qi, name)
    sig, doc, table = SURFACE[name]
    assert (cls.__qualname__, cls.__module__, cls.__text_signature__, cls.__doc__.split("\n")[0]) == \
        (name, "quotix._internal", sig, doc)
    rows = methods(table)
    assert [k for k in vars(cls) if not k.startswith("_")] == [r[0] for r in rows]
    for method, sig, doc in rows:
        m = getattr(cls, method)
        want = sig if method in STATIC else "(self, /" + (", " + sig[1:] if sig != "()" else ")")
        assert (str(inspect.signature(m)), (m.__doc__ or "").split("\n")[0]) == (want, doc), method
    with pytest.raises(TypeError):
        cls(1, 2, 3, 4)
    with pytest.raises(TypeError, match=r"takes no arguments|'bogus' is an invalid|missing required argument 'ip'"):
        cls(bogus=1)


def test_start_up_in_a_fresh_interpreter(tmp_path):
    # The import starts no thread, opens no socket and needs no pandas; the log level (warnings by
    # default) comes from the environment.
    (tmp_path / ".quotix").mkdir()
    (tmp_path / ".quotix" / "server_cache.json").write_text("{")  # a warning when the smart client reads it
    err = run_python("""
        import os, sys
        def counts():
            fds = [f"/proc/self/fd/{fd}" for fd in os.listdir("/proc/self/fd")]
            socks = sum(os.readlink(fd).startswith("socket:") for fd in fds if os.path.lexists(fd))
            return len(os.listdir("/proc/self/task")), socks
        before = counts()
        sys.modules["pandas"] = None   # any import of pandas would now fail
        import quotix._internal as qi
        qi.TdxHqClient().block_server("192.0.2.7", 7709)  # an informational line
        assert counts() == before, (before, counts())
        qi.TdxSmartClient()
    """, QUOTIX_LOG="Info", HOME=str(tmp_path), USERPROFILE=None)
    info, warn = err.splitlines()
    assert info.startswith("[I] hq  server 192.0.2.7:7709 added to blacklist")
    assert warn.startswith("[W] cache  failed to parse cache: ")


# Calls refused before anything is sent: (client kind, call, exception, message pattern).
REFUSED = [
    # Binding, worded as CPython words it.
    ("hq", lambda c: c.connect(), TypeError, r"^connect\(\) missing required argument 'ip' \(pos 1\)$"),
    ("hq", lambda c: c.connect("127.0.0.1", 1, 1.0, 4), TypeError,
     r"^connect\(\) takes at most 3 arguments \(4 given\)$"),
    ("hq", lambda c: c.set_rate_limit(rps=1, other=2), TypeError, r"takes at most 1 keyword argument \(2 given\)"),
    ("hq", lambda c: c.connect("127.0.0.1", ip="127.0.0.1"), TypeError,
     r"^argument for connect\(\) given by name \('ip'\) and position \(1\)$"),
    ("hq", lambda c: c.connect_to_any(bogus=1), TypeError,
     r"^'bogus' is an invalid keyword argument for connect_to_any\(\)$"),
    ("hq", lambda c: c.set_rate_limit(rate=1), TypeError,  # a missing argument is named before an unknown one
     r"^set_rate_limit\(\) missing required argument 'rps' \(pos 1\)$"),
    # Conversions name the parameter; integers are checked against their width.
    ("hq", lambda c: c.connect(b"127.0.0.1", 7709), TypeError, "'ip'"),
    ("hq", lambda c: c.block_server("192.0.2.1", 7709.0), TypeError, "'port'"),
    ("hq", lambda c: c.block_server("192.0.2.1", 65536), OverflowError, "'port'"),
    ("hq", lambda c: c.set_cache_ttl(-1), OverflowError, "'ttl_secs'"),
    ("hq", lambda c: c.set_auto_retry(1), TypeError, "'enabled'"),
    *[("hq", lambda c, v=v: c.set_connect_timeout(v), ValueError, "'timeout'") for v in (-0.001, math.nan, math.inf)],
    ("hq", lambda c: c.probe_servers("3"), TypeError, "'timeout'"),
    ("hq", lambda c: c.set_fq_context_tier("medium"), ValueError,
     r"^Invalid tier 'medium'\. Use 'low', 'mid', or 'high'\.$"),
    ("hq", lambda c: c.set_fq_context_tier("low\udcff"), ValueError, r"^Invalid tier 'low\udcff'\. Use "),
    ("hq", lambda c: c.set_connect_timeout(10 ** 400), OverflowError, "'timeout'"),
    ("hq", lambda c: c.set_servers([["a", "192.0.2.1", 7709]]), TypeError, "'servers'"),
    ("hq", lambda c: c.reorder_servers([("a", "192.0.2.1", 7709, 1.5)]), ValueError,
     "^expected tuple of length 3, but got tuple of length 4$"),
    ("hq", lambda c: c.get_index_bars_dataframe(4, 1, "000001", 65536), ValueError,
     r"^\[E1003\] argument out of range: start=65536$"),  # 16 bits on the wire: refused, not wrapped
    ("hq", lambda c: c.calc_fq_factors(1, "880001"), ValueError,
     r"^\[E1101\] block code \(88xxxx\) not allowed in general client, use TdxBlockClient: code=880001$"),
    ("direct", lambda c: qi.TdxDirectClient("127.0.0.1", 7709, "5"), TypeError, "'timeout'"),
    ("direct", lambda c: qi.TdxDirectClient("127.0.0.1", 7709, math.nan), ValueError, "finite, non-negative"),
    ("direct", lambda c: c.set_timeout(-1.0), ValueError, "finite, non-negative"),
    ("direct", lambda c: c.get_security_bars(4, 1, "88éé"), ValueError, r"^\[E1101\] .*code=88éé$"),
    ("async", lambda c: c.get_security_bars(4, 1, 600519), TypeError, "^argument 'code': "),
    ("async", lambda c: c.get_security_bars(4, 1, "600000", 0, 65536), OverflowError,
     "^out of range integral type conversion attempted$"),
    ("async", lambda c: c.get_security_bars(4, 300, 1), OverflowError, None),  # the first bad argument wins
    ("async", lambda c: c.get_security_bars_tuples(4, 1, "600000", 65536), ValueError, r"^\[E1003\] "),
    ("async", lambda c: c.get_security_quotes({(1, "600000")}), TypeError, "^argument 'all_stock': "),
    ("async", lambda c: c.get_finance_info_dataframe([(0, "000001", 1)]), ValueError,
     "^expected tuple of length 2, but got tuple of length 3$"),
    ("async", lambda c: c.connect("127.0.0.1", 1, math.inf), ValueError, "timeout"),
    ("async", lambda c: c.connect_to_any(-1.0), ValueError, "timeout"),
    ("async", lambda c: qi.AsyncTdxHqClient.with_pool_size(-1), OverflowError, None),
    ("smart", lambda c: c.get_security_quotes([(1, "600000"), (1, "880001")]), RuntimeError, r"^\[E1101\] "),
    ("smart", lambda c: c.get_security_quotes([(256, "600000")]), OverflowError, "all_stock"),
    ("smart", lambda c: c.connect_to_any(math.nan), ValueError, "timeout"),
    ("fund", lambda c: c.get_fund_bars(4, 1, "600519"), ValueError,
     r"^\[E1103\] fund code not supported in this context: Invalid fund code: 1:600519 is not a fund$"),
    ("fund", lambda c: c.get_fund_history_transaction_data(0, "510300", 0, 10, 20240628), ValueError, r"^\[E1103\] "),
    ("fund", lambda c: c.get_fund_quotes([(1, "510300")] * 60 + [(1, "600000")]), ValueError,
     r"^\[E1004\] invalid format: Invalid fund code: 1:600000 is not a fund$"),
    ("fund", lambda c: c.get_fund_bars(4, 1, "510300", 65536), ValueError, r"^\[E1003\] "),
    ("fund", lambda c: c.is_fund(256, "510300"), OverflowError, "market"),
    ("block", lambda c: c.get_block_bars_default(8, "880001"), ValueError,
     r"^Invalid data: category=8 \(1min/扩展1min\) is not allowed for block queries$"),
    ("block", lambda c: c.get_block_bars(4, "880001", 65536), ValueError, r"^\[E1003\] "),
    ("block", lambda c: c.get_block_quotes([(1, "880001")]), TypeError, "'codes'"),
    # Each method's own checks.
    ("hq", lambda c: c.set_cache_ttl(2 ** 64), OverflowError, "'ttl_secs'"),
    ("hq", lambda c: c.connect("127.0.0.1", 1, -1.0), ValueError, "finite, non-negative"),
    ("hq", lambda c: c.probe_servers(-1.0), ValueError, "finite, non-negative"),  # before any server is dialled
    ("smart", lambda c: c.probe_and_cache(math.inf), ValueError, "finite, non-negative"),
    ("direct", lambda c: c.get_index_bars(4, 1, "880001"), ValueError, r"^\[E1101\] .*code=880001$"),
    ("direct", lambda c: c.get_security_quotes([(1, "600000")] * 60 + [(1, "880002")]), ValueError,
     r"^\[E1101\] .*code=880002$"),  # also past the 60 that would be sent
    *[("fund", call, ValueError, rf"^\[E1103\] .*: Invalid fund code: {where} is not a fund$") for call, where in [
        (lambda c: c.get_fund_bars_all(4, 1, "600519"), "1:600519"),
        (lambda c: c.get_fund_minute_time_data(1, "159915"), "1:159915"),
        (lambda c: c.get_fund_xdxr_info(0, "510300"), "0:510300"),
        (lambda c: c.get_fund_history_minute_time_data(2, "510300", 20240628), "2:510300"),
        (lambda c: c.get_fund_transaction_data(0, "000001"), "0:000001")]],
    ("block", lambda c: c.get_block_bars(7, "880001", 0, 10), ValueError, r"^Invalid data: category=7 "),
    ("block", lambda c: c.get_block_quotes("880001"), TypeError,
     r"^get_block_quotes\(\) argument 'codes' must be a list or tuple of str, not str$"),
    ("block", lambda c: c.get_block_quotes(iter(["880001"])), TypeError, "not list_iterator$"),
    ("block", lambda c: c.get_block_quotes(type("Unreadable", (), {"__len__": lambda s: 1,
                                                                    "__getitem__": lambda s, i: 1 / 0})()),
     ZeroDivisionError, None),  # the sequence's own error
]


# Failures of the exchange, each under one fault on the mock: (client kind, call, exception, message
# pattern, fault). Only connection failures are ConnectionError (an OSError); coded errors are ValueError alone.
FAILED = [
    ("hq", lambda c: c.get_security_list(0), ConnectionError, "^Server disconnected$", ("close", "list")),
    ("hq", lambda c: c.get_security_count(0), ValueError, "^Server disconnected$", ("close", "count")),
    ("direct", lambda c: c.get_finance_info(1, "600000"), ConnectionError, "^Server disconnected$",
     ("close", "finance")),
    ("direct", lambda c: c.get_security_count(1), ValueError, "^Server disconnected$", ("close", "count")),
    ("direct", lambda c: c.get_history_minute_time_data(1, "600000", 20240628), ValueError,
     r"^\[E2003\] server disconnected: empty response body$", ("zero_body", "minute")),
    ("block", lambda c: c.get_block_bars(4, "880001"), ValueError, "^Server disconnected$", ("close", "bars")),
    ("fund", lambda c: c.get_fund_finance_info(0, "159915"), ValueError,
     r"^\[E2103\] response length mismatch: body too short for finance info$", ("body", "finance")),
    ("async", lambda c: c.get_security_bars(4, 0, "000001", 0, 30, 1), ValueError,
     r"^\[E2103\] response length mismatch: body too short$", ("body", "xdxr")),  # never unadjusted prices
    ("smart", lambda c: c.get_security_bars(4, 1, "600000", 0, 10, 0), RuntimeError,
     r"^\[E2103\] response length mismatch: body too short$", ("body", "bars")),
    # Every query passes its failure on (a reply cut short, or a body too short for its records).
    *[("hq", call, ConnectionError, "^Server disconnected$", ("close", cmd)) for call, cmd in [
        (lambda c: c.get_security_bars_tuples(4, 1, "600000", 0, 10, 0), "bars"),
        (lambda c: c.get_index_bars_dataframe(4, 1, "000001", 0, 10), "bars"),
        (lambda c: c.get_security_bars_all(4, 1, "600000", 10, 0), "bars"),
        (lambda c: c.get_index_bars_all(4, 1, "000001", 10), "bars"),
        (lambda c: c.get_security_quotes_dataframe([(1, "600000")]), "quotes"),
        (lambda c: c.get_minute_time_data(1, "600000"), "minute"),
        (lambda c: c.get_history_minute_time_data(1, "600000", 20240628), "minute"),
        (lambda c: c.get_transaction_data(1, "600000", 0, 10), "ticks"),
        (lambda c: c.get_history_transaction_data(1, "600000", 0, 10, 20240628), "history_ticks"),
        (lambda c: c.get_finance_info(1, "600000"), "finance"),
        (lambda c: c.get_xdxr_info(1, "600000"), "xdxr"),
        (lambda c: c.get_and_parse_block_info("block.dat"), "block_meta")]],
    *[("direct", call, ConnectionError, "^Server disconnected$", ("close", cmd)) for call, cmd in [
        (lambda c: c.get_security_list(1), "list"),
        (lambda c: c.get_transaction_data(1, "600000", 0, 10), "ticks"),
        (lambda c: c.get_history_transaction_data(1, "600000", 0, 10, 20240628), "history_ticks")]],
    ("direct", lambda c: c.get_security_count(1), ValueError,
     r"^\[E2103\] response length mismatch: body too short for count$", ("body", "count")),
    *[("fund", call, ValueError, r"^\[E2103\] response length mismatch: ", ("body", cmd)) for call, cmd in [
        (lambda c: c.get_fund_list(1), "list"),
        (lambda c: c.get_fund_bars_all(4, 1, "510300", 10), "bars"),
        (lambda c: c.get_fund_quotes([(1, "510300")]), "quotes"),
        (lambda c: c.get_fund_transaction_data(1, "510300", 0, 10), "ticks"),
        (lambda c: c.get_fund_history_transaction_data(1, "510300", 0, 10, 20240628), "history_ticks"),
        (lambda c: c.get_fund_xdxr_info(1, "510300"), "xdxr")]],
    # A lost connection is a ValueError in the fund class, once the core's retries are spent.
    ("fund", lambda c: c.get_fund_minute_time_data(1, "510300"), ValueError,
     r"^\[E2005\] retry exhausted: 5 attempts$", ("close", "minute", {"skip": 0})),
]


@pytest.mark.parametrize("kind, call, exc, text, fault", [(*r, None) for r in REFUSED] + FAILED)
def test_errors_map_to_python_exceptions(client, mock, kind, call, exc, text, fault):
    c = client(kind)
    if fault:
        getattr(c, "set_auto_retry", lambda on: None)(False)
        mock.set_fault(fault[0], cmd=fault[1], **({"hex": "01"} if fault[0] == "body" else {}),
                       **(fault[2] if len(fault) > 2 else {"nth": 1}))
    with pytest.raises(exc, match=text) as e:
        call(c)
    assert type(e.value) is exc
    if not fault:  # refused before anything is sent
        assert [mock.counters()[k] for k in ("accepted", "requests_total")] == [0, 0]
    elif kind != "smart":  # the object stays usable (the smart client has moved off the server)
        mock.call("reset")
        call(c)


# A value every parameter of that name accepts.
VALID = {"category": 4, "market": 1, "code": "600000", "start": 0, "count": 1, "fq": 0, "date": 20240628,
         "ip": "127.0.0.1", "port": 7709, "timeout": 1.0, "timeout_secs": 1.0, "all_stock": [(1, "600000")],
         "stocks": [(1, "510300")], "block_file": "block.dat", "enabled": True, "ttl_secs": 1, "rps": 1,
         "servers": [("a", "192.0.2.1", 7709)], "name": "a", "tier": "low", "codes": ["880001"]}


@pytest.mark.parametrize("kind", ["hq", "smart", "fund", "direct", "block"])
def test_arguments_are_converted_in_order_and_named(client, mock, kind):
    # Each parameter in turn is the one bad argument among good ones; one argument too many is
    # refused whole. Nothing reaches the server either way.
    c = client(kind)
    calls = [(type(c).__name__, type(c))] + [(n, getattr(c, n)) for n in vars(type(c)) if not n.startswith("_")]
    for name, f in calls:
        params = [p for p in inspect.signature(f).parameters if p != "self"]
        good = [VALID[p] for p in params]
        for k, p in enumerate(params):
            with pytest.raises(TypeError, match=f"'{p}'"):
                f(*good[:k], object(), *good[k + 1:])
        with pytest.raises(TypeError, match=r"at most|takes no"):
            f(*good, None)
        if f is type(c):  # the constructor takes its arguments by keyword too
            assert type(f(**dict(zip(params, good)))) is f
    assert [mock.counters()[k] for k in ("accepted", "requests_total")] == [0, 0]


def only_user_server(port):
    """A pooled client that may dial only 127.0.0.1:port: every built-in server is blocked."""
    c = qi.TdxHqClient()
    for ip, p in BUILTIN:
        c.block_server(ip, p)
    c.set_servers([("user", "127.0.0.1", port)])
    return c


@pytest.mark.parametrize("make, exc, text", [
    (lambda p: qi.TdxHqClient().connect("127.0.0.1", p), ConnectionError,
     r"^Connection error: Failed to connect to 127\.0\.0\.1:{port}: "),
    (lambda p: qi.TdxHqFundClient().connect("127.0.0.1", p, 0.5), ConnectionError, "^Connection error: "),
    (lambda p: qi.AsyncTdxHqClient.with_pool_size(1).connect("127.0.0.1", p, 1.0), ConnectionError,
     r"^Connection error: connect 127\.0\.0\.1:{port}: "),
    (lambda p: qi.TdxDirectClient("127.0.0.1", p, 1.0).get_security_count(1), ValueError, "^Connection error: "),
    (lambda p: qi.TdxBlockClient("127.0.0.1", p, 1.0).get_index_blocks(), ValueError, "^Connection error: "),
    (lambda p: qi.TdxSmartClient().connect_to_any(1.0), ConnectionError,
     r"^\[E2001\] connection failed: all servers unreachable$"),
    (lambda p: only_user_server(p).connect_to_any(1.0), ValueError,
     r"^\[E2001\] connection failed: all servers unreachable$"),
    (lambda p: qi.TdxDirectClient("127.0.0.1").get_xdxr_info(1, "600000"), ConnectionError,
     r"^Connection error: Failed to connect to 127\.0\.0\.1:7709: "),  # the default port, nobody there
])
def test_unreachable_server(home, make, exc, text):
    with socket.socket() as s:  # a loopback port with no listener
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    write_cache(home, ("127.0.0.1", port))
    with pytest.raises(exc, match=text.format(port=port)) as e:
        make(port)
    assert type(e.value) is exc
