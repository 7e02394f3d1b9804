"""TdxDirectClient: signatures, construction, settings and how failures reach Python. Every
request goes to the loopback mock server or to a closed loopback port."""

import inspect
import math
import socket
import threading
import time

import pytest

import dataset
from quotix._internal import TdxDirectClient

BLOCK_1101 = ("[E1101] block code (88xxxx) not allowed in general client, use TdxBlockClient: "
              "code=")

# Method, text signature, docstring summary, in table order.
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


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def client(mock_server):
    host, port = mock_server.address()
    return TdxDirectClient(host, port, 2.0)


class TestSignatures:
    def test_class_signature_and_docstring(self):
        assert str(inspect.signature(TdxDirectClient)) == "(ip, port=7709, timeout=5.0)"
        assert TdxDirectClient.__doc__ == "TDX 裸连接客户端 — Python 绑定"

    def test_methods_in_table_order(self):
        own = [n for n, v in vars(TdxDirectClient).items() if inspect.ismethoddescriptor(v)]
        assert own == [m[0] for m in METHODS]

    @pytest.mark.parametrize("name,sig,doc", METHODS)
    def test_method_signature_and_doc(self, name, sig, doc):
        m = getattr(TdxDirectClient, name)
        assert str(inspect.signature(m)) == "(self, /, " + sig[1:]
        assert (m.__doc__ or "") == doc


class TestConstruction:
    def test_nothing_is_dialled_at_construction(self, mock_server):
        TdxDirectClient("127.0.0.1", mock_server.port)
        TdxDirectClient("no.such.host.invalid", 1, 0.5)
        assert mock_server.counters()["total"]["accepted"] == 0

    def test_arguments_by_position_and_keyword(self, mock_server):
        host, port = mock_server.address()
        for c in (TdxDirectClient(host, port, 2), TdxDirectClient(ip=host, port=port, timeout=2.5),
                  TdxDirectClient(host, timeout=1.0, port=port)):
            assert c.get_security_count(1) == 1908

    def test_ip_is_required(self):
        with pytest.raises(TypeError, match="missing required argument 'ip'"):
            TdxDirectClient()
        with pytest.raises(TypeError, match="invalid keyword argument"):
            TdxDirectClient("127.0.0.1", host="x")
        with pytest.raises(TypeError, match="at most 3 arguments"):
            TdxDirectClient("127.0.0.1", 1, 1.0, 4)

    @pytest.mark.parametrize("args,exc,name", [
        ((1,), TypeError, "ip"),
        (("127.0.0.1", "7709"), TypeError, "port"),
        (("127.0.0.1", 65536), OverflowError, "port"),
        (("127.0.0.1", -1), OverflowError, "port"),
        (("127.0.0.1", 7709, "5"), TypeError, "timeout"),
        (("127.0.0.1", 7709, None), TypeError, "timeout"),
    ])
    def test_conversion_errors_name_the_argument(self, args, exc, name):
        with pytest.raises(exc, match=f"'{name}'"):
            TdxDirectClient(*args)

    @pytest.mark.parametrize("bad", [-0.5, math.nan, math.inf, -math.inf])
    def test_unusable_timeouts_are_refused(self, bad):
        with pytest.raises(ValueError, match="finite, non-negative"):
            TdxDirectClient("127.0.0.1", 7709, bad)


class TestSettings:
    def test_set_server_takes_effect_from_the_next_request(self, mock_server_factory):
        mock = mock_server_factory(servers=2)
        c = TdxDirectClient("127.0.0.1", closed_port(), 2.0)
        with pytest.raises(ConnectionError):
            c.get_security_list(1)
        assert c.set_server("127.0.0.1", mock.ports[1]) is None
        assert len(c.get_security_list(1)) == 1000
        assert mock.requests("list", server=1) == 1
        assert mock.requests("list", server=0) == 0
        c.set_server(port=mock.ports[0], ip="127.0.0.1")
        c.get_security_list(1)
        assert mock.requests("list", server=0) == 1

    def test_set_server_arguments(self, client):
        with pytest.raises(TypeError, match="missing required argument 'port'"):
            client.set_server("127.0.0.1")
        with pytest.raises(OverflowError, match="'port'"):
            client.set_server("127.0.0.1", 65536)

    def test_zero_timeout_fails_every_request_until_changed(self, client):
        assert client.set_timeout(0) is None
        with pytest.raises(ConnectionError, match="^Connection error: "):
            client.get_xdxr_info(0, "000001")
        client.set_timeout(2)
        assert len(client.get_xdxr_info(0, "000001")) == 9

    @pytest.mark.parametrize("bad", [-1.0, math.nan, math.inf])
    def test_set_timeout_refuses_unusable_values_and_keeps_the_old(self, client, bad):
        with pytest.raises(ValueError, match="finite, non-negative"):
            client.set_timeout(bad)
        assert client.get_security_count(0) == 2105

    def test_set_timeout_bounds_the_wait_for_a_reply(self, client, mock_server):
        mock_server.set_fault("stall", cmd="count")
        client.set_timeout(0.2)
        t0 = time.monotonic()
        with pytest.raises(ValueError, match="^Connection error: "):
            client.get_security_count(1)
        assert time.monotonic() - t0 >= 0.2


