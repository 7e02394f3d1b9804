"""Importing quotix._internal: classes and their order, __all__, constants, re-import, and what
importing must not do (threads, sockets, pandas)."""

import importlib
import os
import subprocess
import sys
import tempfile
import textwrap

import pytest

import quotix
import quotix._internal as qi
from smart_helpers import run_python

CLASS_ORDER = ["DailyBarReader", "MinBarReader", "LcMinBarReader", "BlockReader", "FinancialReader", "TdxHqClient",
               "TdxDirectClient", "AsyncTdxHqClient", "TdxSmartClient", "TdxHqFundClient", "TdxBlockClient"]

# Every constant with its value, in the order start-up sets them.
CONSTANTS = [
    ("MARKET_SZ", 0), ("MARKET_SH", 1), ("MARKET_BJ", 2),
    ("KLINE_5MIN", 0), ("KLINE_15MIN", 1), ("KLINE_30MIN", 2), ("KLINE_1HOUR", 3),
    ("KLINE_DAILY", 4), ("KLINE_WEEKLY", 5), ("KLINE_MONTHLY", 6), ("KLINE_EXHQ_1MIN", 7),
    ("KLINE_1MIN", 8), ("KLINE_RI_K", 9), ("KLINE_3MONTH", 10), ("KLINE_YEARLY", 11),
    ("FQ_NONE", 0), ("FQ_QFQ", 1), ("FQ_HFQ", 2),
    ("MAX_KLINE_COUNT", 800), ("MAX_TRANSACTION_COUNT", 2000), ("DEFAULT_PORT", 7709),
    ("DEFAULT_POOL_SIZE", 5), ("FQ_PRICE_PRECISION", 3), ("PORT", 7709), ("POOL_SIZE", 5),
    ("BLOCK_SZ", "block_zs.dat"), ("BLOCK_FG", "block_fg.dat"), ("BLOCK_GN", "block_gn.dat"),
    ("BLOCK_DEFAULT", "block.dat"),
    ("ERR_EMPTY_ARGUMENT", 1001), ("ERR_ARGUMENT_TOO_LONG", 1002),
    ("ERR_ARGUMENT_OUT_OF_RANGE", 1003), ("ERR_INVALID_FORMAT", 1004),
    ("ERR_BLOCK_CODE_IN_GENERAL_CLIENT", 1101), ("ERR_BOND_CODE_NOT_SUPPORTED", 1102),
    ("ERR_FUND_CODE_NOT_SUPPORTED", 1103), ("ERR_UNKNOWN_CODE_FORMAT", 1104),
    ("ERR_RATE_LIMIT_EXCEEDED", 1201), ("ERR_RATE_LIMIT_DAILY_EXCEEDED", 1202),
    ("ERR_RATE_LIMIT_MINUTE_EXCEEDED", 1203), ("ERR_BLOCK_KLINE_CATEGORY_NOT_ALLOWED", 1204),
    ("ERR_BLOCK_KLINE_COUNT_EXCEEDED", 1205), ("ERR_BLOCK_MINUTE_DISABLED", 1206),
    ("ERR_BLOCK_TRADES_DISABLED", 1207),
    ("ERR_CONNECTION_FAILED", 2001), ("ERR_CONNECTION_TIMEOUT", 2002), ("ERR_DISCONNECTED", 2003),
    ("ERR_HANDSHAKE_FAILED", 2004), ("ERR_RETRY_EXHAUSTED", 2005), ("ERR_POOL_EXHAUSTED", 2006),
    ("ERR_INVALID_DATE", 3001), ("ERR_DATE_OUT_OF_RANGE", 3002), ("ERR_INVALID_STOCK_CODE", 3003),
    ("ERR_MISSING_FIELD", 3004), ("ERR_TYPE_MISMATCH", 3005),
    ("ERR_FILE_NOT_FOUND", 4001), ("ERR_INVALID_FILE_FORMAT", 4002), ("ERR_FILE_TOO_SMALL", 4003),
    ("ERR_FILE_READ_ERROR", 4004),
]

