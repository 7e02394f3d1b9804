#!/usr/bin/env python3
"""Loopback mock of a TDX quote server for the quotix tests (README.md: protocol, faults, data).

A process of its own: a quotix call holds the interpreter lock while it waits on the network, so
a server thread inside the test process would never answer. Listens on 127.0.0.1 only: one or
more quote ports and a control port speaking one JSON object per line.
"""

import argparse
import asyncio
import collections
import json
import os
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dataset as D  # noqa: E402
import encoders as E  # noqa: E402

HOST = "127.0.0.1"  # never anything else: tests must stay on the loopback

# command -> (name, body layout, fields); a 6-byte field is a code, a longer one a file name
REQUESTS = {
    0x044E: ("count", "<HI", "market date"),
    0x0450: ("list", "<HH", "market start"),
    0x052D: ("bars", "<H6sHHHH", "market code category fq start count"),
    0x0FC5: ("ticks", "<H6sHH", "market code start count"),
    0x0FB5: ("history_ticks", "<IH6sHH", "date market code start count"),
    0x0FB4: ("minute", "<IB6s", "date market code"),
    0x000F: ("xdxr", "<HB6s", "one market code"),
    0x0010: ("finance", "<HB6s", "one market code"),
    0x02C5: ("block_meta", "<40s", "file"),
    0x06B9: ("block_chunk", "<II100s", "offset size file"),
}
ACTIONS = {"delay", "stall", "close", "fail_handshake", "refuse", "cut_body", "corrupt_zlib", "zero_body",
           "twice", "body", "empty"}
# The "nothing found" body of each request kind.
EMPTY = {"quotes": b"\xb1\xcb\0\0", "history_ticks": bytes(6), "minute": bytes(6), "xdxr": bytes(11),
         "block_chunk": bytes(4), "block_meta": bytes(40)}


def decode(cmd, body):
    """(name, args) of one request; body is what follows the 12-byte header."""
    if cmd == 0x000D:
        return ("setup2" if body[:1] == b"\x02" else "setup1"), {}
    if cmd == 0x0FDB:
        return "setup3", {}
    try:
        if cmd == 0x053E:
            n = struct.unpack_from("<H", body, 8)[0]
            raw = [body[10 + 7 * i:17 + 7 * i] for i in range(n)]
            if len(body) < 10 + 7 * n:
                raise struct.error("short quotes request")
            return "quotes", {"n": n, "pairs": [[r[0], r[1:].rstrip(b"\0").decode("utf-8", "replace")] for r in raw],
                              "codes_hex": [r[1:].hex() for r in raw]}
        name, layout, fields = REQUESTS[cmd]
        values = [v.split(b"\0")[0].decode("utf-8", "replace") if isinstance(v, bytes) else v
                  for v in struct.unpack_from(layout, body)]
        return name, dict(zip(fields.split(), values))
    except (KeyError, struct.error):
        return "unknown", {"cmd": cmd, "body": body.hex()}


class Fault:
    def __init__(self, params, fid):
        self.params, self.id, self.action = params, fid, params.get("action")
        if self.action not in ACTIONS:
            raise ValueError(f"unknown fault action {self.action!r}")
        cmd = params.get("cmd", {"refuse": "accept", "fail_handshake": "setup1"}.get(self.action))
        self.cmds = None if cmd is None else set(cmd if isinstance(cmd, list) else [cmd])
        self.server, nth = params.get("server"), params.get("nth")
        self.skip, self.times = (nth - 1, 1) if nth else (params.get("skip", 0), params.get("times"))
        self.seen = self.fired = 0

    def due(self, server, name):
        """Counts a matching request; True when the fault fires on it."""
        if self.server not in (None, server) or (name not in self.cmds if self.cmds else name == "accept"):
            return False
        self.seen += 1
        if self.seen <= self.skip or (self.times is not None and self.fired >= self.times):
            return False
        self.fired += 1
        return True


class Port:
    def __init__(self, index, compress):
        self.index, self.compress, self.port, self.server = index, compress, 0, None
        self.accepted = self.handshakes = self.open = 0
        self.requests = collections.Counter()

    def counters(self):
        return {"accepted": self.accepted, "handshakes": self.handshakes, "open": self.open,
                "requests": dict(self.requests), "requests_total": sum(self.requests.values())}


