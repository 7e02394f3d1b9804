"""Wire encoders of the quote protocol: the inverse of what the client decodes. A volume float
refuses a value it cannot hold exactly, so the data set never drifts from what the tests expect."""

import math
import struct
import zlib

# Categories whose bar date is the packed date-and-time form.
INTRADAY_CATEGORIES = frozenset({0, 1, 2, 3, 7, 8})


def varint(*values) -> bytes:
    """Signed variable-length integers: sign in bit 6 of the first byte, 6 bits then 7 per byte."""
    out = bytearray()
    for value in values:
        mag = abs(value)
        out.append((mag & 0x3F) | (0x40 if value < 0 else 0) | (0x80 if mag >> 6 else 0))
        mag >>= 6
        while mag:
            out.append((mag & 0x7F) | (0x80 if mag >> 7 else 0))
            mag >>= 7
    return bytes(out)


def volume_float(*values) -> bytes:
    """Packed 4-byte floats of volumes and amounts: value = M * 2**k with a 24-bit mantissa M; an
    even k keeps bit 7 of byte 2 clear, an odd k sets it."""
    out = bytearray()
    for value in values:
        mfrac, e = math.frexp(value)          # value = mfrac * 2**e, mfrac in [0.5, 1)
        m, k = math.ldexp(mfrac, 24), e - 24  # m in [2**23, 2**24)
        if value < 0 or m != int(m):
            raise ValueError(f"volume float {value!r} needs more than 24 bits")
        m = int(m) - 2 ** 23
        b3, b2 = ((k + 150) // 2, m >> 16) if k % 2 == 0 else ((k + 149) // 2, 0x80 | (m >> 16))
        out += bytes([m & 0xFF, (m >> 8) & 0xFF, b2, b3]) if value else bytes(4)
    return bytes(out)


def f32(*values) -> bytes:
    return struct.pack(f"<{len(values)}f", *values)


def text(value, width) -> bytes:
    """GBK text (or raw bytes) padded with NULs to a fixed width."""
    raw = value if isinstance(value, bytes) else value.encode("gbk")
    assert len(raw) <= width, f"{value!r} does not fit {width} bytes"
    return raw.ljust(width, b"\0")


def header(cmd: int, zip_size: int, unzip_size: int) -> bytes:
    """16-byte reply header; only the command and the two sizes carry meaning for the client."""
    return b"\xb1\xcb\x74\x00\x0c" + bytes(5) + struct.pack("<HHH", cmd, zip_size, unzip_size)


def frame(cmd: int, body: bytes):
    """(header, wire body): a body of 256 bytes or more is compressed, unless that keeps its
    length, since zlib data is told by the two header sizes differing."""
    z = zlib.compress(body) if len(body) >= 256 else body
    wire = z if len(z) != len(body) else body
    return header(cmd, len(wire), len(body)), wire


def bars_body(bars, category: int, index: bool = False) -> bytes:
    """bars: dicts with the date parts, prices in thousandths, vol, amount (and up/down for index
    bars), oldest first; open runs against the previous close, from 0."""
    out, prev = bytearray(struct.pack("<H", len(bars))), 0
    for b in bars:
        if category in INTRADAY_CATEGORIES:
            out += struct.pack("<HH", ((b["year"] - 2004) << 11) | (b["month"] * 100 + b["day"]),
                               b["hour"] * 60 + b["minute"])
        else:
            out += struct.pack("<I", b["year"] * 10000 + b["month"] * 100 + b["day"])
        out += varint(b["open"] - prev, b["close"] - b["open"], b["high"] - b["open"], b["low"] - b["open"])
        out += volume_float(b["vol"], b["amount"]) + (struct.pack("<HH", b["up"], b["down"]) if index else b"")
        prev = b["close"]
    return bytes(out)


def quote_record(market: int, raw_code: bytes, p: int) -> bytes:
    """One quote at price p (in the security's unit); the fields around it follow from p or are constants."""
    vol = 99000 + p
    return (bytes([market]) + raw_code + struct.pack("<H", 100) + varint(p, -10, -5, 20, -30, 14302541, 3, vol, 100)
            + volume_float(vol * 1000) + varint(60000, 40000, 0, 0)
            + b"".join(varint(-k, k, 100 * k, 200 * k) for k in range(1, 6))
            + struct.pack("<H", 1) + varint(0, 0, 0, 0) + struct.pack("<hH", -5, 100))


def security_list_body(rows) -> bytes:
    """rows: dicts with code, volunit, name (text, or raw 8 bytes), decimal_point, pre_close."""
    return struct.pack("<H", len(rows)) + b"".join(
        text(r["code"], 6) + struct.pack("<H", r["volunit"]) + text(r["name"], 8) + bytes(4)
        + bytes([r["decimal_point"]]) + volume_float(r["pre_close"]) + bytes(4) for r in rows)


def minute_time_body(points) -> bytes:
    """points: (price in the security's unit, vol) in time order."""
    prices = [0] + [p for p, _ in points]
    return struct.pack("<H4x", len(points)) + b"".join(
        varint(p - prev, 0, vol) for prev, (p, vol) in zip(prices, points))


def ticks_body(ticks, history=False) -> bytes:
    """Ticks oldest first; the history form has 4 more header bytes and no num."""
    prices = [0] + [t["price"] for t in ticks]
    return struct.pack("<H", len(ticks)) + (bytes(4) if history else b"") + b"".join(
        struct.pack("<H", t["minutes"]) + varint(t["price"] - prev, t["vol"], *([] if history else [t["num"]]),
                                                 t["buyorsell"], 0) for prev, t in zip(prices, ticks))


def xdxr_body(market: int, code: str, events) -> bytes:
    """events: dicts with date (YYYYMMDD), category and the values of the category's group."""
    out = bytearray(bytes([market]) + text(code, 6) + b"\0\0" + struct.pack("<H", len(events)))
    for e in events:
        cat, get = e["category"], lambda *keys: [e.get(k, 0.0) for k in keys]
        out += bytes([market]) + text(code, 6) + b"\0" + struct.pack("<IB", e["date"], cat)
        if cat == 1:
            out += f32(*get("fenhong", "peigujia", "songzhuangu", "peigu"))
        elif cat in (11, 12):
            out += bytes(8) + f32(e["suogu"]) + bytes(4)
        elif cat in (13, 14):
            out += f32(e["xingquanjia"], 0, e["fenshu"], 0)
        else:
            out += volume_float(*get("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"))
    return bytes(out)


def finance_body(market: int, code: str, m: int) -> bytes:
    """The finance record of code m (mod 1000)."""
    return (struct.pack("<HB", 1, market) + text(code, 6) + f32(1000000 + m)
            + struct.pack("<HHII", m % 32, m % 100, 20240630, 19991110) + f32(*(1000 * j + m for j in range(1, 31))))


def block_file(blocks) -> bytes:
    """blocks: (name, codes[, type, 2 if left out]); 384 header bytes, then 2813-byte slots, the
    last one cut after its last code, as real files may be."""
    out = bytearray(b"quotix mock block file".ljust(384, b"\0") + struct.pack("<H", len(blocks)))
    for i, (name, codes, *kind) in enumerate(blocks):
        slot = text(name, 9) + struct.pack("<HH", len(codes), *(kind or [2])) + b"".join(text(c, 7) for c in codes)
        out += slot if i == len(blocks) - 1 else slot.ljust(2813, b"\0")
    return bytes(out)
