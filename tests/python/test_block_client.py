"""TdxBlockClient: category and count limits of sector K-lines, sector quotes, block files and
its one exception class. All against the loopback mock server or a closed loopback port."""

import inspect
import math
import os
import socket
import subprocess
import sys
import tempfile
import textwrap

import pytest

import dataset
from quotix._internal import (BLOCK_FG, BLOCK_GN, BLOCK_SZ, KLINE_1MIN, KLINE_EXHQ_1MIN,
                              TdxBlockClient)

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


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def client(mock_server):
    host, port = mock_server.address()
    return TdxBlockClient(host, port, 2.0)


def bar_request(mock):
    a = mock.request_log(cmd="bars")[-1]["args"]
    return a["market"], a["code"], a["category"], a["start"], a["count"], a["fq"]


class TestClass:
    def test_signature_and_docstring(self):
        assert str(inspect.signature(TdxBlockClient)) == "(ip, port, timeout)"
        doc = TdxBlockClient.__doc__
        assert doc.startswith("板块行情客户端 - Python 绑定")
        assert "内置板块查询限制 (1min 禁用，分钟级默认 50 条)。" in doc
        assert doc.rstrip().endswith("```")
        assert '"880001", "880002"' in doc and "7709, 5.0" in doc

    def test_methods_in_table_order(self):
        own = [n for n, v in vars(TdxBlockClient).items() if inspect.ismethoddescriptor(v)]
        assert own == [m[0] for m in METHODS]

    @pytest.mark.parametrize("name,sig,doc", METHODS)
    def test_method_signature_and_doc(self, name, sig, doc):
        m = getattr(TdxBlockClient, name)
        assert str(inspect.signature(m)) == ("(self, /, " + sig[1:] if sig != "()" else "(self, /)")
        assert m.__doc__.split("\n")[0] == doc

    def test_every_constructor_argument_is_required(self, mock_server):
        with pytest.raises(TypeError, match="missing required argument 'timeout'"):
            TdxBlockClient("127.0.0.1", 7709)
        with pytest.raises(TypeError, match="missing required argument 'port'"):
            TdxBlockClient("127.0.0.1", timeout=1.0)
        c = TdxBlockClient(ip="127.0.0.1", port=mock_server.port, timeout=1)
        assert mock_server.counters()["total"]["accepted"] == 0
        assert len(c.get_block_bars(4, "880001", 0, 1)) == 1

    @pytest.mark.parametrize("args,exc", [
        ((1, 7709, 1.0), TypeError),
        (("127.0.0.1", 65536, 1.0), OverflowError),
        (("127.0.0.1", 7709, "1"), TypeError),
        (("127.0.0.1", 7709, -1.0), ValueError),
        (("127.0.0.1", 7709, math.nan), ValueError),
        (("127.0.0.1", 7709, math.inf), ValueError),
    ])
    def test_constructor_argument_errors(self, args, exc):
        with pytest.raises(exc):
            TdxBlockClient(*args)


class TestSettings:
    def test_set_server_moves_later_requests(self, mock_server_factory):
        mock = mock_server_factory(servers=2)
        c = TdxBlockClient("127.0.0.1", mock.ports[0], 2.0)
        c.get_block_quotes(["880001"])
        assert c.set_server("127.0.0.1", mock.ports[1]) is None
        c.get_block_quotes(["880001"])
        assert (mock.requests("quotes", server=0), mock.requests("quotes", server=1)) == (1, 1)

    def test_set_timeout(self, client, mock_server):
        assert client.set_timeout(0.0) is None
        with pytest.raises(ValueError, match="^Connection error: "):
            client.get_block_bars(4, "880001")
        with pytest.raises(ValueError, match="finite, non-negative"):
            client.set_timeout(-2)
        client.set_timeout(1)
        assert len(client.get_block_bars(4, "880001")) == 100