class Mock:
    def __init__(self, n, config):
        self.ports = [Port(i, config.get("compress", "auto")) for i in range(n)]
        self.faults, self.next_id, self.conns = [], 0, 0
        self.log = collections.deque(maxlen=100000)
        self.verbose = bool(config.get("verbose"))
        self.stop = asyncio.Event()

    def pick(self, port, name):
        # Every fault counts what it matches; the first due one fires.
        due = [f for f in self.faults if f.due(port.index, name)]
        return due[0] if due else None

    async def listen(self, port):
        port.server = await asyncio.start_server(lambda r, w: self.serve(port, r, w), HOST, port.port,
                                                 reuse_address=True)
        port.port = port.server.sockets[0].getsockname()[1]

    async def serve(self, port, reader, writer):
        port.accepted += 1
        port.open += 1
        self.conns += 1
        conn = self.conns
        try:
            if self.pick(port, "accept"):
                return  # refused: closed before the set-up
            while True:
                head = await reader.readexactly(12)
                len1, len2, cmd = struct.unpack_from("<HHH", head, 6)
                if len1 != len2 or len1 < 2:
                    break  # framing lost: close, as a server would
                body = await reader.readexactly(len1 - 2)
                name, args = decode(cmd, body)
                port.requests[name] += 1
                fault = self.pick(port, name)
                entry = {"server": port.index, "conn": conn, "cmd": name, "args": args, "raw": (head + body).hex(),
                         "mono": time.monotonic()}
                self.log.append(entry)
                if self.verbose:
                    print(json.dumps(entry, ensure_ascii=False), file=sys.stderr, flush=True)
                if not await self.answer(port, reader, writer, cmd, name, args, fault):
                    break
                if name == "setup3" and (fault is None or fault.action in ("delay", "twice")):
                    port.handshakes += 1
        except (asyncio.IncompleteReadError, OSError):
            pass
        finally:
            writer.close()
            port.open -= 1

    async def answer(self, port, reader, writer, cmd, name, args, fault):
        """Sends the reply to one request, shaped by the fault; False ends the connection."""
        action, p = (fault.action, fault.params) if fault else (None, {})
        if action == "body":
            body = bytes.fromhex(p.get("hex", ""))
        elif action == "empty":
            body = EMPTY.get(name, b"\0\0")
        else:
            try:
                body = D.reply(name, args)
            except Exception:  # a data-set bug shows as a decoding failure, not a dead server
                body = b"\0\0"
        if action == "cut_body":
            keep = p.get("keep", len(body) // 2)
            body = body[:max(0, len(body) + keep) if keep < 0 else keep]
        header, wire = E.frame(cmd, body, port.compress)
        out = header + wire
        if action == "delay":
            await asyncio.sleep(p.get("seconds", 1.0))
        elif action == "twice":
            out += out
        elif action == "corrupt_zlib":  # sizes that differ, and a body that does not inflate
            bad = b"\x78\x9c" + b"\xff" * 16
            out = E.response_header(cmd, len(bad), len(body) + (len(body) == len(bad))) + bad
        elif action == "zero_body":
            out = E.response_header(cmd, 0, 0)
        elif action == "stall":
            while await reader.read(65536):
                pass
            return False
        elif action in ("close", "fail_handshake"):
            when = p.get("when", "before_header")
            cut = {"before_header": 0, "inside_header": p.get("bytes", 8),
                   "inside_body": len(header) + p.get("bytes", max(1, len(wire) // 2))}[when]
            out = out[:cut]
        writer.write(out)
        await writer.drain()
        return action not in ("close", "fail_handshake")

    def control(self, req):
        op = req.get("op")
        if op == "set_fault":
            self.next_id += 1
            self.faults.append(Fault(req["fault"], self.next_id))
            return {"id": self.next_id}
        if op == "clear_faults":  # one by id, or all
            self.faults = [f for f in self.faults if "id" in req and f.id != req["id"]]
        elif op == "counters":
            ports = [p.counters() for p in self.ports]
            total = {k: sum(p[k] for p in ports) for k in ("accepted", "handshakes", "open", "requests_total")}
            total["requests"] = dict(sum((p.requests for p in self.ports), collections.Counter()))
            return {"servers": ports, "total": total}
        elif op == "log":
            return {"entries": [e for e in self.log if req.get("cmd") in (None, e["cmd"])
                                and req.get("server") in (None, e["server"])]}
        elif op == "reset":  # counters (not open), the log and, by default, the faults
            for p in self.ports:
                p.accepted = p.handshakes = 0
                p.requests.clear()
            self.log.clear()
            if req.get("faults", True):
                self.faults = []
        elif op == "options":  # compress: "auto", "always" or "never"
            for p in self.ports:
                p.compress = req["compress"]
        elif op == "stop":
            self.stop.set()
        elif op != "ping":
            raise ValueError(f"unknown op {op!r}")
        return {}

    async def serve_control(self, reader, writer):
        while line := await reader.readline():
            try:
                req = json.loads(line)
                if req.get("op") == "listen":  # a port that is off refuses connections
                    port = self.ports[req["server"]]
                    if not req.get("on", True) and port.server:
                        port.server.close()  # the listening socket at once; open connections stay
                        port.server = None
                    elif req.get("on", True) and not port.server:
                        await self.listen(port)
                    resp = {"ok": True}
                else:
                    resp = {"ok": True, **self.control(req)}
            except Exception as exc:
                resp = {"ok": False, "error": repr(exc)}
            writer.write((json.dumps(resp, ensure_ascii=False) + "\n").encode())
            await writer.drain()
        writer.close()


async def main_async(args):
    config = json.loads(args.config or "{}")
    mock = Mock(args.servers, config)
    for port in mock.ports:
        await mock.listen(port)
    control = await asyncio.start_server(mock.serve_control, HOST, 0, reuse_address=True)
    loop = asyncio.get_running_loop()

    def on_stdin():  # the launcher holds a pipe to stdin: its end means the tests are gone
        if not os.read(0, 4096):
            loop.remove_reader(0)
            mock.stop.set()

    loop.add_reader(0, on_stdin)
    print(json.dumps({"ports": [p.port for p in mock.ports], "control": control.sockets[0].getsockname()[1],
                      "pid": os.getpid()}), flush=True)
    await mock.stop.wait()
    await asyncio.sleep(0.05)  # lets the reply to "stop" go out


def main():
    ap = argparse.ArgumentParser(description="Loopback mock quote server for the quotix tests")
    ap.add_argument("--servers", type=int, default=1, help="number of quote ports")
    ap.add_argument("--config", default="", help='JSON: {"compress": ..., "verbose": true}')
    asyncio.run(main_async(ap.parse_args()))
    os._exit(0)  # open connections are not worth waiting for


if __name__ == "__main__":
    main()
