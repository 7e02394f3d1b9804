"""Starts the mock quote server as a child process and talks to its control port (the C++ tests
have the same calls in tests/cpp/mock_server.hpp)."""

import json
import os
import select
import socket
import subprocess
import sys

SERVER_PY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "server.py")


class MockServer:
    """One mock process with `servers` quote ports on 127.0.0.1; it ends with stop(), or by itself
    when this process dies and the pipe to its stdin closes."""

    def __init__(self, servers=1):
        self.proc = subprocess.Popen([sys.executable, SERVER_PY, "--servers", str(servers)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not select.select([self.proc.stdout], [], [], 15)[0]:
            self.proc.kill()
            raise RuntimeError("mock server did not start in time")
        info = json.loads(self.proc.stdout.readline())
        self.ports, self.port, self.host = info["ports"], info["ports"][0], "127.0.0.1"
        self._ctl = socket.create_connection((self.host, info["control"]), timeout=10)
        self._ctl_file = self._ctl.makefile("rb")

    def address(self, i=0):
        return self.host, self.ports[i]

    def call(self, op, **fields):
        self._ctl.sendall((json.dumps({"op": op, **fields}) + "\n").encode())
        resp = json.loads(self._ctl_file.readline())
        if not resp.get("ok"):
            raise RuntimeError(resp.get("error", "control call failed"))
        return resp

    def set_fault(self, action, **params):
        """Adds one fault, e.g. set_fault("delay", cmd="bars", seconds=2, nth=1)."""
        return self.call("set_fault", fault={"action": action, **params})["id"]

    def requests(self, cmd=None, server=None):
        """Requests of one kind (None: all kinds), on one server (index) or on all."""
        c = self.call("counters")
        c = c["total"] if server is None else c["servers"][server]
        return c["requests_total"] if cmd is None else c["requests"].get(cmd, 0)

    def counters(self, server=None):
        c = self.call("counters")
        return c["total"] if server is None else c["servers"][server]

    def args(self, cmd):
        """The decoded arguments of every request of one kind, in arrival order."""
        return [e["args"] for e in self.call("log", cmd=cmd)["entries"]]

    def reset(self):
        self.call("reset")

    def listen(self, server, on):
        self.call("listen", server=server, on=on)

    def stop(self):
        try:
            self.call("stop")
        except (OSError, ValueError, RuntimeError):
            pass
        self._ctl.close()
        self.proc.stdin.close()
        self.proc.wait(10)
        self.proc.stdout.close()
