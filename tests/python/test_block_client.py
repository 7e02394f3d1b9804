"""TdxBlockClient: category and count limits of sector K-lines, sector quotes, block files and
how its errors reach Python. All against the loopback mock server or a closed loopback port."""

import inspect
import math

import pytest

import dataset
from quotix._internal import BLOCK_FG, BLOCK_GN, BLOCK_SZ, KLINE_1MIN, KLINE_EXHQ_1MIN, TdxBlockClient
from smart_helpers import closed_port, run_python

BAR_KEYS = ["datetime", "open", "high", "low", "close", "amount", "vol", "year", "month", "day",
            "hour", "minute", "up_count", "down_count"]
QUOTE_KEYS = ["market", "code", "price", "last_close", "open", "high", "low", "vol", "amount"]

METHODS = [
    ("set_server", "(ip, port)", "更新服务器"),
    ("set_timeout", "(timeout)", "更新超时"),
    ("get_block_bars", "(category, code, start=0, count=0)", "获取板块 K 线数据"),
    ("get_block_bars_default", "(category, code)", "获取板块 K 线 (默认条数)"),
    ("get_block_quotes", "(codes)", "获取板块实时行情"),
    ("get_block_list", "(block_file)", "从服务器下载并解析板块文件"),
    ("get_industry_blocks", "()", "获取行业板块列表 (block_fg.dat)"),
    ("get_concept_blocks", "()", "获取概念板块列表 (block_gn.dat)"),
    ("get_index_blocks", "()", "获取指数成分列表 (block_zs.dat)"),
]


@pytest.fixture
def client(mock):
    return TdxBlockClient(*mock.address(), 2.0)


def bar_request(mock):
    a = mock.request_log(cmd="bars")[-1]["args"]
    return a["market"], a["code"], a["category"], a["start"], a["count"], a["fq"]


def test_class_surface():
    assert str(inspect.signature(TdxBlockClient)) == "(ip, port, timeout)"
    doc = TdxBlockClient.__doc__
    assert doc.startswith("板块行情客户端 - Python 绑定") and doc.rstrip().endswith("```")
    assert "内置板块查询限制 (1min 禁用，分钟级默认 50 条)。" in doc
    assert '"880001", "880002"' in doc and "7709, 5.0" in doc
    assert [n for n, v in vars(TdxBlockClient).items() if inspect.ismethoddescriptor(v)] == [m[0] for m in METHODS]
    for name, sig, doc in METHODS:
        m = getattr(TdxBlockClient, name)
        assert str(inspect.signature(m)) == ("(self, /, " + sig[1:] if sig != "()" else "(self, /)")
        assert m.__doc__.split("\n")[0] == doc


@pytest.mark.parametrize("args, kwargs, exc", [
    (("127.0.0.1", 7709), {}, TypeError), (("127.0.0.1",), {"timeout": 1.0}, TypeError),
    ((1, 7709, 1.0), {}, TypeError), (("127.0.0.1", 65536, 1.0), {}, OverflowError),
    (("127.0.0.1", 7709, "1"), {}, TypeError), (("127.0.0.1", 7709, -1.0), {}, ValueError),
    (("127.0.0.1", 7709, math.nan), {}, ValueError), (("127.0.0.1", 7709, math.inf), {}, ValueError),
])
def test_constructor_argument_errors(args, kwargs, exc):
    with pytest.raises(exc):
        TdxBlockClient(*args, **kwargs)


def test_construction_and_settings(mock):
    c = TdxBlockClient(ip="127.0.0.1", port=mock.ports[0], timeout=1)
    assert mock.counters()["total"]["accepted"] == 0
    c.get_block_quotes(["880001"])
    assert c.set_server("127.0.0.1", mock.ports[1]) is None
    c.get_block_quotes(["880001"])
    assert (mock.requests("quotes", server=0), mock.requests("quotes", server=1)) == (1, 1)
    assert c.set_timeout(0.0) is None
    with pytest.raises(ValueError, match="^Connection error: "):
        c.get_block_bars(4, "880001")
    with pytest.raises(ValueError, match="finite, non-negative"):
        c.set_timeout(-2)
    c.set_timeout(1)
    assert len(c.get_block_bars(4, "880001")) == 100


# The whole limit table is checked in the core's own tests.
@pytest.mark.parametrize("category,count,sent", [
    (4, 0, 100), (0, 0, 50), (3, 0, 200), (0, 500, 200), (3, 1000, 800), (4, 300, 300), (255, 900, 800),
])
def test_effective_count(client, mock, category, count, sent):
    client.get_block_bars(category, "880001", 0, count)
    assert bar_request(mock) == (1, "880001", category, 0, sent, 0)


def test_bars(client, mock):
    bars = client.get_block_bars(4, "880001", 0, 3)
    assert list(bars[0]) == BAR_KEYS
    assert bars == [{k: w[k] for k in BAR_KEYS} for w in dataset.expected_bars(1, "880001", 4, 0, 3)]
    assert ([b["datetime"] for b in client.get_block_bars(3, "880001", 0, 2)]
            == ["2024-06-28 14:00", "2024-06-28 15:00"])
    mock.reset()
    assert client.get_block_bars(5, "880001") == client.get_block_bars_default(5, "880001") \
        == client.get_block_bars(5, "880001", 0, 0)
    assert [e["args"]["count"] for e in mock.request_log(cmd="bars")] == [100] * 3
    # Any code goes to market 1, read with the index-bar layout.
    client.get_block_bars(4, "600519", 0, 2)
    assert bar_request(mock)[:2] == (1, "600519")
    client.get_block_bars(4, "8800011", 0, 2)
    assert mock.request_log(cmd="bars")[-1]["args"]["code_hex"] == "383830303031"
    assert client.get_block_bars(4, "999999") == []
    client.get_block_bars(4, "880001", 65535, 10)
    assert bar_request(mock)[3] == 65535


