"""Wire encoders of the quote protocol: the inverse of what the client decodes.

Every encoder refuses a value it cannot represent exactly, so the data set can
never drift from the numbers documented for the tests.
"""

import hashlib
import math
import struct
import zlib

# Command codes of the requests the mock understands.
CMD_SETUP = 0x000D
CMD_SETUP_3 = 0x0FDB
CMD_SECURITY_COUNT = 0x044E
CMD_SECURITY_LIST = 0x0450
CMD_SECURITY_BARS = 0x052D
CMD_SECURITY_QUOTES = 0x053E
CMD_TRANSACTION_DATA = 0x0FC5
CMD_HISTORY_TRANSACTION_DATA = 0x0FB5
CMD_HISTORY_MINUTE_TIME_DATA = 0x0FB4
CMD_XDXR_INFO = 0x000F
CMD_FINANCE_INFO = 0x0010
CMD_BLOCK_INFO_META = 0x02C5
CMD_BLOCK_INFO = 0x06B9

# Short names used in the request log, the counters and fault matching.
CMD_NAMES = {
    CMD_SETUP: "setup",
    CMD_SETUP_3: "setup3",
    CMD_SECURITY_COUNT: "count",
    CMD_SECURITY_LIST: "list",
    CMD_SECURITY_BARS: "bars",
    CMD_SECURITY_QUOTES: "quotes",
    CMD_TRANSACTION_DATA: "ticks",
    CMD_HISTORY_TRANSACTION_DATA: "history_ticks",
    CMD_HISTORY_MINUTE_TIME_DATA: "minute",
    CMD_XDXR_INFO: "xdxr",
    CMD_FINANCE_INFO: "finance",
    CMD_BLOCK_INFO_META: "block_meta",
    CMD_BLOCK_INFO: "block_chunk",
}

# Categories whose bar date is the packed date-and-time form.
INTRADAY_CATEGORIES = frozenset({0, 1, 2, 3, 7, 8})


class EncodeError(ValueError):
    pass


# ---------------------------------------------------------------- numbers

def price_varint(value: int) -> bytes:
    """Signed variable-length integer: sign in bit 6 of the first byte."""
    if not isinstance(value, int):
        raise EncodeError(f"varint needs an int, got {value!r}")
    neg = value < 0
    mag = -value if neg else value
    first = mag & 0x3F
    mag >>= 6
    if neg:
        first |= 0x40
    out = bytearray()
    if mag:
        first |= 0x80
    out.append(first)
    while mag:
        b = mag & 0x7F
        mag >>= 7
        if mag:
            b |= 0x80
        out.append(b)
    return bytes(out)


def volume_float(value) -> bytes:
    """Packed 4-byte float of volumes and amounts.

    The format stores value = M * 2**k with a 24-bit mantissa M in
    [2**23, 2**24); an even k puts the mantissa's low 23 bits below 0x80 in
    byte 2, an odd k sets bit 7 of byte 2. Values that need more than 24
    significant bits are refused rather than rounded.
    """
    if value == 0:
        return b"\x00\x00\x00\x00"
    if value < 0:
        raise EncodeError(f"volume float cannot be negative: {value!r}")
    mfrac, e = math.frexp(value)          # value = mfrac * 2**e, mfrac in [0.5, 1)
    mant = math.ldexp(mfrac, 24)          # in [2**23, 2**24)
    k = e - 24
    if mant != int(mant) or float(value) != value:
        raise EncodeError(f"volume float {value!r} needs more than 24 bits")
    mant = int(mant)
    m = mant - 2 ** 23
    if k % 2 == 0:
        b3 = (k + 150) // 2
        b2 = m >> 16
    else:
        b3 = (k + 149) // 2
        b2 = 0x80 | (m >> 16)
    if not 0 <= b3 <= 255:
        raise EncodeError(f"volume float {value!r} out of range")
    return bytes([m & 0xFF, (m >> 8) & 0xFF, b2, b3])


def decode_volume_float(b: bytes) -> float:
    """Reference decoder, used by the self-checks of the encoder."""
    b0, b1, b2, b3 = b[0], b[1], b[2], b[3]
    if b0 == b1 == b2 == b3 == 0:
        return 0.0
    e = 2 * b3
    base = 2.0 ** (e - 127)
    if b2 >= 128:
        t2 = 2.0 ** (e - 127) + (b2 - 128) * 2.0 ** (e - 133)
        t1 = b1 * 2.0 ** (e - 141)
        t0 = b0 * 2.0 ** (e - 149)
    else:
        t2 = b2 * 2.0 ** (e - 134)
        t1 = b1 * 2.0 ** (e - 142)
        t0 = b0 * 2.0 ** (e - 150)
    return base + t2 + t1 + t0


def f32(value) -> bytes:
    packed = struct.pack("<f", value)
    if struct.unpack("<f", packed)[0] != value:
        raise EncodeError(f"{value!r} is not exact in single precision")
    return packed


