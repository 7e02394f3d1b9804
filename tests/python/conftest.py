"""Shared fixtures: one loopback mock quote server for the session, clients of every kind
connected to it before their first request (an unconnected pooled client would dial the built-in
public servers), and a private home whose server cache blacklists every built-in server."""

import json
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

MOCK = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mock_server")
sys.path.insert(0, MOCK)

import quotix._internal as qi  # noqa: E402
from launcher import MockServer  # noqa: E402

with open(os.path.join(MOCK, "..", "..", "src", "shared", "servers.cpp"), encoding="utf-8") as _f:
    _ROWS = re.findall(r'\{"[^"]*",\s*"([0-9.]+)",\s*(\d+)\}', _f.read())
assert len(_ROWS) == 112, "a built-in row missed here is one a test might dial"
BUILTIN = sorted({(ip, int(port)) for ip, port in _ROWS})


def write_cache(base, last=None):
    """A server cache under base naming `last` (ip, port) as the last good server."""
    os.makedirs(os.path.join(base, ".quotix"), exist_ok=True)
    now = int(time.time())
    good = last and {"ip": last[0], "port": last[1], "name": "mock", "timestamp": now, "latency_ms": 5}
    bad = [{"ip": ip, "port": p, "reason": "kline_empty", "timestamp": now} for ip, p in BUILTIN]
    with open(os.path.join(base, ".quotix", "server_cache.json"), "w", encoding="utf-8") as f:
        json.dump({"version": 1, "server_stats": {}, "last_success": good, "blacklist": bad}, f)


def threads(want=None):
    """Threads of this process; with `want`, once they are that many or 5 s have passed, since a
    joined thread can stay listed for a moment."""
    deadline = time.monotonic() + 5
    while want is not None and len(os.listdir("/proc/self/task")) != want and time.monotonic() < deadline:
        time.sleep(0.01)
    return len(os.listdir("/proc/self/task"))


def run_python(code, **env):
    """stderr of `code` run in a fresh interpreter away from the source tree (whose quotix/ has no
    built module); env adds variables, or removes those given as None."""
    full = {k: v for k, v in {**os.environ, **env}.items() if v is not None}
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full, cwd=tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stderr


@pytest.fixture(scope="session")
def mock_session():
    with MockServer(servers=2) as m:
        yield m


@pytest.fixture
def mock(mock_session):
    mock_session.call("reset")
    return mock_session


@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return tmp_path


@pytest.fixture
def client(mock, home):
    """client(kind): a client of that kind on the mock's first port, rate limits off, the mock
    reset after its set-up; every one is disconnected before the mock can go away."""
    made = []

    def make(kind):
        host, port = mock.address()
        write_cache(home, (host, port))  # read by the smart client as it is made
        c = {"hq": qi.TdxHqClient, "fund": qi.TdxHqFundClient, "smart": qi.TdxSmartClient,
             "async": lambda: qi.AsyncTdxHqClient.with_pool_size(2),
             "direct": lambda: qi.TdxDirectClient(host, port, 2.0),
             "block": lambda: qi.TdxBlockClient(host, port, 2.0)}[kind]()
        if kind == "smart":
            assert c.connect_to_any(2.0) is True
        elif hasattr(c, "connect"):
            assert c.connect(host, port, 2.0) is True
        for setter in ("set_rate_limit", "set_rate_limit_daily"):
            getattr(c, setter, lambda rps: None)(0)
        made.append(c)
        mock.call("reset")
        return c

    yield make
    for c in made:
        if hasattr(c, "disconnect"):
            c.disconnect()
