"""Connecting TdxHqClient to the loopback mock server, disconnecting, and how failures reach
Python. Every connection here goes to 127.0.0.1."""

import os
import socket

import pytest
from hq_fixtures import run_logged

from quotix._internal import TdxHqClient


def closed_port():
    """A loopback port with no listener."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def mock_server(mock_server_module):
    mock_server_module.reset()
    return mock_server_module


@pytest.fixture
def client(mock_server):
    # Made after the mock and disconnected before it stops, so the heartbeat never finds the
    # mock gone (its reconnect would walk the public server tables).
    c = TdxHqClient()
    yield c
    c.disconnect()


class TestConnect:
    def test_connect_and_disconnect(self, client, mock_server):
        host, port = mock_server.address()
        assert client.connect(host, port) is True
        assert client.is_connected() is True
        assert [e["cmd"] for e in mock_server.request_log()][:3] == ["setup1", "setup2", "setup3"]
        assert client.pool_stats() == {"idle": 1, "active": 0, "total": 1, "max_size": 5}
        assert client.disconnect() is None
        assert client.is_connected() is False
        assert client.pool_stats()["idle"] == 0

    def test_connect_by_keyword_with_timeout(self, client, mock_server):
        host, port = mock_server.address()
        assert client.connect(ip=host, port=port, timeout=2.5) is True
        assert client.connect(host, port, None) is True
        assert client.connect(host, port, 3) is True
        # Each connect replaces the idle pool content.
        assert client.pool_stats()["idle"] == 1

    def test_heartbeat_thread_lives_between_connect_and_disconnect(self, client, mock_server):
        before = threads()
        client.connect(*mock_server.address())
        assert threads() == before + 1
        client.disconnect()
        assert threads() == before

    def test_connect_to_any_when_connected_makes_no_connection(self, client, mock_server):
        host, port = mock_server.address()
        client.connect(host, port)
        seen = len(mock_server.request_log())
        client.block_server(host, port)
        assert client.connect_to_any() is True
        assert client.connect_to_any(timeout=1.0) is True
        assert len(mock_server.request_log()) == seen
        assert client.pool_stats()["total"] == 1

    def test_settings_survive_disconnect(self, client, mock_server):
        client.set_fq_context_tier("HIGH")
        client.block_server("192.0.2.1", 7709)
        client.set_auto_retry(False)
        client.set_rate_limit(7)
        client.connect(*mock_server.address())
        client.disconnect()
        assert client.fq_context_tier() == "high"
        assert client.blocked_servers() == [("192.0.2.1", 7709)]
        assert client.rate_limit_minute() == 10
        client.connect(*mock_server.address())
        assert client.fq_context_tier() == "high"
        assert client.blocked_servers() == [("192.0.2.1", 7709)]

    def test_dropping_a_connected_client_ends_its_heartbeat(self, mock_server):
        before = threads()
        c = TdxHqClient()
        c.connect(*mock_server.address())
        del c
        assert threads() == before


class TestConnectFailures:
    def test_refused_is_connection_error(self, client):
        port = closed_port()
        with pytest.raises(ConnectionError) as e:
            client.connect("127.0.0.1", port)
        text = str(e.value)
        assert text.startswith(f"Connection error: Failed to connect to 127.0.0.1:{port}: ")
        assert e.value.args == (text,)
        assert isinstance(e.value, OSError)
        assert client.is_connected() is False

    @pytest.mark.parametrize("fault,timeout,exc,text", [
        ("fail_handshake", None, ConnectionError, "^Server disconnected$"),
        ("stall", 0.3, ConnectionError, "^Connection error: recv failed: "),
        (None, 0, ConnectionError, "^Connection error: set_read_timeout: cannot set a 0 duration timeout$"),
        ("corrupt_zlib", None, ValueError, r"^\[E2102\] zlib decompress failed: "),
    ])
    def test_handshake_failures(self, client, mock_server, fault, timeout, exc, text):
        if fault:
            mock_server.set_fault(fault, **({} if fault == "fail_handshake" else {"cmd": "setup1"}))
        with pytest.raises(exc, match=text) as e:
            client.connect(*mock_server.address(), timeout=timeout)
        # Only connection failures are OSErrors; a coded error is a ValueError alone.
        assert isinstance(e.value, OSError) == (exc is ConnectionError)

    def test_stored_timeout_is_used_when_none_given(self, client, mock_server):
        client.set_connect_timeout(0)
        with pytest.raises(ConnectionError, match="cannot set a 0 duration timeout"):
            client.connect(*mock_server.address())
        with pytest.raises(ConnectionError, match="cannot set a 0 duration timeout"):
            client.connect(*mock_server.address(), None)
        assert client.connect(*mock_server.address(), 2.0) is True

    def test_coded_error_is_value_error_with_its_code(self, client, mock_server):
        mock_server.set_fault("corrupt_zlib", cmd="setup1")
        with pytest.raises(ValueError) as e:
            client.connect(*mock_server.address())
        assert str(e.value).startswith("[E2102] zlib decompress failed: ")
        assert not isinstance(e.value, OSError)

    def test_failed_connect_leaves_the_connection_in_place(self, client, mock_server):
        client.connect(*mock_server.address())
        with pytest.raises(ConnectionError):
            client.connect("127.0.0.1", closed_port())
        assert client.is_connected() is True
        assert client.pool_stats()["idle"] == 1


class TestConnectLog:
    def test_connect_and_disconnect_lines(self, mock_server):
        port = mock_server.port
        err = run_logged("""
            c = qi.TdxHqClient()
            c.connect("127.0.0.1", PORT)
            c.disconnect()
        """, port)
        assert f"[I] hq  connected to 127.0.0.1:{port}\n" in err
        assert "[I] hq  disconnected\n" in err
        assert err.index("connected to") < err.index("disconnected")
