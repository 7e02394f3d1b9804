"""TdxDirectClient: signatures, construction, settings and how failures reach Python. Every
request goes to the loopback mock server or to a closed loopback port."""

import inspect
import math
import threading
import time

import pytest

import dataset
from quotix._internal import TdxDirectClient
from smart_helpers import closed_port

METHODS = [
    ("set_server", "(ip, port)", "更新服务器地址"),
    ("set_timeout", "(timeout)", "更新超时"),
    ("get_security_bars", "(category, market, code, start=0, count=800, fq=1)", ""),
    ("get_index_bars", "(category, market, code, start=0, count=800, fq=1)", ""),
    ("get_security_quotes", "(all_stock)", ""),
    ("get_security_list", "(market, start=0)", ""),
    ("get_security_count", "(market)", ""),
    ("get_minute_time_data", "(market, code)", ""),
    ("get_history_minute_time_data", "(market, code, date)", ""),
    ("get_transaction_data", "(market, code, start=0, count=2000)", ""),
    ("get_history_transaction_data", "(market, code, start=0, count=2000, date=0)", ""),
    ("get_finance_info", "(market, code)", ""),
    ("get_xdxr_info", "(market, code)", ""),
    ("get_and_parse_block_info", "(block_file)", ""),
]


@pytest.fixture
def client(mock):
    return TdxDirectClient(*mock.address(), 2.0)


def test_signatures_and_docstrings():
    assert TdxDirectClient.__text_signature__ == "(ip, port=..., timeout=5.0)"
    assert TdxDirectClient.__doc__ == "TDX 裸连接客户端 — Python 绑定"
    own = [n for n, v in vars(TdxDirectClient).items() if inspect.ismethoddescriptor(v)]
    assert own == [m[0] for m in METHODS]
    for name, sig, doc in METHODS:
        m = getattr(TdxDirectClient, name)
        assert (str(inspect.signature(m)), m.__doc__ or "") == ("(self, /, " + sig[1:], doc)


def test_construction_dials_nothing_and_binds_arguments(mock):
    host, port = mock.address()
    TdxDirectClient("no.such.host.invalid", 1, 0.5)
    clients = [TdxDirectClient(host, port, 2), TdxDirectClient(ip=host, port=port, timeout=2.5),
               TdxDirectClient(host, timeout=1.0, port=port)]
    assert mock.counters()["total"]["accepted"] == 0
    assert [c.get_security_count(1) for c in clients] == [1908] * 3


@pytest.mark.parametrize("args, kwargs, exc, text", [
    ((), {}, TypeError, "missing required argument 'ip'"),
    (("127.0.0.1",), {"host": "x"}, TypeError, "invalid keyword argument"),
    (("127.0.0.1", 1, 1.0, 4), {}, TypeError, "at most 3 arguments"),
    ((1,), {}, TypeError, "'ip'"),
    (("127.0.0.1", "7709"), {}, TypeError, "'port'"),
    (("127.0.0.1", 65536), {}, OverflowError, "'port'"),
    (("127.0.0.1", -1), {}, OverflowError, "'port'"),
    (("127.0.0.1", 7709, "5"), {}, TypeError, "'timeout'"),
    (("127.0.0.1", 7709, None), {}, TypeError, "'timeout'"),
    *[(("127.0.0.1", 7709, bad), {}, ValueError, "finite, non-negative")
      for bad in (-0.5, math.nan, math.inf, -math.inf)],
])
def test_constructor_argument_errors(args, kwargs, exc, text):
    with pytest.raises(exc, match=text):
        TdxDirectClient(*args, **kwargs)


def test_set_server_takes_effect_from_the_next_request(mock):
    c = TdxDirectClient("127.0.0.1", closed_port(), 2.0)
    with pytest.raises(ConnectionError):
        c.get_security_list(1)
    assert c.set_server("127.0.0.1", mock.ports[1]) is None
    assert len(c.get_security_list(1)) == 1000
    assert (mock.requests("list", server=1), mock.requests("list", server=0)) == (1, 0)
    c.set_server(port=mock.ports[0], ip="127.0.0.1")
    c.get_security_list(1)
    assert mock.requests("list", server=0) == 1
    with pytest.raises(TypeError, match="missing required argument 'port'"):
        c.set_server("127.0.0.1")
    with pytest.raises(OverflowError, match="'port'"):
        c.set_server("127.0.0.1", 65536)


