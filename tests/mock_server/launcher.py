"""Starts the mock quote server as a child process and talks to its control port.

Used by tests/python/conftest.py; the C++ tests have the same calls in
tests/cpp/mock_server.hpp.
"""

import json
import os
import socket
import subprocess
import sys
import threading
import time

SERVER_PY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "server.py")
HOST = "127.0.0.1"


class MockServerError(RuntimeError):
    pass


class MockServer:
    """One mock process with `servers` quote ports.

    Keep the object alive for as long as the ports are needed; `stop()` (or
    leaving the `with` block) ends the process. The child also ends by itself
    when this process dies, because its stdin pipe closes.
    """

    def __init__(self, servers=1, faults=None, compress=None, verbose=False, start_timeout=10.0):
        config = {}
        if faults:
            config["faults"] = list(faults)
        if compress:
            config["compress"] = compress
        if verbose:
            config["verbose"] = True
        cmd = [sys.executable, SERVER_PY, "--servers", str(servers), "--config", json.dumps(config)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=None if verbose else subprocess.DEVNULL,
                                     close_fds=True)
        line = self._read_ready_line(start_timeout)
        info = json.loads(line)
        self.ports = info["ports"]
        self.control_port = info["control"]
        self.pid = info["pid"]
        self.host = HOST
        self._ctl = socket.create_connection((HOST, self.control_port), timeout=10.0)
        self._ctl_file = self._ctl.makefile("rb")
        self._lock = threading.Lock()

    def _read_ready_line(self, timeout):
        import selectors
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        deadline = time.monotonic() + timeout
        buf = b""
        while b"\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                self.proc.kill()
                self.proc.wait()
                raise MockServerError("mock server did not start in time")
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self.proc.wait()
                raise MockServerError(f"mock server exited with {self.proc.returncode}")
            buf += chunk
        sel.close()
        return buf.split(b"\n", 1)[0].decode()

    # -- addresses
    @property
    def port(self):
        return self.ports[0]

    def address(self, i=0):
        return (HOST, self.ports[i])

    # -- control
    def call(self, op, **fields):
        msg = {"op": op, **fields}
        with self._lock:
            self._ctl.sendall((json.dumps(msg) + "\n").encode())
            line = self._ctl_file.readline()
        if not line:
            raise MockServerError("control channel closed")
        resp = json.loads(line)
        if not resp.get("ok"):
            raise MockServerError(resp.get("error", "control call failed"))
        return resp

    def set_fault(self, action=None, **params):
        """Adds one fault, e.g. set_fault("delay", cmd="bars", seconds=2, nth=1).
        Returns its id."""
        if action is not None:
            params["action"] = action
        return self.call("set_fault", fault=params)["id"]

    def clear_faults(self, id=None, server=None):
        fields = {}
        if id is not None:
            fields["id"] = id
        if server is not None:
            fields["server"] = server
        self.call("clear_faults", **fields)

    def faults(self):
        return self.call("faults")["faults"]

    def counters(self):
        return self.call("counters")

    def server_counters(self, i=0):
        return self.counters()["servers"][i]

    def requests(self, cmd=None, server=None):
        """Number of requests of one kind (all kinds when cmd is None)."""
        c = self.counters()
        src = c["total"] if server is None else c["servers"][server]
        return src["requests_total"] if cmd is None else src["requests"].get(cmd, 0)

    def request_log(self, cmd=None, server=None, since=0):
        fields = {"since": since}
        if cmd is not None:
            fields["cmd"] = cmd
        if server is not None:
            fields["server"] = server
        return self.call("log", **fields)["entries"]

    def reset(self, faults=True):
        self.call("reset", faults=faults)

    def set_compress(self, mode, server=None):
        fields = {"compress": mode}
        if server is not None:
            fields["server"] = server
        self.call("options", **fields)

    def listen(self, server, on):
        return self.call("listen", server=server, on=on)

    def wait_for(self, predicate, timeout=5.0, interval=0.01):
        """Polls the counters until predicate(counters) is true."""
        deadline = time.monotonic() + timeout
        while True:
            c = self.counters()
            if predicate(c):
                return c
            if time.monotonic() > deadline:
                raise MockServerError(f"condition not met within {timeout} s: {c['total']}")
            time.sleep(interval)

    # -- lifetime
    def stop(self):
        if self.proc is None:
            return
        try:
            try:
                self.call("stop")
            except (OSError, MockServerError, ValueError):
                pass
            self._ctl_file.close()
            self._ctl.close()
            try:
                self.proc.stdin.close()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        finally:
            self.proc.stdout.close()
            self.proc = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def __del__(self):
        if getattr(self, "proc", None) is not None:
            try:
                self.proc.kill()
                self.proc.wait()
            except Exception:
                pass