STANDARD_MODULE_ATTRS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_classes_all_and_constants_in_order():
    assert qi.__all__ == quotix.__all__ == CLASS_ORDER
    names = [k for k in vars(qi) if k not in STANDARD_MODULE_ATTRS and k != "__all__"]
    assert names == CLASS_ORDER + [name for name, _ in CONSTANTS]   # nothing else: no function either
    for name in CLASS_ORDER:
        cls = getattr(qi, name)
        assert isinstance(cls, type) and getattr(quotix, name) is cls
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "quotix._internal")
        assert cls.__text_signature__ is not None
    assert (qi.TdxHqClient.__doc__, qi.TdxHqClient.__text_signature__) == ("TDX 行情客户端 - Python 绑定", "()")
    assert qi.__doc__ == "quotix - 通达信行情数据解析库\n\n提供高性能的 TDX 二进制数据解析，支持 Python 调用。"
    for name, value in CONSTANTS:
        got = getattr(qi, name)
        assert (got, type(got)) == (value, type(value)), name
    # The response decoding codes (2101-2103) have no constant.
    assert len([n for n in dir(qi) if n.startswith("ERR_")]) == 30


def test_reimport_makes_a_new_module_with_the_same_classes():
    old = sys.modules.pop("quotix._internal")
    try:
        new = importlib.import_module("quotix._internal")
        assert new is not old and new.__all__ == CLASS_ORDER and new.__all__ is not old.__all__
        assert all(getattr(new, name) is getattr(old, name) for name in CLASS_ORDER)
        assert new.KLINE_YEARLY == 11
    finally:
        sys.modules["quotix._internal"] = old


def test_reimport_reads_the_log_level_again():
    # The level is process-wide: a later import overwrites it for existing clients too.
    r = run_python("""
        import importlib, os, sys
        os.environ["QUOTIX_LOG"] = "off"
        import quotix._internal as qi
        c = qi.TdxHqClient()
        c.block_server("192.0.2.1", 1)
        os.environ["QUOTIX_LOG"] = "info"
        sys.modules.pop("quotix._internal")
        importlib.import_module("quotix._internal")
        c.block_server("192.0.2.2", 2)
    """, QUOTIX_LOG=None)
    assert "192.0.2.1:1" not in r.stderr
    assert "[I] hq  server 192.0.2.2:2 added to blacklist" in r.stderr


def test_import_starts_no_thread_opens_no_socket_and_needs_no_pandas():
    r = run_python("""
        import os, sys
        def counts():
            fds = []
            for fd in os.listdir("/proc/self/fd"):
                try:
                    fds.append(os.readlink("/proc/self/fd/" + fd).startswith("socket:"))
                except OSError:
                    pass
            return len(os.listdir("/proc/self/task")), sum(fds)
        before = counts()
        import quotix._internal as qi
        print("pandas" in sys.modules)
        sys.modules["pandas"] = None   # any import of pandas would now fail
        qi.TdxHqClient()
        print(before == counts())
    """)
    assert r.stdout.split() == ["False", "True"]


# An informational line that needs no network: blocking a server logs it at level I.
LOG_PROBE = """
    import quotix._internal as qi
    qi.TdxHqClient().block_server("192.0.2.7", 7709)
"""
INFO_LINE = "[I] hq  server 192.0.2.7:7709 added to blacklist\n"


@pytest.mark.parametrize("value, shown", [
    (None, False),      # unset: warn
    ("info", True),
    ("DEBUG", True),    # lower-cased before matching
    ("Info", True),
    ("warn", False),
    ("error", False),
    ("off", False),
    (" info", False),   # no trimming: unrecognised, so warn
    ("verbose", False),
])
def test_level_from_environment(value, shown):
    r = run_python(LOG_PROBE, QUOTIX_LOG=value)
    assert r.stderr == (INFO_LINE if shown else "")


def test_value_that_is_not_unicode_counts_as_unset():
    env = {k.encode(): v.encode() for k, v in os.environ.items() if k != "QUOTIX_LOG"}
    env[b"QUOTIX_LOG"] = b"info\xff"
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(LOG_PROBE)], env=env,
                       cwd=tempfile.gettempdir(), capture_output=True, timeout=60)
    assert (r.returncode, r.stderr) == (0, b"")
