"""Connecting TdxHqFundClient to the loopback mock, and how connection failures reach Python.
Every connection here goes to 127.0.0.1; connect_to_any is only called on a connected object,
where it returns before any network activity."""

import os
import socket

import pytest

from quotix._internal import TdxHqFundClient


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def fund(mock_server):
    # Made after the mock and disconnected before it stops, so the heartbeat never finds it gone.
    c = TdxHqFundClient()
    yield c
    c.disconnect()


class TestConnect:
    def test_connect_is_connected_disconnect(self, fund, mock_server):
        host, port = mock_server.address()
        assert fund.connect(host, port) is True
        assert fund.is_connected() is True
        assert [e["cmd"] for e in mock_server.request_log()][:3] == ["setup1", "setup2", "setup3"]
        assert fund.disconnect() is None
        assert fund.is_connected() is False
        # Connecting again later is allowed.
        assert fund.connect(ip=host, port=port, timeout=2.0) is True
        assert fund.is_connected() is True

    def test_connect_starts_the_heartbeat_and_disconnect_joins_it(self, fund, mock_server):
        before = threads()
        fund.connect(*mock_server.address())
        assert threads() == before + 1
        # A second connect replaces the heartbeat rather than adding one.
        fund.connect(*mock_server.address(), None)
        assert threads() == before + 1
        fund.disconnect()
        assert threads() == before

    def test_connect_to_any_when_connected_touches_nothing(self, fund, mock_server):
        fund.connect(*mock_server.address())
        mock_server.reset()
        assert fund.connect_to_any() is True
        assert fund.connect_to_any(timeout=0.5) is True
        assert fund.connect_to_any(None) is True
        c = mock_server.counters()["total"]
        assert c["accepted"] == 0
        assert c["requests_total"] == 0

    def test_dropping_a_connected_object_ends_its_heartbeat(self, mock_server):
        before = threads()
        c = TdxHqFundClient()
        c.connect(*mock_server.address())
        del c
        assert threads() == before


class TestConnectFailures:
    def test_nothing_listening_is_connection_error_and_the_object_stays_usable(self, fund, mock_server):
        port = closed_port()
        with pytest.raises(ConnectionError) as e:
            fund.connect("127.0.0.1", port, 0.5)
        assert str(e.value).startswith(f"Connection error: Failed to connect to 127.0.0.1:{port}: ")
        assert fund.is_connected() is False
        assert fund.connect(*mock_server.address()) is True

    def test_coded_error_during_connect_is_connection_error(self, fund, mock_server):
        mock_server.set_fault("corrupt_zlib", cmd="setup1")
        with pytest.raises(ConnectionError) as e:
            fund.connect(*mock_server.address())
        assert str(e.value).startswith("[E2102] zlib decompress failed: ")
        assert fund.is_connected() is False

    def test_server_closing_during_handshake(self, fund, mock_server):
        mock_server.set_fault("fail_handshake")
        with pytest.raises(ConnectionError) as e:
            fund.connect(*mock_server.address())
        assert str(e.value) == "Server disconnected"

    def test_zero_timeout_fails_the_connection(self, fund, mock_server):
        with pytest.raises(ConnectionError, match="cannot set a 0 duration timeout"):
            fund.connect(*mock_server.address(), 0)

    def test_failed_connect_keeps_the_earlier_connection(self, fund, mock_server):
        fund.connect(*mock_server.address())
        with pytest.raises(ConnectionError):
            fund.connect("127.0.0.1", closed_port(), 0.5)
        assert fund.is_connected() is True
        assert fund.get_fund_bars(4, 1, "510300", 0, 1)[0]["datetime"] == "2024-06-28"

    @pytest.mark.parametrize("bad", [-1.0, -0.001, float("nan"), float("inf"), float("-inf")])
    def test_bad_timeouts_are_refused_before_anything(self, fund, mock_server, bad):
        with pytest.raises(ValueError, match="timeout"):
            fund.connect(*mock_server.address(), bad)
        assert fund.is_connected() is False
        assert mock_server.counters()["total"]["accepted"] == 0
        # On a connected object, so that a wrong acceptance could not walk any server table.
        fund.connect(*mock_server.address())
        with pytest.raises(ValueError, match="timeout"):
            fund.connect_to_any(bad)
        with pytest.raises(ValueError, match="timeout"):
            fund.connect_to_any(timeout=bad)
