"""Shared fixtures: the loopback mock quote server.

    def test_something(mock_server):            # one quote port, fresh process
        host, port = mock_server.address()
        mock_server.set_fault("delay", cmd="bars", seconds=2, nth=1)
        ...
        assert mock_server.requests("bars") == 1

    def test_failover(mock_server_factory):     # several ports, initial faults
        mock = mock_server_factory(servers=3, faults=[{"server": 0, "action": "refuse"}])
"""

import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mock_server"))
sys.path.insert(0, HERE)

from launcher import MockServer  # noqa: E402


@pytest.fixture
def mock_server_factory():
    """Starts mock processes on demand: factory(servers=1, faults=None,
    compress=None, verbose=False). All are stopped after the test."""
    started = []

    def start(**kwargs):
        mock = MockServer(**kwargs)
        started.append(mock)
        return mock

    yield start
    for mock in started:
        mock.stop()


@pytest.fixture
def mock_server(mock_server_factory):
    """A fresh mock with one quote port for this test."""
    return mock_server_factory()


@pytest.fixture(scope="module")
def mock_server_module():
    """One mock with three quote ports shared by a module; reset it (faults,
    counters, log) between tests with mock_server_module.reset()."""
    mock = MockServer(servers=3)
    yield mock
    mock.stop()


@pytest.fixture
def mock(mock_server_module):
    """The module's shared mock, reset to no faults and zero counters before each test."""
    mock_server_module.reset()
    return mock_server_module
