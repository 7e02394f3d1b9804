"""A minimal raw-socket client of the quote protocol, used only to test the
mock server itself. It is written independently of the mock's encoders so the
two check each other."""

import socket
import struct
import zlib

SETUP_PACKETS = [
    bytes.fromhex("0c0218930001030003000d0001"),
    bytes.fromhex("0c0218940001030003000d0002"),
    bytes.fromhex("0c031899000120002000db0fd5d0c9ccd6a4a8af0000008fc22540130000d500c9ccbdf0d7ea00000002"),
]


def packet(fixed_hex: str, cmd: int, body: bytes) -> bytes:
    n = len(body) + 2
    return bytes.fromhex(fixed_hex) + struct.pack("<HHH", n, n, cmd) + body


def code6(code: str) -> bytes:
    return code.encode("utf-8")[:6].ljust(6, b"\x00")


def count_req(market):
    return packet("0c0c186c0001", 0x044E, struct.pack("<HI", market, 20170613))


def list_req(market, start):
    return packet("0c0118640101", 0x0450, struct.pack("<HH", market, start))


def bars_req(category, market, code, start, count, fq=0):
    return packet("0c0108640101", 0x052D,
                  struct.pack("<H", market) + code6(code)
                  + struct.pack("<HHHH", category, fq, start & 0xFFFF, count) + b"\x00" * 10)


# ---------------------------------------------------------------- transport

class Conn:
    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data)

    def read_exact(self, n):
        buf = bytearray()
        while len(buf) < n:
            chunk = self.sock.recv(n - len(buf))
            if not chunk:
                raise EOFError(f"stream ended after {len(buf)} of {n} bytes")
            buf += chunk
        return bytes(buf)

    def read_reply(self, allow_empty=False):
        """Returns (header, body) with the body inflated when the sizes differ."""
        head = self.read_exact(16)
        zip_size, unzip_size = struct.unpack_from("<HH", head, 12)
        if zip_size == 0 and not allow_empty:
            raise ValueError("empty response body")
        raw = self.read_exact(zip_size) if zip_size else b""
        body = zlib.decompress(raw) if zip_size != unzip_size else raw
        return head, body

    def handshake(self):
        for p in SETUP_PACKETS:
            self.send(p)
            self.read_reply(allow_empty=True)

    def request(self, pkt):
        self.send(pkt)
        return self.read_reply()[1]


# ---------------------------------------------------------------- decoding

def varint(buf, pos):
    b = buf[pos]
    neg = bool(b & 0x40)
    val = b & 0x3F
    shift = 6
    pos += 1
    while b & 0x80:
        b = buf[pos]
        val |= (b & 0x7F) << shift
        shift += 7
        pos += 1
    return (-val if neg else val), pos


def volume_float(b):
    b0, b1, b2, b3 = b
    if b0 == b1 == b2 == b3 == 0:
        return 0.0
    e = 2 * b3
    if b2 >= 128:
        return 2.0 ** (e - 127) + 2.0 ** (e - 127) + (b2 - 128) * 2.0 ** (e - 133) + b1 * 2.0 ** (e - 141) + b0 * 2.0 ** (e - 149)
    return 2.0 ** (e - 127) + b2 * 2.0 ** (e - 134) + b1 * 2.0 ** (e - 142) + b0 * 2.0 ** (e - 150)


INTRADAY = {0, 1, 2, 3, 7, 8}


def parse_bars(body, category, index=False):
    count = struct.unpack_from("<H", body)[0]
    pos = 2
    prev = 0
    bars = []
    for _ in range(count):
        if category in INTRADAY:
            v, m = struct.unpack_from("<HH", body, pos)
            date = ((v >> 11) + 2004, (v % 2048) // 100, (v % 2048) % 100, m // 60, m % 60)
        else:
            d = struct.unpack_from("<I", body, pos)[0]
            date = (d // 10000, d % 10000 // 100, d % 100, 0, 0)
        pos += 4
        d1, pos = varint(body, pos)
        d2, pos = varint(body, pos)
        d3, pos = varint(body, pos)
        d4, pos = varint(body, pos)
        o = prev + d1
        c = o + d2
        bar = {"date": date, "open": o, "close": c, "high": o + d3, "low": o + d4,
               "vol": volume_float(body[pos:pos + 4]), "amount": volume_float(body[pos + 4:pos + 8])}
        pos += 8
        if index:
            bar["up"], bar["down"] = struct.unpack_from("<HH", body, pos)
            pos += 4
        prev = c
        bars.append(bar)
    assert pos == len(body), "trailing bytes after the bars"
    return bars
