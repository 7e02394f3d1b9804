"""Helpers for the TdxSmartClient tests: a private home for the cache file, cache documents, and
the built-in server rows, which every smart test blacklists so that no walk over the built-in
tables can ever leave the machine.

The smart client walks the built-in public tables whenever its cached server fails (connect) or a
query moves on (the next primary server). With every built-in row blacklisted both walks end
without opening a socket; the cached server, the only one tried regardless of the blacklist, is
always a loopback address here.
"""

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

SERVERS_CPP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src", "net", "servers.cpp")
# Rows of the two built-in tables: 102 in the full one, 10 in the primary one.
BUILTIN_ROW_COUNT = 112


def builtin_servers():
    """Every (ip, port) of the built-in server tables, read from their source."""
    with open(SERVERS_CPP, encoding="utf-8") as f:
        text = f.read()
    rows = re.findall(r'\{"[^"]*",\s*"([0-9.]+)",\s*(\d+)\}', text)
    # A row missed here would be a row the tests might dial: refuse to run instead.
    assert len(rows) == BUILTIN_ROW_COUNT, f"found {len(rows)} server rows in {SERVERS_CPP}"
    return sorted({(ip, int(port)) for ip, port in rows})


def blacklist_all(now=None):
    stamp = int(time.time()) if now is None else now
    return [{"ip": ip, "port": port, "reason": "kline_empty", "timestamp": stamp}
            for ip, port in builtin_servers()]


def cache_doc(last_success=None, blacklist=None, server_stats=None, version=1):
    return {
        "version": version,
        "last_success": last_success,
        "blacklist": blacklist_all() if blacklist is None else blacklist,
        "server_stats": {} if server_stats is None else server_stats,
    }


def entry(ip, port, name="mock", timestamp=1700000000, latency_ms=5):
    return {"ip": ip, "port": port, "name": name, "timestamp": timestamp, "latency_ms": latency_ms}


def cache_file(base):
    return os.path.join(str(base), ".quotix", "server_cache.json")


def write_cache(base, doc):
    """Writes a document (dict) or raw text (str/bytes) as the cache file under `base`."""
    path = cache_file(base)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if isinstance(doc, dict):
        doc = json.dumps(doc, indent=2)
    mode = "wb" if isinstance(doc, bytes) else "w"
    with open(path, mode) as f:
        f.write(doc)
    return path


def read_cache(base):
    with open(cache_file(base), encoding="utf-8") as f:
        return json.load(f)


def closed_port():
    """A loopback port with no listener."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


@pytest.fixture
def home(tmp_path, monkeypatch):
    """A private HOME (and no USERPROFILE), so the cache file is never the user's own."""
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.delenv("USERPROFILE", raising=False)
    return tmp_path


def run_python(code, cwd=None, **env):
    """Runs `code` (dedented) in a fresh interpreter, by default away from the source tree, whose
    quotix/ has no built extension; `env` adds variables, or removes those given as None."""
    full = dict(os.environ)
    for k, v in env.items():
        if v is None:
            full.pop(k, None)
        else:
            full[k] = v
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full, cwd=cwd or tempfile.gettempdir(),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    return r
