"""Wire encoders of the quote protocol: the inverse of what the client decodes.

An encoder refuses a value it cannot represent exactly, so the data set never drifts from the
numbers the tests expect.
"""

import math
import struct
import zlib

# Categories whose bar date is the packed date-and-time form.
INTRADAY_CATEGORIES = frozenset({0, 1, 2, 3, 7, 8})


def price_varint(value: int) -> bytes:
    """Signed variable-length integer: sign in bit 6 of the first byte, 6 bits then 7 per byte."""
    mag = abs(value)
    first = (mag & 0x3F) | (0x40 if value < 0 else 0)
    mag >>= 6
    out = bytearray([first | (0x80 if mag else 0)])
    while mag:
        out.append((mag & 0x7F) | (0x80 if mag >> 7 else 0))
        mag >>= 7
    return bytes(out)


def volume_float(value) -> bytes:
    """Packed 4-byte float of volumes and amounts: value = M * 2**k with a 24-bit mantissa M; an
    even k keeps bit 7 of byte 2 clear, an odd k sets it."""
    if value == 0:
        return bytes(4)
    mfrac, e = math.frexp(value)          # value = mfrac * 2**e, mfrac in [0.5, 1)
    m, k = math.ldexp(mfrac, 24), e - 24  # m in [2**23, 2**24)
    if value < 0 or m != int(m):
        raise ValueError(f"volume float {value!r} needs more than 24 bits")
    m = int(m) - 2 ** 23
    b3, b2 = ((k + 150) // 2, m >> 16) if k % 2 == 0 else ((k + 149) // 2, 0x80 | (m >> 16))
    return bytes([m & 0xFF, (m >> 8) & 0xFF, b2, b3])


def f32(value) -> bytes:
    packed = struct.pack("<f", value)
    if struct.unpack("<f", packed)[0] != value:
        raise ValueError(f"{value!r} is not exact in single precision")
    return packed


def code6(code) -> bytes:
    raw = code.encode() if isinstance(code, str) else bytes(code)
    return raw[:6].ljust(6, b"\0")


def text_field(text, width) -> bytes:
    """GBK text padded with NULs to a fixed width; bytes pass unchanged."""
    raw = text if isinstance(text, bytes) else text.encode("gbk")
    if len(raw) > width:
        raise ValueError(f"{text!r} does not fit {width} bytes")
    return raw.ljust(width, b"\0")


def response_header(cmd: int, zip_size: int, unzip_size: int) -> bytes:
    """16-byte reply header; only the command and the two sizes carry meaning for the client."""
    return b"\xb1\xcb\x74\x00\x0c" + bytes(5) + struct.pack("<HHH", cmd, zip_size, unzip_size)


def frame(cmd: int, body: bytes, compress: str = "auto"):
    """(header, wire body): zlib data exactly when the two header sizes differ, so a body is
    compressed only when that changes its length."""
    wire = body
    if compress == "always" or (compress == "auto" and len(body) >= 256):
        z = zlib.compress(body)
        if len(z) != len(body):
            wire = z
    return response_header(cmd, len(wire), len(body)), wire


def bars_body(bars, category: int, index: bool = False) -> bytes:
    """bars: dicts with the date parts, open/close/high/low in thousandths, vol, amount (and
    up/down for index bars), oldest first; prices run against the previous close, from 0."""
    out = bytearray(struct.pack("<H", len(bars)))
    prev = 0
    for b in bars:
        if category in INTRADAY_CATEGORIES:
            out += struct.pack("<HH", ((b["year"] - 2004) << 11) | (b["month"] * 100 + b["day"]),
                               b["hour"] * 60 + b["minute"])
        else:
            out += struct.pack("<I", b["year"] * 10000 + b["month"] * 100 + b["day"])
        for value in (b["open"] - prev, b["close"] - b["open"], b["high"] - b["open"], b["low"] - b["open"]):
            out += price_varint(value)
        out += volume_float(b["vol"]) + volume_float(b["amount"])
        if index:
            out += struct.pack("<HH", b["up"], b["down"])
        prev = b["close"]
    return bytes(out)


def quotes_body(quotes) -> bytes:
    """quotes: dicts with prices as integers in the security's unit."""
    out = bytearray(b"\xb1\xcb" + struct.pack("<H", len(quotes)))
    for q in quotes:
        p = q["price"]
        out += bytes([q["market"]]) + code6(q["code"]) + struct.pack("<H", q["active1"]) + price_varint(p)
        for key in ("last_close", "open", "high", "low"):
            out += price_varint(q[key] - p)
        for key in ("reversed_bytes0", "reversed_bytes1", "vol", "cur_vol"):
            out += price_varint(q[key])
        out += volume_float(q["amount"])
        for key in ("s_vol", "b_vol", "reversed_bytes2", "reversed_bytes3"):
            out += price_varint(q[key])
        for lvl in range(5):
            out += price_varint(q["bids"][lvl] - p) + price_varint(q["asks"][lvl] - p)
            out += price_varint(q["bid_vols"][lvl]) + price_varint(q["ask_vols"][lvl])
        out += struct.pack("<H", q["reversed_bytes4"])
        for key in ("reversed_bytes5", "reversed_bytes6", "reversed_bytes7", "reversed_bytes8"):
            out += price_varint(q[key])
        out += struct.pack("<hH", q["reversed_bytes9"], q["active2"])
    return bytes(out)


def security_list_body(rows) -> bytes:
    """rows: dicts with code, volunit, name (text, or raw 8 bytes), decimal_point, pre_close."""
    out = bytearray(struct.pack("<H", len(rows)))
    for r in rows:
        out += code6(r["code"]) + struct.pack("<H", r["volunit"]) + text_field(r["name"], 8) + bytes(4)
        out += bytes([r["decimal_point"]]) + volume_float(r["pre_close"]) + bytes(4)
    return bytes(out)


def minute_time_body(points) -> bytes:
    """points: (price in the security's unit, vol) in time order."""
    out = bytearray(struct.pack("<H", len(points)) + bytes(4))
    prev = 0
    for price, vol in points:
        out += price_varint(price - prev) + price_varint(0) + price_varint(vol)
        prev = price
    return bytes(out)


def ticks_body(ticks, history=False) -> bytes:
    """Ticks oldest first; the history form has 4 more header bytes and no num."""
    out = bytearray(struct.pack("<H", len(ticks)) + (bytes(4) if history else b""))
    prev = 0
    for t in ticks:
        out += struct.pack("<H", t["minutes"]) + price_varint(t["price"] - prev) + price_varint(t["vol"])
        if not history:
            out += price_varint(t["num"])
        out += price_varint(t["buyorsell"]) + price_varint(t["reserved"])
        prev = t["price"]
    return bytes(out)


def xdxr_body(market: int, code: str, events) -> bytes:
    """events: dicts with date (YYYYMMDD), category and the values of the category's group."""
    out = bytearray(bytes([market]) + code6(code) + b"\0\0" + struct.pack("<H", len(events)))
    for e in events:
        cat = e["category"]
        out += bytes([market]) + code6(code) + b"\0" + struct.pack("<IB", e["date"], cat)
        if cat == 1:
            out += b"".join(f32(e.get(k, 0.0)) for k in ("fenhong", "peigujia", "songzhuangu", "peigu"))
        elif cat in (11, 12):
            out += bytes(8) + f32(e["suogu"]) + bytes(4)
        elif cat in (13, 14):
            out += f32(e["xingquanjia"]) + bytes(4) + f32(e["fenshu"]) + bytes(4)
        else:
            out += b"".join(volume_float(e[k]) for k in
                            ("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"))
    return bytes(out)


FINANCE_FLOATS = (
    "zongguben guojiagu faqirenfarengu farengu bgu hgu zhigonggu zongzichan liudongzichan gudingzichan "
    "wuxingzichan gudongrenshu liudongfuzhai changqifuzhai zibengongjijin jingzichan zhuyingshouru "
    "zhuyinglirun yingshouzhangkuan yingyelirun touzishouyu jingyingxianjinliu zongxianjinliu cunhuo "
    "lirunzonghe shuihoulirun jinglirun weifenpeilirun meigujingzichan baoliu2").split()


def finance_body(market: int, code: str, f) -> bytes:
    out = struct.pack("<HB", 1, market) + code6(code) + f32(f["liutongguben"])
    out += struct.pack("<HHII", f["province"], f["industry"], f["updated_date"], f["ipo_date"])
    return out + b"".join(f32(f[name]) for name in FINANCE_FLOATS)


def block_file(blocks) -> bytes:
    """blocks: dicts with name, block_type, codes; 384 header bytes, then 2813-byte slots, the
    last one cut after its last code, as real files may be."""
    out = bytearray(b"quotix mock block file".ljust(384, b"\0") + struct.pack("<H", len(blocks)))
    for i, b in enumerate(blocks):
        slot = text_field(b["name"], 9) + struct.pack("<HH", len(b["codes"]), b["block_type"])
        slot += b"".join(text_field(c, 7) for c in b["codes"])
        out += slot if i == len(blocks) - 1 else slot.ljust(2813, b"\0")
    return bytes(out)