def bar_date_packed(year, month, day, hour, minute) -> bytes:
    if not 2004 <= year < 2004 + 32:
        raise EncodeError(f"packed date cannot hold year {year}")
    v = ((year - 2004) << 11) | (month * 100 + day)
    return struct.pack("<HH", v, hour * 60 + minute)


def bar_date_plain(year, month, day) -> bytes:
    return struct.pack("<I", year * 10000 + month * 100 + day)


def code6(code) -> bytes:
    raw = code.encode("utf-8") if isinstance(code, str) else bytes(code)
    return raw[:6].ljust(6, b"\x00")


def text_field(text, width) -> bytes:
    """GBK text cut or padded with NULs to a fixed width; bytes pass unchanged."""
    raw = text if isinstance(text, (bytes, bytearray)) else text.encode("gbk")
    if len(raw) > width:
        raise EncodeError(f"{text!r} does not fit {width} bytes")
    return bytes(raw).ljust(width, b"\x00")


# ---------------------------------------------------------------- framing

RESPONSE_MAGIC = b"\xb1\xcb\x74\x00"


def response_header(cmd: int, zip_size: int, unzip_size: int, seq: int = 0) -> bytes:
    """16-byte reply header; only bytes 12-15 carry meaning for the client."""
    return (RESPONSE_MAGIC + bytes([0x0C]) + struct.pack("<I", seq)[:3]
            + b"\x00" + bytes([0]) + struct.pack("<H", cmd)
            + struct.pack("<HH", zip_size, unzip_size))


def frame(cmd: int, body: bytes, compress: str = "auto", seq: int = 0):
    """Returns (header, wire body). The body is zlib data exactly when the
    two header lengths differ, so compression is used only when it changes
    the length."""
    if len(body) > 0xFFFF:
        raise EncodeError(f"body of {len(body)} bytes does not fit the header")
    wire = body
    if compress == "always" or (compress == "auto" and len(body) >= 256):
        z = zlib.compress(body)
        if len(z) != len(body) and len(z) <= 0xFFFF:
            wire = z
    return response_header(cmd, len(wire), len(body), seq), wire


# ---------------------------------------------------------------- bodies

def bars_body(bars, category: int, index: bool = False) -> bytes:
    """bars: sequence of dicts with year, month, day, hour, minute and
    open/close/high/low in thousandths, vol, amount (and up/down for index
    bars), oldest first. Prices are coded against the running previous close
    of this reply, which starts at 0."""
    out = bytearray(struct.pack("<H", len(bars)))
    prev = 0
    for b in bars:
        if category in INTRADAY_CATEGORIES:
            out += bar_date_packed(b["year"], b["month"], b["day"], b["hour"], b["minute"])
        else:
            out += bar_date_plain(b["year"], b["month"], b["day"])
        out += price_varint(b["open"] - prev)
        out += price_varint(b["close"] - b["open"])
        out += price_varint(b["high"] - b["open"])
        out += price_varint(b["low"] - b["open"])
        out += volume_float(b["vol"])
        out += volume_float(b["amount"])
        if index:
            out += struct.pack("<HH", b["up"], b["down"])
        prev = b["close"]
    return bytes(out)


def quote_record(q) -> bytes:
    """One quote record; prices are integers in the security's unit."""
    p = q["price"]
    out = bytearray()
    out.append(q["market"])
    out += code6(q["code"])
    out += struct.pack("<H", q["active1"])
    out += price_varint(p)
    for key in ("last_close", "open", "high", "low"):
        out += price_varint(q[key] - p)
    out += price_varint(q["reversed_bytes0"])
    out += price_varint(q["reversed_bytes1"])
    out += price_varint(q["vol"])
    out += price_varint(q["cur_vol"])
    out += volume_float(q["amount"])
    out += price_varint(q["s_vol"])
    out += price_varint(q["b_vol"])
    out += price_varint(q["reversed_bytes2"])
    out += price_varint(q["reversed_bytes3"])
    for lvl in range(5):
        out += price_varint(q["bids"][lvl] - p)
        out += price_varint(q["asks"][lvl] - p)
        out += price_varint(q["bid_vols"][lvl])
        out += price_varint(q["ask_vols"][lvl])
    out += struct.pack("<H", q["reversed_bytes4"])
    for key in ("reversed_bytes5", "reversed_bytes6", "reversed_bytes7", "reversed_bytes8"):
        out += price_varint(q[key])
    out += struct.pack("<h", q["reversed_bytes9"])
    out += struct.pack("<H", q["active2"])
    return bytes(out)


def quotes_body(quotes) -> bytes:
    out = bytearray(b"\xb1\xcb" + struct.pack("<H", len(quotes)))
    for q in quotes:
        out += quote_record(q)
    return bytes(out)


def security_list_body(rows) -> bytes:
    """rows: dicts with code, volunit, name (str or raw 8 bytes),
    decimal_point, pre_close."""
    out = bytearray(struct.pack("<H", len(rows)))
    for r in rows:
        out += code6(r["code"])
        out += struct.pack("<H", r["volunit"])
        out += text_field(r["name"], 8)
        out += b"\x00\x00\x00\x00"
        out += struct.pack("<B", r["decimal_point"])
        out += volume_float(r["pre_close"])
        out += b"\x00\x00\x00\x00"
    return bytes(out)


