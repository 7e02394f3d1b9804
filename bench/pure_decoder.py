"""A plain-Python decoder of quote-server replies, written with struct and zlib only.

This is the yardstick of the benchmark: the kind of client code a Python user would write
without a compiled core. It reads the same reply bytes and produces the same dicts as
TdxHqClient.get_security_bars and get_security_quotes, so the two can be timed per record.

It is written to be reasonably quick for pure Python (struct.unpack_from, local names, one
pass over the body), not deliberately slow.
"""

import struct
import zlib

_HEADER = struct.Struct("<12xHH")
_U16 = struct.Struct("<H")
_U32 = struct.Struct("<I")
_I16 = struct.Struct("<h")

# Categories whose bars carry the packed date-and-time instead of YYYYMMDD.
_INTRADAY = frozenset((0, 1, 2, 3, 7, 8))


def split_reply(raw):
    """(header bytes, body) of one framed reply; the body inflated when its two sizes differ."""
    zip_size, unzip_size = _HEADER.unpack_from(raw, 0)
    body = raw[16:16 + zip_size]
    if zip_size != unzip_size:
        body = zlib.decompress(body)
    return raw[:16], body


def read_varint(buf, pos):
    """The protocol's signed varint: 6 value bits and a sign in the first byte, 7 after."""
    b = buf[pos]
    pos += 1
    value = b & 0x3F
    negative = b & 0x40
    shift = 6
    while b & 0x80:
        b = buf[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        shift += 7
    return (-value if negative else value), pos


def volume_float(buf, pos):
    """The 4-byte packed float of volumes and amounts."""
    b0, b1, b2, b3 = buf[pos], buf[pos + 1], buf[pos + 2], buf[pos + 3]
    if not (b0 or b1 or b2 or b3):
        return 0.0
    e = 2 * b3
    base = 2.0 ** (e - 127)
    if b2 >= 128:
        t2 = base + (b2 - 128) * 2.0 ** (e - 133)
        t1 = b1 * 2.0 ** (e - 141)
        t0 = b0 * 2.0 ** (e - 149)
    else:
        t2 = b2 * 2.0 ** (e - 134)
        t1 = b1 * 2.0 ** (e - 142)
        t0 = b0 * 2.0 ** (e - 150)
    return base + t2 + t1 + t0


def decode_bars(body, category):
    """The bars of a K-line reply body as dicts, oldest first (complete records only)."""
    (count,) = _U16.unpack_from(body, 0)
    intraday = category in _INTRADAY
    pos = 2
    n = len(body)
    bars = []
    prev_close = 0
    for _ in range(count):
        if n - pos < 16:
            break
        if intraday:
            v, m = struct.unpack_from("<HH", body, pos)
            year = (v >> 11) + 2004
            month = (v % 2048) // 100
            day = (v % 2048) % 100
            hour, minute = divmod(m, 60)
            dt = f"{year:04}-{month:02}-{day:02} {hour:02}:{minute:02}"
        else:
            (d,) = _U32.unpack_from(body, pos)
            year, rest = divmod(d, 10000)
            month, day = divmod(rest, 100)
            hour = minute = 0
            dt = f"{year:04}-{month:02}-{day:02}"
        if year < 1980 or not 1 <= month <= 12 or not 1 <= day <= 31:
            break
        pos += 4
        d1, pos = read_varint(body, pos)
        d2, pos = read_varint(body, pos)
        d3, pos = read_varint(body, pos)
        d4, pos = read_varint(body, pos)
        open_ = prev_close + d1
        close = open_ + d2
        prev_close = close
        vol = volume_float(body, pos)
        amount = volume_float(body, pos + 4)
        pos += 8
        bars.append({
            "open": open_ / 1000.0,
            "close": close / 1000.0,
            "high": (open_ + d3) / 1000.0,
            "low": (open_ + d4) / 1000.0,
            "vol": vol,
            "amount": amount,
            "year": year,
            "month": month,
            "day": day,
            "hour": hour,
            "minute": minute,
            "datetime": dt,
        })
    return bars


def coefficient(market, code):
    """Price unit of quotes by market and code prefix."""
    if len(code) < 2:
        return 0.01
    two = code[:2]
    if market == 0:
        if two in ("39", "00", "30"):
            return 0.01
        if two in ("20", "15", "16"):
            return 0.001
        if two in ("10", "12", "13"):
            return 0.0001
        return 0.01
    if market == 1:
        if two in ("60", "68"):
            return 0.01
        if two == "90":
            return 0.001
        if code[:3] == "519":
            return 0.00001
        if two in ("50", "51", "58"):
            return 0.001
        if two in ("11", "13"):
            return 0.0001
    return 0.01


def _servertime(raw):
    digits = str(raw)
    if raw == 0:
        return "reversed_bytes0:0"
    if len(digits) <= 7:
        return digits
    return f"{digits[:-6]}:{digits[-6:-4]}:{digits[-4:]}"


def decode_quotes(body):
    """The quotes of a quotes reply body as dicts (complete records only)."""
    (count,) = _U16.unpack_from(body, 2)
    pos = 4
    n = len(body)
    quotes = []
    for _ in range(count):
        if n - pos < 30:
            break
        market = body[pos]
        code = body[pos + 1:pos + 7].decode("utf-8", "replace").rstrip("\x00")
        pos += 9  # market, code, active1
        c = coefficient(market, code)
        p, pos = read_varint(body, pos)
        diffs = []
        for _ in range(4):
            d, pos = read_varint(body, pos)
            diffs.append(d)
        rb0, pos = read_varint(body, pos)
        _, pos = read_varint(body, pos)
        vol, pos = read_varint(body, pos)
        cur_vol, pos = read_varint(body, pos)
        amount = volume_float(body, pos)
        pos += 4
        s_vol, pos = read_varint(body, pos)
        b_vol, pos = read_varint(body, pos)
        _, pos = read_varint(body, pos)
        _, pos = read_varint(body, pos)
        levels = []
        for _ in range(5):
            bid, pos = read_varint(body, pos)
            ask, pos = read_varint(body, pos)
            bid_vol, pos = read_varint(body, pos)
            ask_vol, pos = read_varint(body, pos)
            levels.append(((p + bid) * c, (p + ask) * c, float(bid_vol), float(ask_vol)))
        pos += 2  # reversed_bytes4
        for _ in range(4):
            _, pos = read_varint(body, pos)
        pos += 4  # reversed_bytes9, active2
        q = {
            "market": market,
            "code": code,
            "price": p * c,
            "last_close": (p + diffs[0]) * c,
            "open": (p + diffs[1]) * c,
            "high": (p + diffs[2]) * c,
            "low": (p + diffs[3]) * c,
            "servertime": _servertime(rb0 & 0xFFFFFFFFFFFFFFFF),
            "vol": float(vol),
            "cur_vol": float(cur_vol),
            "amount": amount,
            "s_vol": float(s_vol),
            "b_vol": float(b_vol),
        }
        for k, (bid, _ask, bid_vol, _av) in enumerate(levels, 1):
            q[f"bid{k}"] = bid
            q[f"bid_vol{k}"] = bid_vol
        for k, (_bid, ask, _bv, ask_vol) in enumerate(levels, 1):
            q[f"ask{k}"] = ask
            q[f"ask_vol{k}"] = ask_vol
        quotes.append(q)
    return quotes
