"""Shared fixtures: one loopback mock quote server for the session, clients of every kind
connected to it, and a private home whose server cache blacklists every built-in server.

An unconnected pooled client would dial the built-in public server tables, so every client made
here is connected to the mock before its first request, and the smart client's table walks find
every built-in row blacklisted."""

import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import textwrap
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "mock_server"))

import quotix._internal as qi  # noqa: E402
from launcher import MockServer  # noqa: E402

with open(os.path.join(HERE, "..", "..", "src", "shared", "servers.cpp"), encoding="utf-8") as _f:
    _ROWS = re.findall(r'\{"[^"]*",\s*"([0-9.]+)",\s*(\d+)\}', _f.read())
assert len(_ROWS) == 112, "a built-in row missed here is one a test might dial"
BUILTIN = sorted({(ip, int(port)) for ip, port in _ROWS})


def write_cache(base, last=None):
    """A server cache under base naming `last` (ip, port) as the last good server."""
    path = os.path.join(str(base), ".quotix", "server_cache.json")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    now = int(time.time())
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"version": 1, "server_stats": {},
                   "last_success": last and {"ip": last[0], "port": last[1], "name": "mock", "timestamp": now,
                                             "latency_ms": 5},
                   "blacklist": [{"ip": ip, "port": p, "reason": "kline_empty", "timestamp": now}
                                 for ip, p in BUILTIN]},
                  f)
    return path


def closed_port():
    """A loopback port with no listener."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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
    m = MockServer(servers=2)
    yield m
    m.stop()


@pytest.fixture
def mock(mock_session):
    mock_session.listen(0, True)
    mock_session.reset()
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
        if kind in ("hq", "fund"):
            c = qi.TdxHqClient() if kind == "hq" else qi.TdxHqFundClient()
            assert c.connect(host, port) is True
        elif kind == "async":
            c = qi.AsyncTdxHqClient.with_pool_size(2)
            assert c.connect(host, port, 2.0) is True
        elif kind == "smart":
            write_cache(home, (host, port))
            c = qi.TdxSmartClient()
            assert c.connect_to_any(2.0) is True
        else:
            c = {"direct": qi.TdxDirectClient, "block": qi.TdxBlockClient}[kind](host, port, 2.0)
        for setter in ("set_rate_limit", "set_rate_limit_daily"):
            if hasattr(c, setter):
                getattr(c, setter)(0)
        made.append(c)
        mock.reset()
        return c

    yield make
    for c in made:
        if hasattr(c, "disconnect"):
            c.disconnect()
