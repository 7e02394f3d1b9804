"""Starts the loopback mock quote server (server.py) as a child process, for the tests, the demo
and the benchmarks."""

import json
import os
import select
import socket
import subprocess
import sys

MOCK = os.path.dirname(os.path.abspath(__file__))


class MockServer:
    """The mock (../mock_server/README.md) as a child process with `servers` quote ports on
    127.0.0.1; it ends with stop(), or when the pipe to its stdin closes with this process."""

    def __init__(self, servers=1):
        self.proc = subprocess.Popen([sys.executable, os.path.join(MOCK, "server.py"), "--servers", str(servers)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        assert select.select([self.proc.stdout], [], [], 15)[0], "mock server did not start in time"
        info = json.loads(self.proc.stdout.readline())
        self.ports, self._ctl = info["ports"], socket.create_connection(("127.0.0.1", info["control"]), timeout=10)
        self._replies = self._ctl.makefile("rb")

    def address(self, i=0):
        return "127.0.0.1", self.ports[i]

    def call(self, op, **fields):
        self._ctl.sendall((json.dumps({"op": op, **fields}) + "\n").encode())
        reply = json.loads(self._replies.readline())
        assert reply.pop("ok"), reply
        return reply

    def set_fault(self, action, **params):
        """One fault, e.g. set_fault("delay", cmd="bars", seconds=2, nth=1)."""
        self.call("set_fault", fault={"action": action, **params})

    def counters(self, server=None):
        """accepted, handshakes, open, requests ({kind: n}) and requests_total, of one port or all."""
        c = self.call("counters")
        return c["total"] if server is None else c["servers"][server]

    def stop(self):
        self.call("stop")
        self.proc.stdin.close()
        self.proc.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