class TestBlockBars:
    @pytest.mark.parametrize("category,count,sent", [
        (4, 0, 100), (0, 0, 50), (1, 0, 50), (2, 0, 50), (3, 0, 200), (5, 0, 100),
        (0, 500, 200), (2, 201, 200), (3, 1000, 800), (4, 65535, 800), (4, 300, 300),
        (11, 0, 100), (12, 0, 100), (255, 900, 800),
    ])
    def test_effective_count(self, client, mock_server, category, count, sent):
        client.get_block_bars(category, "880001", 0, count)
        assert bar_request(mock_server) == (1, "880001", category, 0, sent, 0)

    def test_defaults_and_the_default_shortcut(self, client, mock_server):
        a = client.get_block_bars(5, "880001")
        b = client.get_block_bars_default(5, "880001")
        c = client.get_block_bars(5, "880001", 0, 0)
        assert a == b == c
        assert [e["args"]["count"] for e in mock_server.request_log(cmd="bars")] == [100] * 3

    @pytest.mark.parametrize("category", [KLINE_EXHQ_1MIN, KLINE_1MIN])
    def test_one_minute_categories_are_refused_without_contact(self, client, mock_server, category):
        for call in (lambda: client.get_block_bars(category, "880001"),
                     lambda: client.get_block_bars_default(category, "880001")):
            with pytest.raises(ValueError) as e:
                call()
            assert str(e.value) == (f"Invalid data: category={category} (1min/扩展1min) is not "
                                    "allowed for block queries")
        assert mock_server.counters()["total"]["accepted"] == 0

    def test_bar_dict(self, client):
        bars = client.get_block_bars(4, "880001", 0, 3)
        assert list(bars[0]) == BAR_KEYS
        want = dataset.expected_bars(1, "880001", 4, 0, 3)
        assert bars == [{k: w[k] for k in BAR_KEYS} for w in want]

    def test_intraday_dates(self, client):
        bars = client.get_block_bars(3, "880001", 0, 2)
        assert [b["datetime"] for b in bars] == ["2024-06-28 14:00", "2024-06-28 15:00"]

    def test_any_code_goes_to_market_1(self, client, mock_server):
        # Not refused; read with the index-bar layout like any block reply.
        client.get_block_bars(4, "600519", 0, 2)
        assert bar_request(mock_server)[:2] == (1, "600519")
        client.get_block_bars(4, "8800011", 0, 2)
        assert mock_server.request_log(cmd="bars")[-1]["args"]["code_hex"] == "383830303031"

    def test_empty_reply(self, client):
        assert client.get_block_bars(4, "999999") == []

    def test_start(self, client, mock_server):
        client.get_block_bars(4, "880001", 65535, 10)
        assert bar_request(mock_server)[3] == 65535
        # A start the request cannot hold is refused rather than wrapped to 0, which would
        # quietly return the newest bars instead.
        with pytest.raises(ValueError, match=r"^\[E1003\] argument out of range: start=65536$"):
            client.get_block_bars(4, "880001", 65536, 10)
        assert mock_server.requests("bars") == 1

    @pytest.mark.parametrize("args,exc,name", [
        ((256, "880001"), OverflowError, "category"),
        ((4, 880001), TypeError, "code"),
        ((4, "880001", -1), OverflowError, "start"),
        ((4, "880001", 0, 65536), OverflowError, "count"),
    ])
    def test_argument_errors(self, client, mock_server, args, exc, name):
        with pytest.raises(exc, match=f"'{name}'"):
            client.get_block_bars(*args)
        assert mock_server.counters()["total"]["accepted"] == 0