def count_body(count: int) -> bytes:
    return struct.pack("<H", count)


def minute_time_body(points) -> bytes:
    """points: (price in the security's unit, vol) in time order."""
    out = bytearray(struct.pack("<H", len(points)) + b"\x00\x00\x00\x00")
    prev = 0
    for price, vol in points:
        out += price_varint(price - prev)
        out += price_varint(0)
        out += price_varint(vol)
        prev = price
    return bytes(out)


def ticks_body(ticks) -> bytes:
    """Live ticks: dicts with minutes, price (unit integer), vol, num,
    buyorsell, reserved; oldest first."""
    out = bytearray(struct.pack("<H", len(ticks)))
    prev = 0
    for t in ticks:
        out += struct.pack("<H", t["minutes"])
        out += price_varint(t["price"] - prev)
        out += price_varint(t["vol"])
        out += price_varint(t["num"])
        out += price_varint(t["buyorsell"])
        out += price_varint(t["reserved"])
        prev = t["price"]
    return bytes(out)


def history_ticks_body(ticks) -> bytes:
    out = bytearray(struct.pack("<H", len(ticks)) + b"\x00\x00\x00\x00")
    prev = 0
    for t in ticks:
        out += struct.pack("<H", t["minutes"])
        out += price_varint(t["price"] - prev)
        out += price_varint(t["vol"])
        out += price_varint(t["buyorsell"])
        out += price_varint(t["reserved"])
        prev = t["price"]
    return bytes(out)


def xdxr_body(market: int, code: str, events) -> bytes:
    """events: dicts with date (YYYYMMDD), category and the values of the
    category's group (fenhong/peigujia/songzhuangu/peigu, suogu,
    xingquanjia/fenshu, or the four share counts)."""
    out = bytearray(bytes([market]) + code6(code) + b"\x00\x00")
    out += struct.pack("<H", len(events))
    for e in events:
        out += bytes([market]) + code6(code) + b"\x00"
        out += struct.pack("<I", e["date"])
        cat = e["category"]
        out.append(cat)
        if cat == 1:
            data = (f32(e.get("fenhong", 0.0)) + f32(e.get("peigujia", 0.0))
                    + f32(e.get("songzhuangu", 0.0)) + f32(e.get("peigu", 0.0)))
        elif cat in (11, 12):
            data = b"\x00" * 8 + f32(e["suogu"]) + b"\x00" * 4
        elif cat in (13, 14):
            data = f32(e["xingquanjia"]) + b"\x00" * 4 + f32(e["fenshu"]) + b"\x00" * 4
        else:
            data = (volume_float(e["panqianliutong"]) + volume_float(e["qianzongguben"])
                    + volume_float(e["panhouliutong"]) + volume_float(e["houzongguben"]))
        out += data
    return bytes(out)


FINANCE_FLOATS = (
    "zongguben", "guojiagu", "faqirenfarengu", "farengu", "bgu", "hgu",
    "zhigonggu", "zongzichan", "liudongzichan", "gudingzichan", "wuxingzichan",
    "gudongrenshu", "liudongfuzhai", "changqifuzhai", "zibengongjijin",
    "jingzichan", "zhuyingshouru", "zhuyinglirun", "yingshouzhangkuan",
    "yingyelirun", "touzishouyu", "jingyingxianjinliu", "zongxianjinliu",
    "cunhuo", "lirunzonghe", "shuihoulirun", "jinglirun", "weifenpeilirun",
    "meigujingzichan", "baoliu2",
)


def finance_body(market: int, code: str, f) -> bytes:
    out = bytearray(struct.pack("<H", 1) + bytes([market]) + code6(code))
    out += f32(f["liutongguben"])
    out += struct.pack("<HHII", f["province"], f["industry"], f["updated_date"], f["ipo_date"])
    for name in FINANCE_FLOATS:
        out += f32(f[name])
    assert len(out) == 145
    return bytes(out)


def block_meta_body(size: int, content_hash: bytes) -> bytes:
    assert len(content_hash) == 32
    return struct.pack("<I", size) + b"\x01" + content_hash + b"\x00\x00\x00"


def block_chunk_body(piece: bytes) -> bytes:
    return struct.pack("<I", len(piece)) + piece


def block_file(blocks, header_text: bytes = b"quotix mock block file") -> bytes:
    """blocks: dicts with name (str, or raw bytes for a byte-order-mark
    name), block_type, codes. The last block is cut after its last code, as
    real files may be."""
    out = bytearray(header_text.ljust(384, b"\x00"))
    out += struct.pack("<H", len(blocks))
    for i, b in enumerate(blocks):
        slot = bytearray(text_field(b["name"], 9))
        slot += struct.pack("<HH", len(b["codes"]), b["block_type"])
        for c in b["codes"]:
            slot += text_field(c, 7)
        if i != len(blocks) - 1:
            slot = slot.ljust(2813, b"\x00")
        out += slot
    return bytes(out)


def sha256(data: bytes) -> bytes:
    return hashlib.sha256(data).digest()