@pytest.mark.parametrize("call, exc, text", [
    *[(lambda c, k=k, f=f: f(c, k), ValueError,
       f"^Invalid data: category={k} \\(1min/扩展1min\\) is not allowed for block queries$")
      for k in (KLINE_EXHQ_1MIN, KLINE_1MIN)
      for f in (lambda c, k: c.get_block_bars(k, "880001"), lambda c, k: c.get_block_bars_default(k, "880001"))],
    # Refused rather than wrapped to 0, which would quietly return the newest bars instead.
    (lambda c: c.get_block_bars(4, "880001", 65536, 10), ValueError, r"^\[E1003\] argument out of range: start=65536$"),
    (lambda c: c.get_block_bars(256, "880001"), OverflowError, "'category'"),
    (lambda c: c.get_block_bars(4, 880001), TypeError, "'code'"),
    (lambda c: c.get_block_bars(4, "880001", -1), OverflowError, "'start'"),
    (lambda c: c.get_block_bars(4, "880001", 0, 65536), OverflowError, "'count'"),
    *[(lambda c, a=a: c.get_block_quotes(a), TypeError, "'codes'")
      for a in ("880001", [880001], ["880001", None], [(1, "880001")], 5)],
])
def test_refused_without_contact(client, mock, call, exc, text):
    with pytest.raises(exc, match=text):
        call(client)
    assert mock.counters()["total"]["accepted"] == 0


def test_quotes(client, mock):
    quotes = client.get_block_quotes(["880001", "880002"])
    assert mock.request_log(cmd="quotes")[-1]["args"]["pairs"] == [[1, "880001"], [1, "880002"]]
    assert [list(q) for q in quotes] == [QUOTE_KEYS, QUOTE_KEYS]
    # P = 1000 + n mod 1000 hundredths: 880001 -> 10.01.
    q = quotes[0]
    assert [q[k] for k in ("market", "code", "price", "vol", "amount")] == [1, "880001", 10.01, 100001.0, 100001000.0]
    assert (q["last_close"], q["low"]) == (pytest.approx(9.91), pytest.approx(9.71))
    assert len(client.get_block_quotes(("880001",))) == 1
    assert client.get_block_quotes([]) == []
    assert mock.request_log(cmd="quotes")[-1]["args"]["n"] == 0
    codes = [f"88{i:04d}" for i in range(61)]
    assert [q["code"] for q in client.get_block_quotes(codes)] == codes[:60]
    assert mock.request_log(cmd="quotes")[-1]["args"]["n"] == 60


def test_truncation_warning(mock):
    err = run_python(f"""
        import quotix._internal as qi
        qi.TdxBlockClient("127.0.0.1", {mock.port}, 2.0).get_block_quotes(["880001"] * 61)
    """, QUOTIX_LOG="warn").stderr
    assert err == "[W] direct  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n"


def test_block_files(client, mock):
    for method, file in [("get_index_blocks", BLOCK_SZ), ("get_concept_blocks", BLOCK_GN),
                         ("get_industry_blocks", BLOCK_FG)]:
        rows = getattr(client, method)()
        assert mock.request_log(cmd="block_meta")[-1]["args"]["file"] == file
        assert rows == client.get_block_list(file)
    assert list(rows[0]) == ["blockname", "block_type", "code_index", "code"]
    assert [(r["blockname"], r["code_index"], r["code"]) for r in rows] == [
        ("银行", 0, "600000"), ("银行", 1, "600036"), ("银行", 2, "000001"),
        ("地产", 0, "000002"), ("白酒", 0, "600519"),
        ("证券", 0, "600100"), ("证券", 1, "600101"), ("保险", 0, "600102")]
    assert {r["block_type"] for r in rows} == {2}
    mock.reset()
    rows = client.get_block_list(block_file="block.dat")
    assert (len(rows), rows[0]["blockname"], mock.requests("block_chunk")) == (24, "自选01", 2)


def test_unreachable_server_is_value_error_for_every_method():
    c = TdxBlockClient("127.0.0.1", closed_port(), 1.0)
    for call in [lambda: c.get_block_bars(4, "880001"), lambda: c.get_block_bars_default(4, "880001"),
                 lambda: c.get_block_quotes(["880001"]), lambda: c.get_block_list("block.dat"),
                 c.get_industry_blocks, c.get_concept_blocks, c.get_index_blocks]:
        with pytest.raises(ValueError, match="^Connection error: ") as e:
            call()
        assert not isinstance(e.value, ConnectionError)


def test_reply_errors_are_value_errors(client, mock):
    mock.set_fault("close", cmd="bars", nth=1)
    with pytest.raises(ValueError, match="^Server disconnected$"):
        client.get_block_bars(4, "880001")
    assert len(client.get_block_bars(4, "880001")) == 100    # still usable
    mock.set_fault("corrupt_zlib", cmd="quotes", nth=1)
    with pytest.raises(ValueError, match=r"^\[E2102\] "):
        client.get_block_quotes(["880001"])
    mock.set_fault("cut_body", cmd="block_chunk", keep=-10, nth=1)
    with pytest.raises(ValueError, match=r"^\[E2103\] "):
        client.get_block_list("block_zs.dat")
