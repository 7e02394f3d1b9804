"""Fixtures of the data-method tests of TdxHqClient: one mock per module and, per test, a client
connected to it with the rate limits off.

Import them into a test module with `from hq_fixtures import mock, client`.

Every client here is connected to the loopback mock before its first request: an unconnected
client would dial the built-in public server table. For the same reason the tests never provoke
an empty reply to a bars request of category 4 or above, which makes the client move to another
server of that table.
"""

import os
import subprocess
import sys
import tempfile
import textwrap

import pytest
from launcher import MockServer

from quotix._internal import TdxHqClient


@pytest.fixture(scope="module")
def mock():
    server = MockServer(servers=1)
    yield server
    server.stop()


@pytest.fixture
def client(mock):
    mock.reset()
    c = TdxHqClient()
    c.connect(*mock.address())
    # The limiters only space requests out; the tests would just wait on them.
    c.set_rate_limit(0)
    c.set_rate_limit_daily(0)
    yield c
    c.disconnect()


def requests_of(mock, cmd):
    """The logged arguments of every request of one kind, in the order they arrived."""
    return [e["args"] for e in mock.request_log(cmd=cmd)]


def data_requests(mock):
    """Names of the data requests since the last reset (set-up packets and heartbeats left out)."""
    skip = {"setup1", "setup2", "setup3", "count", "accept"}
    return [e["cmd"] for e in mock.request_log() if e["cmd"] not in skip]


def run_logged(code, port, level="info"):
    """Runs code in a fresh interpreter with the log at `level` (PORT names the mock's port) and
    returns what it wrote to stderr."""
    env = dict(os.environ, QUOTIX_LOG=level)
    src = f"import quotix._internal as qi\nPORT = {port}\n" + textwrap.dedent(code)
    r = subprocess.run([sys.executable, "-c", src], env=env, cwd=tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr
