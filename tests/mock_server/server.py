#!/usr/bin/env python3
"""Loopback mock of a TDX quote server for the quotix tests (README.md: protocol, faults, data).
A process of its own, since a quotix call holds the interpreter lock while it waits on the network;
listens on 127.0.0.1 only: quote ports, and a control port speaking one JSON object per line."""

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
# Where a `close` fault cuts the reply: (header, wire body) -> bytes sent before the cut.
CUTS = {"before_header": lambda h, w: 0, "inside_header": lambda h, w: 8,
        "inside_body": lambda h, w: len(h) + max(1, len(w) // 2)}
ACTIONS = {"delay", "stall", "close", "refuse", "corrupt_zlib", "zero_body", "twice", "body", "empty"}


def decode(cmd, body):
    """(name, args) of one request; body is what follows the 12-byte header."""
    if cmd in (0x000D, 0x0FDB):
        return ("setup3" if cmd == 0x0FDB else "setup2" if body[:1] == b"\x02" else "setup1"), {}
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
    def __init__(self, params):
        self.params, self.action = params, params.get("action")
        if self.action not in ACTIONS or params.get("when", "before_header") not in CUTS:
            raise ValueError(f"unknown fault {params!r}")
        self.cmd = params.get("cmd", "accept" if self.action == "refuse" else None)
        self.server, self.nth, self.skip, self.seen = params.get("server"), params.get("nth"), params.get("skip", 0), 0

    def due(self, server, name):
        """Counts a matching request; True when the fault fires on it."""
        if self.server not in (None, server) or not (name == self.cmd if self.cmd else name != "accept"):
            return False
        self.seen += 1
        return self.seen == self.nth if self.nth else self.seen > self.skip


class Port:
    def __init__(self, index):
        self.index, self.port, self.server = index, 0, None
        self.accepted = self.handshakes = self.open = 0
        self.requests = collections.Counter()
        self.writers = set()


class Mock:
    def __init__(self, n):
        self.ports, self.faults, self.conns = [Port(i) for i in range(n)], [], 0
        self.log, self.stop = collections.deque(maxlen=100000), asyncio.Event()

    def pick(self, port, name):
        """The first due fault; every fault counts what it matches."""
        return ([f for f in self.faults if f.due(port.index, name)] + [None])[0]

    async def listen(self, port):
        port.server = await asyncio.start_server(lambda r, w: self.serve(port, r, w), HOST, port.port,
                                                 reuse_address=True)
        port.port = port.server.sockets[0].getsockname()[1]

    async def serve(self, port, reader, writer):
        self.conns, port.accepted, port.open = self.conns + 1, port.accepted + 1, port.open + 1
        conn = self.conns
        port.writers.add(writer)
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
                self.log.append({"server": port.index, "conn": conn, "cmd": name, "args": args,
                                 "raw": (head + body).hex(), "mono": time.monotonic()})
                if not await self.answer(reader, writer, cmd, name, args, fault):
                    break
                port.handshakes += name == "setup3" and (fault is None or fault.action in ("delay", "twice"))
        except (asyncio.IncompleteReadError, OSError):
            pass
        finally:
            writer.close()
            port.writers.discard(writer)
            port.open -= 1

    async def answer(self, reader, writer, cmd, name, args, fault):
        """Sends the reply to one request, shaped by the fault; False ends the connection."""
        action, p = (fault.action, fault.params) if fault else (None, {})
        if action == "stall":  # never a reply; read until the client gives up
            while await reader.read(65536):
                pass
            return False
        empty = b"\xb1\xcb\0\0" if name == "quotes" else b"\0\0"  # a body of no records
        body = bytes.fromhex(p["hex"]) if action == "body" else empty if action == "empty" else D.reply(name, args)
        head, wire = E.frame(cmd, body)
        out = head + wire
        if action == "delay":
            await asyncio.sleep(p.get("seconds", 1.0))
        elif action == "twice" and "seconds" in p:  # the copy comes later, while the connection may idle
            asyncio.get_running_loop().call_later(p["seconds"], lambda: writer.is_closing() or writer.write(out))
        elif action == "twice":
            out += out
        elif action == "corrupt_zlib":  # sizes that differ, and a body that does not inflate
            bad = b"\x78\x9c" + b"\xff" * 16
            out = E.header(cmd, len(bad), len(body) + (len(body) == len(bad))) + bad
        elif action == "zero_body":
            out = E.header(cmd, 0, 0)
        elif action == "close":
            out = out[:CUTS[p.get("when", "before_header")](head, wire)]
        writer.write(out)
        await writer.drain()
        return action != "close"

    async def control(self, req):
        op = req["op"]
        if op == "set_fault":
            self.faults.append(Fault(req["fault"]))
            return {"id": len(self.faults)}
        if op == "counters":
            ports = [{"accepted": p.accepted, "handshakes": p.handshakes, "open": p.open, "requests": dict(p.requests),
                      "requests_total": sum(p.requests.values())} for p in self.ports]
            total = {k: sum(p[k] for p in ports) for k in ("accepted", "handshakes", "open", "requests_total")}
            total["requests"] = dict(sum((p.requests for p in self.ports), collections.Counter()))
            return {"servers": ports, "total": total}
        elif op == "log":
            return {"entries": [e for e in self.log if req.get("cmd") in (None, e["cmd"])]}
        elif op == "reset":  # counters (not open), the log and the faults
            for p in self.ports:
                p.accepted = p.handshakes = 0
                p.requests.clear()
            self.log.clear()
            self.faults = []
        elif op == "listen":  # a port that is off refuses connections; open ones stay unless dropped
            port, on = self.ports[req["server"]], req.get("on", True)
            if on and not port.server:
                await self.listen(port)
            elif not on and port.server:
                port.server.close()
                port.server = None
            if not on and req.get("drop"):  # the server went away: its sockets close too
                for w in list(port.writers):
                    w.close()
        elif op == "stop":
            self.stop.set()
        else:
            raise ValueError(f"unknown op {op!r}")
        return {}

    async def serve_control(self, reader, writer):
        while line := await reader.readline():
            try:
                reply = {"ok": True, **await self.control(json.loads(line))}
            except Exception as exc:
                reply = {"ok": False, "error": repr(exc)}
            writer.write((json.dumps(reply, ensure_ascii=False) + "\n").encode())
            await writer.drain()
        writer.close()


async def run(servers):
    mock = Mock(servers)
    for port in mock.ports:
        await mock.listen(port)
    control = await asyncio.start_server(mock.serve_control, HOST, 0, reuse_address=True)
    loop = asyncio.get_running_loop()
    # The tests hold a pipe to stdin: its end means they are gone.
    loop.add_reader(0, lambda: os.read(0, 4096) or (loop.remove_reader(0), mock.stop.set()))
    print(json.dumps({"ports": [p.port for p in mock.ports], "control": control.sockets[0].getsockname()[1]}),
          flush=True)
    await mock.stop.wait()
    await asyncio.sleep(0.05)  # lets the reply to "stop" go out


if __name__ == "__main__":  # server.py [--servers N]
    asyncio.run(run(int(dict(zip(sys.argv[1::2], sys.argv[2::2])).get("--servers", 1))))
    os._exit(0)  # open connections are not worth waiting for
