"""Connecting TdxHqFundClient to the loopback mock, and how connection failures reach Python.
Every connection here goes to 127.0.0.1; connect_to_any is only called on a connected object,
where it returns before any network activity."""

import os

import pytest

from quotix._internal import TdxHqFundClient
from smart_helpers import closed_port


def threads():
    return len(os.listdir("/proc/self/task"))


@pytest.fixture
def fund(mock):
    # Disconnected before the mock stops, so the heartbeat never finds it gone.
    c = TdxHqFundClient()
    yield c
    c.disconnect()


def test_connect_heartbeat_and_disconnect(fund, mock):
    host, port = mock.address()
    before = threads()
    assert fund.connect(host, port) is True and fund.is_connected() is True
    assert [e["cmd"] for e in mock.request_log()][:3] == ["setup1", "setup2", "setup3"]
    assert threads() == before + 1
    # A second connect replaces the heartbeat rather than adding one.
    assert fund.connect(ip=host, port=port, timeout=2.0) is True
    assert threads() == before + 1
    mock.reset()
    for args, kwargs in [((), {}), ((0.5,), {}), ((None,), {}), ((), {"timeout": 0.5})]:
        assert fund.connect_to_any(*args, **kwargs) is True      # connected: touches nothing
    assert (mock.counters()["total"]["accepted"], mock.requests()) == (0, 0)
    assert fund.disconnect() is None and fund.is_connected() is False
    assert threads() == before
    assert fund.connect(host, port, None) is True     # again later
    c = TdxHqFundClient()
    c.connect(host, port)
    del c                                             # dropping a connected object ends its heartbeat
    assert threads() == before + 1


@pytest.mark.parametrize("fault, text", [
    (None, "^Connection error: Failed to connect to 127.0.0.1:{port}: "),
    (dict(action="corrupt_zlib", cmd="setup1"), r"^\[E2102\] zlib decompress failed: "),
    (dict(action="fail_handshake"), "^Server disconnected$"),
    ("zero-timeout", "cannot set a 0 duration timeout"),
])
def test_connect_failures_keep_the_object_usable(fund, mock, fault, text):
    host, port = mock.address()
    args = (host, port)
    if fault is None:
        port = closed_port()
        args = ("127.0.0.1", port, 0.5)
    elif fault == "zero-timeout":
        args = (host, port, 0)
    else:
        mock.set_fault(**fault)
    with pytest.raises(ConnectionError, match=text.format(port=port)):
        fund.connect(*args)
    assert fund.is_connected() is False
    mock.reset()
    assert fund.connect(*mock.address()) is True


def test_failed_connect_keeps_the_earlier_connection(fund, mock):
    fund.connect(*mock.address())
    with pytest.raises(ConnectionError):
        fund.connect("127.0.0.1", closed_port(), 0.5)
    assert fund.is_connected() is True
    assert fund.get_fund_bars(4, 1, "510300", 0, 1)[0]["datetime"] == "2024-06-28"


@pytest.mark.parametrize("bad", [-1.0, -0.001, float("nan"), float("inf"), float("-inf")])
def test_bad_timeouts_are_refused_before_anything(fund, mock, bad):
    with pytest.raises(ValueError, match="timeout"):
        fund.connect(*mock.address(), bad)
    assert fund.is_connected() is False and mock.counters()["total"]["accepted"] == 0
    # On a connected object, so that a wrong acceptance could not walk any server table.
    fund.connect(*mock.address())
    for kwargs in ({}, {"timeout": bad}):
        with pytest.raises(ValueError, match="timeout"):
            fund.connect_to_any(**kwargs) if kwargs else fund.connect_to_any(bad)