def test_set_timeout(client, mock):
    assert client.set_timeout(0) is None
    with pytest.raises(ConnectionError, match="^Connection error: "):
        client.get_xdxr_info(0, "000001")
    client.set_timeout(2)
    for bad in (-1.0, math.nan, math.inf):
        with pytest.raises(ValueError, match="finite, non-negative"):
            client.set_timeout(bad)
    assert len(client.get_xdxr_info(0, "000001")) == 9      # the old value stands
    mock.set_fault("stall", cmd="count")
    client.set_timeout(0.2)
    t0 = time.monotonic()
    with pytest.raises(ValueError, match="^Connection error: "):
        client.get_security_count(1)
    assert time.monotonic() - t0 >= 0.2


@pytest.mark.parametrize("fault, call, exc, text", [
    (("close", "finance"), lambda c: c.get_finance_info(1, "600000"), ConnectionError, "^Server disconnected$"),
    (("stall", "xdxr"), lambda c: c.get_xdxr_info(1, "600000"), ConnectionError, None),
    (("corrupt_zlib", "list"), lambda c: c.get_security_list(1), ValueError, r"^\[E2102\] zlib decompress failed: "),
    (("zero_body", "minute"), lambda c: c.get_history_minute_time_data(1, "600000", 20240628), ValueError,
     r"^\[E2003\] server disconnected: empty response body$"),
    (("body", "count"), lambda c: c.get_security_count(1), ValueError,
     r"^\[E2103\] response length mismatch: body too short for count$"),
])
def test_error_mapping_leaves_the_object_usable(client, mock, fault, call, exc, text):
    mock.set_fault(fault[0], cmd=fault[1], nth=1, **({"hex": "07"} if fault[0] == "body" else {}))
    client.set_timeout(0.2)
    with pytest.raises(exc, match=text) as e:
        call(client)
    if exc is ValueError:
        assert not isinstance(e.value, ConnectionError)
    client.set_timeout(2.0)
    assert call(client)


def test_unreachable_server(client):
    c = TdxDirectClient("127.0.0.1", closed_port(), 1.0)
    with pytest.raises(ConnectionError, match="^Connection error: "):
        c.get_security_quotes([(1, "600000")])
    with pytest.raises(ValueError, match="^Connection error: ") as e:   # count maps every failure so
        c.get_security_count(1)
    assert not isinstance(e.value, ConnectionError)


def test_failed_handshake_is_an_error_of_the_request(client, mock):
    mock.set_fault("fail_handshake", cmd="setup2", nth=1)
    with pytest.raises((ConnectionError, ValueError)):
        client.get_security_list(0)
    assert len(client.get_security_list(0)) == 1000     # on a new connection


def test_every_request_has_a_connection_of_its_own(client, mock):
    before = mock.counters()["total"]["closed"]
    client.get_security_count(0)
    client.get_security_list(0)
    client.get_finance_info(0, "000001")
    mock.wait_for(lambda c: c["total"]["closed"] - before == 3)
    total = mock.counters()["total"]
    assert (total["accepted"], total["handshakes"]) == (3, 3)


def test_threads_sharing_one_object(client):
    want = dataset.expected_bars(1, "600000", 4, 0, 10)
    results, errors = [], []

    def work():
        try:
            for _ in range(3):
                results.append(client.get_security_bars(4, 1, "600000", 0, 10, 0))
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == [] and results == [want] * 12


def test_objects_are_independent(mock):
    a = TdxDirectClient("127.0.0.1", mock.ports[0], 2.0)
    b = TdxDirectClient("127.0.0.1", mock.ports[1], 2.0)
    a.set_timeout(0)
    b.get_security_count(0)
    with pytest.raises(ValueError):
        a.get_security_count(0)
    assert (mock.requests("count", server=0), mock.requests("count", server=1)) == (0, 1)