class TestErrorMapping:
    def test_unreachable_server_is_connection_error(self):
        c = TdxDirectClient("127.0.0.1", closed_port(), 1.0)
        with pytest.raises(ConnectionError) as e:
            c.get_security_quotes([(1, "600000")])
        assert str(e.value).startswith("Connection error: ")

    def test_peer_closing_before_the_reply_is_connection_error(self, client, mock_server):
        mock_server.set_fault("close", cmd="finance")
        with pytest.raises(ConnectionError, match="^Server disconnected$"):
            client.get_finance_info(1, "600000")

    def test_reply_time_out_is_connection_error(self, client, mock_server):
        mock_server.set_fault("stall", cmd="xdxr")
        client.set_timeout(0.2)
        with pytest.raises(ConnectionError):
            client.get_xdxr_info(1, "600000")

    def test_corrupt_zlib_is_value_error_with_the_coded_text(self, client, mock_server):
        mock_server.set_fault("corrupt_zlib", cmd="list")
        with pytest.raises(ValueError) as e:
            client.get_security_list(1)
        assert str(e.value).startswith("[E2102] zlib decompress failed: ")
        assert not isinstance(e.value, ConnectionError)

    def test_empty_body_is_value_error_2003(self, client, mock_server):
        mock_server.set_fault("zero_body", cmd="minute")
        with pytest.raises(ValueError, match=r"^\[E2003\] server disconnected: empty response body$"):
            client.get_history_minute_time_data(1, "600000", 20240628)

    def test_failed_handshake_is_an_error_of_the_request(self, client, mock_server):
        mock_server.set_fault("fail_handshake", cmd="setup2", nth=1)
        with pytest.raises((ConnectionError, ValueError)):
            client.get_security_list(0)
        # The next request opens a new connection and succeeds.
        assert len(client.get_security_list(0)) == 1000

    def test_count_maps_every_failure_to_value_error(self, client, mock_server):
        c = TdxDirectClient("127.0.0.1", closed_port(), 1.0)
        with pytest.raises(ValueError) as e:
            c.get_security_count(1)
        assert not isinstance(e.value, ConnectionError)
        assert str(e.value).startswith("Connection error: ")
        mock_server.set_fault("body", cmd="count", hex="07")
        with pytest.raises(ValueError) as e:
            client.get_security_count(1)
        assert str(e.value) == "[E2103] response length mismatch: body too short for count"

    def test_a_failed_call_leaves_the_object_usable(self, client, mock_server):
        mock_server.set_fault("close", cmd="quotes", nth=1)
        with pytest.raises(ConnectionError):
            client.get_security_quotes([(0, "000001")])
        assert client.get_security_quotes([(0, "000001")])[0]["code"] == "000001"

    def test_every_request_has_a_connection_of_its_own(self, client, mock_server):
        client.get_security_count(0)
        client.get_security_list(0)
        client.get_finance_info(0, "000001")
        mock_server.wait_for(lambda c: c["total"]["open"] == 0)
        total = mock_server.counters()["total"]
        assert total["accepted"] == 3 and total["handshakes"] == 3 and total["closed"] == 3


class TestSharing:
    def test_threads_sharing_one_object(self, client, mock_server):
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
        assert errors == []
        assert results == [want] * 12

    def test_objects_are_independent(self, mock_server_factory):
        mock = mock_server_factory(servers=2)
        a = TdxDirectClient("127.0.0.1", mock.ports[0], 2.0)
        b = TdxDirectClient("127.0.0.1", mock.ports[1], 2.0)
        a.set_timeout(0)
        b.get_security_count(0)
        with pytest.raises(ValueError):
            a.get_security_count(0)
        assert (mock.requests("count", server=0), mock.requests("count", server=1)) == (0, 1)
