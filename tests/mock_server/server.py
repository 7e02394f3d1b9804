#!/usr/bin/env python3
"""Loopback mock of a TDX quote server, for the tests of quotix.

Runs as its own process (the client holds the interpreter lock while it
waits on the network, so an in-process server thread would never answer).
Listens only on 127.0.0.1: one or more quote ports plus a control port that
speaks line-based JSON. See README.md for the protocol and the data set.
"""

import argparse
import asyncio
import collections
import json
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dataset as D  # noqa: E402
import encoders as E  # noqa: E402

HOST = "127.0.0.1"  # never anything else: tests must stay on the loopback
LOG_LIMIT = 200000

# Names a fault's "cmd" may use besides the per-command names and numbers.
CMD_GROUPS = {
    "setup": {"setup1", "setup2"},
    "handshake": {"setup1", "setup2", "setup3"},
    "data": set(E.CMD_NAMES.values()) - {"setup", "setup3"} | {"unknown", "malformed"},
    "any": None,
    "*": None,
}
ALL_NAMES = set(E.CMD_NAMES.values()) | {"setup1", "setup2", "unknown", "accept"}

CLOSE_POINTS = ("before_header", "inside_header", "after_header", "inside_body", "after_body")


class ControlError(Exception):
    pass


# ---------------------------------------------------------------- faults

class Fault:
    _next_id = 1

    def __init__(self, params: dict):
        params = dict(params)
        self.params = params
        self.id = Fault._next_id
        Fault._next_id += 1
        action = params.get("action")
        if not action:
            raise ControlError("fault needs an action")
        if action == "refuse":
            params.setdefault("cmd", "accept")
        if action == "fail_handshake":
            params.setdefault("cmd", "setup1")
            params.setdefault("when", "before_header")
            action = "close"
        if action == "truncate":
            params.setdefault("when", "inside_body")
            action = "close"
        if action == "late":
            action = "delay"
        if action not in ("delay", "stall", "close", "cut_body", "corrupt_zlib", "zero_body",
                          "bad_lengths", "garbage", "twice", "body", "empty", "refuse", "partial"):
            raise ControlError(f"unknown fault action {action!r}")
        self.action = action
        self.cmds = self._parse_cmd(params.get("cmd"))
        self.server = params.get("server")
        self.port = params.get("port")
        nth = params.get("nth")
        self.skip = int(params.get("skip", 0))
        self.times = params.get("times")
        if nth is not None:
            self.skip = int(nth) - 1
            self.times = 1
        self.seen = 0
        self.fired = 0
        when = params.get("when", "before_header")
        if action in ("close", "partial") and when not in CLOSE_POINTS:
            raise ControlError(f"unknown close point {when!r}")
        self.when = when

    @staticmethod
    def _parse_cmd(cmd):
        if cmd is None:
            return None
        items = cmd if isinstance(cmd, list) else [cmd]
        names = set()
        for item in items:
            if isinstance(item, int) or (isinstance(item, str) and item.lower().startswith("0x")):
                code = item if isinstance(item, int) else int(item, 16)
                if code == E.CMD_SETUP:
                    names |= {"setup1", "setup2"}
                elif code in E.CMD_NAMES:
                    names.add(E.CMD_NAMES[code])
                else:
                    raise ControlError(f"unknown command code {item!r}")
            elif item in CMD_GROUPS:
                group = CMD_GROUPS[item]
                if group is None:
                    return "requests"
                names |= group
            elif item in ALL_NAMES:
                names.add(item)
            else:
                raise ControlError(f"unknown command name {item!r}")
        return names

    def matches(self, server, name):
        if self.server is not None and self.server != server.index:
            return False
        if self.port is not None and self.port != server.port:
            return False
        if self.cmds is None or self.cmds == "requests":
            return name != "accept"
        return name in self.cmds

    def should_fire(self):
        self.seen += 1
        if self.seen <= self.skip:
            return False
        if self.times is not None and self.fired >= int(self.times):
            return False
        self.fired += 1
        return True

    def describe(self):
        return {"id": self.id, "params": self.params, "seen": self.seen, "fired": self.fired}

    def get(self, key, default=None):
        return self.params.get(key, default)