class TestBlockQuotes:
    def test_quotes_on_market_1(self, client, mock_server):
        quotes = client.get_block_quotes(["880001", "880002"])
        assert mock_server.request_log(cmd="quotes")[-1]["args"]["pairs"] == [
            [1, "880001"], [1, "880002"]]
        assert [list(q) for q in quotes] == [QUOTE_KEYS, QUOTE_KEYS]
        # P = 1000 + n mod 1000 hundredths: 880001 -> 10.01.
        q = quotes[0]
        assert (q["market"], q["code"], q["price"], q["vol"], q["amount"]) == (
            1, "880001", 10.01, 100001.0, 100001000.0)
        assert q["last_close"] == pytest.approx(9.91)
        assert q["low"] == pytest.approx(9.71)

    def test_tuple_and_empty_list(self, client, mock_server):
        assert len(client.get_block_quotes(("880001",))) == 1
        assert client.get_block_quotes([]) == []
        assert mock_server.request_log(cmd="quotes")[-1]["args"]["n"] == 0

    def test_more_than_sixty_codes(self, client, mock_server):
        codes = [f"88{i:04d}" for i in range(61)]
        quotes = client.get_block_quotes(codes)
        assert [q["code"] for q in quotes] == codes[:60]
        assert mock_server.request_log(cmd="quotes")[-1]["args"]["n"] == 60

    def test_truncation_warning(self, mock_server):
        env = dict(os.environ, QUOTIX_LOG="warn")
        src = textwrap.dedent(f"""
            import quotix._internal as qi
            c = qi.TdxBlockClient("127.0.0.1", {mock_server.port}, 2.0)
            c.get_block_quotes(["880001"] * 61)
        """)
        r = subprocess.run([sys.executable, "-c", src], env=env, cwd=tempfile.gettempdir(),
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        assert r.stderr == "[W] direct  批量行情查询超过上限 61/60，自动截断。请自行分组调用。\n"

    @pytest.mark.parametrize("arg", ["880001", [880001], ["880001", None], [(1, "880001")], 5])
    def test_codes_must_be_a_sequence_of_str(self, client, mock_server, arg):
        with pytest.raises(TypeError, match="'codes'"):
            client.get_block_quotes(arg)
        assert mock_server.counters()["total"]["accepted"] == 0


class TestBlockFiles:
    @pytest.mark.parametrize("method,file", [
        ("get_index_blocks", BLOCK_SZ), ("get_concept_blocks", BLOCK_GN),
        ("get_industry_blocks", BLOCK_FG)])
    def test_shortcuts_download_their_file(self, client, mock_server, method, file):
        rows = getattr(client, method)()
        assert mock_server.request_log(cmd="block_meta")[-1]["args"]["file"] == file
        assert rows == client.get_block_list(file)

    def test_rows(self, client):
        rows = client.get_block_list("block_fg.dat")
        assert list(rows[0]) == ["blockname", "block_type", "code_index", "code"]
        assert [(r["blockname"], r["code_index"], r["code"]) for r in rows] == [
            ("银行", 0, "600000"), ("银行", 1, "600036"), ("银行", 2, "000001"),
            ("地产", 0, "000002"), ("白酒", 0, "600519"),
            ("证券", 0, "600100"), ("证券", 1, "600101"), ("保险", 0, "600102")]
        assert {r["block_type"] for r in rows} == {2}

    def test_block_dat_comes_in_two_chunks(self, client, mock_server):
        rows = client.get_block_list(block_file="block.dat")
        assert len(rows) == 24 and rows[0]["blockname"] == "自选01"
        assert mock_server.requests("block_chunk") == 2


class TestErrors:
    def test_unreachable_server_is_value_error_for_every_method(self):
        c = TdxBlockClient("127.0.0.1", closed_port(), 1.0)
        calls = [lambda: c.get_block_bars(4, "880001"), lambda: c.get_block_bars_default(4, "880001"),
                 lambda: c.get_block_quotes(["880001"]), lambda: c.get_block_list("block.dat"),
                 c.get_industry_blocks, c.get_concept_blocks, c.get_index_blocks]
        for call in calls:
            with pytest.raises(ValueError) as e:
                call()
            assert not isinstance(e.value, ConnectionError)
            assert str(e.value).startswith("Connection error: ")

    def test_peer_hanging_up_is_value_error(self, client, mock_server):
        mock_server.set_fault("close", cmd="bars", nth=1)
        with pytest.raises(ValueError, match="^Server disconnected$"):
            client.get_block_bars(4, "880001")
        # The object stays usable.
        assert len(client.get_block_bars(4, "880001")) == 100

    def test_reply_errors_are_value_errors(self, client, mock_server):
        mock_server.set_fault("corrupt_zlib", cmd="quotes", nth=1)
        with pytest.raises(ValueError, match=r"^\[E2102\] "):
            client.get_block_quotes(["880001"])
        mock_server.set_fault("cut_body", cmd="block_chunk", keep=-10, nth=1)
        with pytest.raises(ValueError, match=r"^\[E2103\] "):
            client.get_block_list("block_zs.dat")