# ---------------------------------------------------------------- state

class QuoteServer:
    def __init__(self, index, compress):
        self.index = index
        self.port = 0
        self.server = None
        self.compress = compress
        self.reset()

    def reset(self):
        self.accepted = 0
        self.handshakes = 0
        self.closed = 0
        self.requests = collections.Counter()
        self.faults_fired = 0
        self.open = getattr(self, "open", 0)

    def counters(self):
        return {
            "index": self.index, "port": self.port, "listening": self.server is not None,
            "accepted": self.accepted, "handshakes": self.handshakes, "open": self.open,
            "closed": self.closed, "requests": dict(self.requests),
            "requests_total": sum(v for k, v in self.requests.items()),
            "faults_fired": self.faults_fired, "compress": self.compress,
        }


class Mock:
    def __init__(self, n_servers, config):
        compress = config.get("compress", "auto")
        self.servers = [QuoteServer(i, compress) for i in range(n_servers)]
        self.faults = []
        self.log = collections.deque(maxlen=LOG_LIMIT)
        self.seq = 0
        self.conn_seq = 0
        self.stop_event = asyncio.Event()
        self.verbose = bool(config.get("verbose"))
        for f in config.get("faults", []):
            self.faults.append(Fault(f))

    # -- faults
    def pick_fault(self, server, name):
        chosen = None
        for f in self.faults:
            if f.matches(server, name) and f.should_fire() and chosen is None:
                chosen = f
        if chosen is not None:
            server.faults_fired += 1
        return chosen

    def add_log(self, server, conn, name, cmd, args, raw, fault=None, note=None):
        self.seq += 1
        entry = {
            "seq": self.seq, "t": time.time(), "mono": time.monotonic(),
            "server": server.index, "port": server.port, "conn": conn,
            "cmd": name, "code": cmd, "args": args, "raw": raw.hex(),
            "fault": fault.action if fault else None,
        }
        if note:
            entry["note"] = note
        self.log.append(entry)
        if self.verbose:
            print(json.dumps(entry, ensure_ascii=False), file=sys.stderr, flush=True)
        return entry

    # -- listening
    async def start_server(self, srv):
        srv.server = await asyncio.start_server(
            lambda r, w: self.handle(srv, r, w), HOST, srv.port or 0, reuse_address=True)
        srv.port = srv.server.sockets[0].getsockname()[1]

    async def stop_listening(self, srv):
        if srv.server is not None:
            srv.server.close()
            await srv.server.wait_closed()
            srv.server = None

    # -- one connection
    async def handle(self, srv, reader, writer):
        srv.accepted += 1
        srv.open += 1
        self.conn_seq += 1
        conn = self.conn_seq
        sock = writer.get_extra_info("socket")
        try:
            fault = self.pick_fault(srv, "accept")
            if fault is not None:
                self.add_log(srv, conn, "accept", None, {}, b"", fault)
                if fault.action == "delay":
                    # A slow server: silent for a while, then normal service.
                    await asyncio.sleep(float(fault.get("seconds", 1.0)))
                elif fault.action == "stall":
                    await self.drain_until_eof(reader)
                    await self.finish(writer, sock)
                    return
                else:
                    await self.finish(writer, sock, rst=bool(fault.get("rst")))
                    return
            while True:
                try:
                    head = await reader.readexactly(12)
                except (asyncio.IncompleteReadError, ConnectionError):
                    break
                len1, len2, cmd = struct.unpack_from("<HHH", head, 6)
                if len1 != len2 or len1 < 2:
                    self.add_log(srv, conn, "malformed", cmd, {"len1": len1, "len2": len2}, head,
                                 note="length fields disagree")
                    break
                try:
                    body = await reader.readexactly(len1 - 2)
                except (asyncio.IncompleteReadError, ConnectionError):
                    break
                name, args = decode_request(cmd, body)
                srv.requests[name] += 1
                fault = self.pick_fault(srv, name)
                self.add_log(srv, conn, name, cmd, args, head + body, fault)
                try:
                    reply = build_reply(name, args, body)
                except Exception as exc:  # a bug in the data set must not kill the server
                    self.add_log(srv, conn, "error", cmd, {"error": repr(exc)}, b"")
                    reply = b"\x00\x00"
                keep_going = await self.send_reply(srv, reader, writer, sock, cmd, reply, name, fault)
                if not keep_going:
                    return
                if name == "setup3" and (fault is None or fault.action in ("delay", "twice")):
                    srv.handshakes += 1
            await self.finish(writer, sock)
        except Exception as exc:  # keep serving other connections whatever happens here
            self.add_log(srv, conn, "error", None, {"error": repr(exc)}, b"")
            await self.finish(writer, sock, rst=True)
        finally:
            srv.open -= 1
            srv.closed += 1

    async def finish(self, writer, sock, rst=False):
        try:
            if rst and sock is not None:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                writer.transport.abort()
            else:
                writer.close()
                await writer.wait_closed()
        except Exception:
            pass

    async def write(self, writer, data):
        writer.write(data)
        await writer.drain()

    async def send_reply(self, srv, reader, writer, sock, cmd, body, name, fault):
        """Sends the reply, shaped by the fault if any; False ends the connection."""
        compress = srv.compress
        if fault is not None and fault.get("compress") is not None:
            compress = fault.get("compress")
        action = fault.action if fault else None
        if action == "body":
            body = bytes.fromhex(fault.get("hex", ""))
        elif action == "empty":
            body = empty_body(name)
        elif action == "cut_body":
            keep = fault.get("keep", len(body) // 2)
            body = body[:max(0, len(body) + keep) if keep < 0 else keep]
        header, wire = E.frame(cmd, body, compress)
        try:
            if action is None or action in ("body", "empty", "cut_body"):
                await self.write(writer, header + wire)
            elif action == "delay":
                await asyncio.sleep(float(fault.get("seconds", 1.0)))
                await self.write(writer, header + wire)
            elif action == "twice":
                await self.write(writer, header + wire + header + wire)
            elif action == "stall":
                await self.drain_until_eof(reader)
                await self.finish(writer, sock)
                return False
            elif action in ("close", "partial"):
                when = fault.when
                full = header + wire
                cut = 0
                if when == "inside_header":
                    cut = int(fault.get("bytes", 8))
                elif when == "after_header":
                    cut = len(header)
                elif when == "inside_body":
                    cut = len(header) + int(fault.get("bytes", max(1, len(wire) // 2) if wire else 0))
                elif when == "after_body":
                    cut = len(full)
                if cut:
                    await self.write(writer, full[:cut])
                then = fault.get("then", "stall") if action == "partial" else "close"
                if then == "finish":
                    # A reply that arrives in two parts, the second after a pause.
                    await asyncio.sleep(float(fault.get("seconds", 1.0)))
                    await self.write(writer, full[cut:])
                    return True
                if then == "stall":
                    await self.drain_until_eof(reader)
                    await self.finish(writer, sock)
                    return False
                await self.finish(writer, sock, rst=bool(fault.get("rst")) or then == "rst")
                return False
            elif action == "corrupt_zlib":
                bad = b"\x78\x9c" + b"\xff" * 16
                unzip = len(body) if len(body) != len(bad) else len(body) + 1
                await self.write(writer, E.response_header(cmd, len(bad), unzip) + bad)
            elif action == "zero_body":
                await self.write(writer, E.response_header(cmd, 0, 0))
            elif action == "bad_lengths":
                zip_size = int(fault.get("zip_size", len(wire) + 100))
                unzip_size = int(fault.get("unzip_size", zip_size if wire is body else len(body)))
                await self.write(writer, E.response_header(cmd, zip_size & 0xFFFF, unzip_size & 0xFFFF) + wire)
            elif action == "garbage":
                junk = bytes.fromhex(fault.get("hex")) if "hex" in fault.params else b"\xee" * int(fault.get("bytes", 64))
                await self.write(writer, junk)
                then = fault.get("then", "keep")
                if then in ("close", "rst"):
                    await self.finish(writer, sock, rst=(then == "rst"))
                    return False
            else:
                await self.write(writer, header + wire)
        except (ConnectionError, OSError):
            return False
        return True

    async def drain_until_eof(self, reader):
        try:
            while await reader.read(65536):
                pass
        except (ConnectionError, OSError):
            pass

    # -- control channel
    async def handle_control(self, reader, writer):
        try:
            while True:
                line = await reader.readline()
                if not line:
                    break
                line = line.strip()
                if not line:
                    continue
                try:
                    req = json.loads(line)
                    resp = await self.control(req)
                    resp = {"ok": True, **resp}
                except (ControlError, ValueError, KeyError, TypeError) as exc:
                    resp = {"ok": False, "error": str(exc)}
                writer.write((json.dumps(resp, ensure_ascii=False) + "\n").encode("utf-8"))
                await writer.drain()
                if resp.get("stopping"):
                    self.stop_event.set()
                    break
        except (ConnectionError, OSError):
            pass
        finally:
            try:
                writer.close()
            except Exception:
                pass

    def _server(self, req):
        if req.get("server") is not None:
            i = int(req["server"])
            if not 0 <= i < len(self.servers):
                raise ControlError(f"no server {i}")
            return self.servers[i]
        return None

    async def control(self, req):
        op = req.get("op")
        if op == "ping":
            return {}
        if op in ("set_fault", "fault"):
            items = req.get("fault", req.get("faults"))
            if items is None:
                items = {k: v for k, v in req.items() if k != "op"}
            ids = []
            for params in items if isinstance(items, list) else [items]:
                f = Fault(params)
                self.faults.append(f)
                ids.append(f.id)
            return {"id": ids[0] if len(ids) == 1 else None, "ids": ids}
        if op == "clear_faults":
            if req.get("id") is not None:
                self.faults = [f for f in self.faults if f.id != int(req["id"])]
            elif req.get("server") is not None:
                self.faults = [f for f in self.faults if f.server != int(req["server"])]
            else:
                self.faults = []
            return {}
        if op == "faults":
            return {"faults": [f.describe() for f in self.faults]}
        if op == "counters":
            servers = [s.counters() for s in self.servers]
            total = collections.Counter()
            for s in self.servers:
                total.update(s.requests)
            return {
                "servers": servers,
                "total": {
                    "accepted": sum(s.accepted for s in self.servers),
                    "handshakes": sum(s.handshakes for s in self.servers),
                    "open": sum(s.open for s in self.servers),
                    "closed": sum(s.closed for s in self.servers),
                    "requests": dict(total),
                    "requests_total": sum(total.values()),
                    "faults_fired": sum(s.faults_fired for s in self.servers),
                },
            }
        if op == "log":
            since = int(req.get("since", 0))
            srv = self._server(req)
            cmd = req.get("cmd")
            entries = [e for e in self.log if e["seq"] > since
                       and (srv is None or e["server"] == srv.index)
                       and (cmd is None or e["cmd"] == cmd)]
            limit = req.get("limit")
            if limit is not None:
                entries = entries[-int(limit):]
            return {"entries": entries, "last_seq": self.seq}
        if op == "reset":
            for s in self.servers:
                s.reset()
            self.log.clear()
            if req.get("faults", True):
                self.faults = []
            return {}
        if op == "options":
            srv = self._server(req)
            for s in [srv] if srv else self.servers:
                if "compress" in req:
                    if req["compress"] not in ("auto", "always", "never"):
                        raise ControlError("compress must be auto, always or never")
                    s.compress = req["compress"]
            return {}
        if op == "listen":
            srv = self._server(req)
            if srv is None:
                raise ControlError("listen needs a server")
            if req.get("on", True):
                if srv.server is None:
                    await self.start_server(srv)
            else:
                await self.stop_listening(srv)
            return {"port": srv.port, "listening": srv.server is not None}
        if op == "stop":
            return {"stopping": True}
        raise ControlError(f"unknown op {op!r}")


# ---------------------------------------------------------------- requests

def _code(raw):
    return raw.rstrip(b"\x00").decode("utf-8", "replace")


def _name(raw):
    return raw.split(b"\x00", 1)[0].decode("utf-8", "replace")


def decode_request(cmd, body):
    """(name, args) of one request; the body is what follows the 12-byte header."""
    try:
        if cmd == E.CMD_SETUP:
            which = body[0] if body else 0
            return ("setup2" if which == 2 else "setup1"), {"body": body.hex()}
        if cmd == E.CMD_SETUP_3:
            return "setup3", {"body": body.hex()}
        if cmd == E.CMD_SECURITY_COUNT:
            market, date = struct.unpack_from("<HI", body)
            return "count", {"market": market, "date": date}
        if cmd == E.CMD_SECURITY_LIST:
            market, start = struct.unpack_from("<HH", body)
            return "list", {"market": market, "start": start}
        if cmd == E.CMD_SECURITY_BARS:
            market = struct.unpack_from("<H", body, 0)[0]
            code = body[2:8]
            category, flag, start, count = struct.unpack_from("<HHHH", body, 8)
            if len(body) < 26:
                raise struct.error("short bars request")
            return "bars", {"market": market, "code": _code(code), "code_hex": code.hex(),
                            "category": category, "fq": flag, "start": start, "count": count,
                            "tail": body[16:].hex()}
        if cmd == E.CMD_SECURITY_QUOTES:
            const, zero32, zero16, n = struct.unpack_from("<HIHH", body)
            pairs = []
            for i in range(n):
                off = 10 + 7 * i
                if off + 7 > len(body):
                    raise struct.error("short quotes request")
                pairs.append([body[off], _code(body[off + 1:off + 7]), body[off + 1:off + 7].hex()])
            return "quotes", {"n": n, "head": [const, zero32, zero16],
                              "pairs": [[m, c] for m, c, _ in pairs],
                              "codes_hex": [h for _, _, h in pairs]}
        if cmd == E.CMD_TRANSACTION_DATA:
            market = struct.unpack_from("<H", body, 0)[0]
            start, count = struct.unpack_from("<HH", body, 8)
            return "ticks", {"market": market, "code": _code(body[2:8]), "start": start, "count": count}
        if cmd == E.CMD_HISTORY_TRANSACTION_DATA:
            date, market = struct.unpack_from("<IH", body, 0)
            start, count = struct.unpack_from("<HH", body, 12)
            return "history_ticks", {"date": date, "market": market, "code": _code(body[6:12]),
                                     "start": start, "count": count}
        if cmd == E.CMD_HISTORY_MINUTE_TIME_DATA:
            date, market = struct.unpack_from("<IB", body, 0)
            if len(body) < 11:
                raise struct.error("short minute request")
            return "minute", {"date": date, "market": market, "code": _code(body[5:11])}
        if cmd in (E.CMD_XDXR_INFO, E.CMD_FINANCE_INFO):
            one, market = struct.unpack_from("<HB", body, 0)
            if len(body) < 9:
                raise struct.error("short request")
            return E.CMD_NAMES[cmd], {"one": one, "market": market, "code": _code(body[3:9])}
        if cmd == E.CMD_BLOCK_INFO_META:
            if len(body) < 40:
                raise struct.error("short block meta request")
            return "block_meta", {"file": _name(body[:40])}
        if cmd == E.CMD_BLOCK_INFO:
            offset, size = struct.unpack_from("<II", body, 0)
            if len(body) < 108:
                raise struct.error("short block chunk request")
            return "block_chunk", {"offset": offset, "size": size, "file": _name(body[8:108])}
    except (struct.error, IndexError) as exc:
        return "malformed", {"cmd": cmd, "error": str(exc), "body": body.hex()}
    return "unknown", {"cmd": cmd, "body": body.hex()}


def build_reply(name, args, body):
    if name == "setup1":
        return D.SETUP_REPLY_1
    if name == "setup2":
        return D.SETUP_REPLY_2
    if name == "setup3":
        return D.SETUP_REPLY_3
    if name == "count":
        return E.count_body(D.security_count(args["market"]))
    if name == "list":
        return E.security_list_body(D.security_list_page(args["market"], args["start"]))
    if name == "bars":
        return D.bars_reply(args["market"], args["code"], args["category"], args["start"], args["count"])
    if name == "quotes":
        pairs = [(m, bytes.fromhex(h)) for (m, _), h in zip(args["pairs"], args["codes_hex"])]
        return D.quotes_reply(pairs)
    if name == "ticks":
        return D.ticks_reply(args["market"], args["code"], args["start"], args["count"])
    if name == "history_ticks":
        return D.history_ticks_reply(args["market"], args["code"], args["start"], args["count"], args["date"])
    if name == "minute":
        return E.minute_time_body(D.minute_points(args["market"], args["code"]))
    if name == "xdxr":
        return D.xdxr_reply(args["market"], args["code"])
    if name == "finance":
        return D.finance_reply(args["market"], args["code"])
    if name == "block_meta":
        return D.block_meta_reply(args["file"])
    if name == "block_chunk":
        return D.block_chunk_reply(args["file"], args["offset"], args["size"])
    # An unknown or malformed request gets a short reply rather than silence,
    # so a client bug shows up as a decoding failure, not as a time-out.
    return b"\x00\x00"


def empty_body(name):
    """The reply a server gives when it has nothing for the request."""
    return {
        "bars": b"\x00\x00", "list": b"\x00\x00", "count": b"\x00\x00",
        "quotes": b"\xb1\xcb\x00\x00", "ticks": b"\x00\x00",
        "history_ticks": b"\x00" * 6, "minute": b"\x00" * 6,
        "xdxr": b"\x00" * 11, "block_chunk": b"\x00" * 4,
        "block_meta": b"\x00" * 40,
    }.get(name, b"\x00\x00")


# ---------------------------------------------------------------- process

def parse_config(text):
    if not text:
        return {}
    if text.startswith("@"):
        with open(text[1:], encoding="utf-8") as fh:
            text = fh.read()
    cfg = json.loads(text)
    if isinstance(cfg, list):
        cfg = {"faults": cfg}
    return cfg


async def watch_parent(mock, parent):
    while not mock.stop_event.is_set():
        if os.getppid() != parent:
            mock.stop_event.set()
            return
        await asyncio.sleep(0.5)


async def main_async(args):
    config = parse_config(args.config)
    n = args.servers if args.servers is not None else int(config.get("servers", 1))
    mock = Mock(n, config)
    for srv in mock.servers:
        await mock.start_server(srv)
    control = await asyncio.start_server(mock.handle_control, HOST, 0, reuse_address=True)
    control_port = control.sockets[0].getsockname()[1]

    loop = asyncio.get_running_loop()
    if not args.no_watch:
        def on_stdin():
            try:
                data = os.read(0, 4096)
            except OSError:
                data = b""
            if not data:
                loop.remove_reader(0)
                mock.stop_event.set()
        try:
            loop.add_reader(0, on_stdin)
        except (OSError, ValueError, PermissionError):
            pass  # stdin is a plain file or absent: the parent watch still works
        asyncio.ensure_future(watch_parent(mock, os.getppid()))

    sys.stdout.write(json.dumps({"ports": [s.port for s in mock.servers],
                                 "control": control_port, "pid": os.getpid()}) + "\n")
    sys.stdout.flush()
    await mock.stop_event.wait()
    control.close()
    for srv in mock.servers:
        if srv.server is not None:
            srv.server.close()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Loopback mock quote server for the quotix tests")
    ap.add_argument("--servers", type=int, default=None, help="number of quote ports (default 1)")
    ap.add_argument("--config", default="", help="JSON config, or @file: faults, compress, verbose")
    ap.add_argument("--no-watch", action="store_true",
                    help="do not exit when stdin closes or the parent dies")
    args = ap.parse_args(argv)
    try:
        asyncio.run(main_async(args))
    except KeyboardInterrupt:
        pass
    # Pending connection tasks are not worth waiting for.
    os._exit(0)


if __name__ == "__main__":
    main()
