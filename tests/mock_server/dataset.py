"""The mock's deterministic data set: pure functions of the request, importable by the tests to
compute the values they expect. README.md gives the formulas."""

import datetime as _dt
import functools
import hashlib
import struct

import encoders as E

NEWEST_DAY = _dt.date(2024, 6, 28)  # a Friday: the newest bar of every series

SPECIAL = {  # (market, code) -> name, daily bar count, base close in thousandths
    (0, "000001"): ("平安银行", 30, 10000), (0, "000002"): ("万科Ａ", 1000, 8000),
    (0, "159915"): ("创业ETF", 1000, 2000), (0, "161725"): ("白酒LOF", 1000, 1000),
    (0, "399001"): ("深证成指", 1000, 9000000), (0, "399006"): ("创业板指", 1000, 1800000),
    (1, "000001"): ("上证指数", 1000, 3000000), (1, "000300"): ("沪深300", 1000, 3500000),
    (1, "510050"): ("50ETF", 1000, 2500), (1, "510300"): ("300ETF", 1000, 3500),
    (1, "519674"): ("银河创新", 1000, 4000), (1, "600000"): ("浦发银行", 3000, 10000),
    (1, "600036"): ("招商银行", 2000, 30000), (1, "600519"): ("贵州茅台", 1000, 1500000),
    (2, "830799"): ("艾融软件", 1000, 20000),
    (1, "900901"): (b"\xef\xbb\xbfAB\x00\x00\x00", 1000, 500),  # a byte-order mark: decodes to "AB"
}
FILLERS = {0: [range(100, 1600), range(300001, 300501), range(159001, 159100)],
           1: [range(600100, 601600), range(688001, 688301), range(510500, 510600)],
           2: [range(830800, 831100)]}


def _num(code: str) -> int:
    return int(code) if code.isdigit() else sum(code.encode("utf-8", "replace"))


def _row(market, code, name, pre_close):
    fund = code[:2] in (("15", "16") if market == 0 else ("50", "51") if market == 1 else ())
    return {"code": code, "volunit": 100, "decimal_point": 3 if fund else 2, "name": name, "pre_close": pre_close}


@functools.lru_cache(maxsize=None)
def security_list(market: int):
    """All entries of a market, sorted by code."""
    rows = {f"{n:06d}": _row(market, f"{n:06d}", f"测试{n % 10000:04d}", 5.0 + (n % 40) * 0.25)
            for rng in FILLERS.get(market, []) for n in rng}
    rows.update({c: _row(m, c, name, base / 1000.0) for (m, c), (name, _, base) in SPECIAL.items() if m == market})
    return [rows[c] for c in sorted(rows)]


def known(market: int, code: str) -> bool:
    block = market == 1 and len(code) == 6 and code.startswith("88") and code.isdigit()
    return block or any(r["code"] == code for r in security_list(market))


def is_index(market: int, code: str) -> bool:
    """Codes whose bars carry the up and down counts."""
    return code.startswith("000" if market == 1 else "399") or (market == 1 and code.startswith("88"))


@functools.lru_cache(maxsize=None)
def trading_days(n: int):
    """The n weekdays ending with NEWEST_DAY, oldest first (no holidays)."""
    days = (NEWEST_DAY - _dt.timedelta(days=k) for k in range(7 * n))
    return [d for d in days if d.weekday() < 5][:n][::-1]


def _stamps(category, n):
    """(day, hour, minute) of the n newest bars: a daily series, or intraday sessions of
    09:30-11:30 and 13:00-15:00 in steps of the category's minutes."""
    if category not in E.INTRADAY_CATEGORIES:
        return [(d, 0, 0) for d in trading_days(n)]
    step = {0: 5, 1: 15, 2: 30, 3: 60, 7: 1, 8: 1}[category]
    times = [(t // 60, t % 60) for a, b in ((570, 690), (780, 900)) for t in range(a + step, b + 1, step)]
    days = trading_days(-(-n // len(times)))
    return [(d, h, m) for d in days for h, m in times][-n:]


@functools.lru_cache(maxsize=64)
def bar_series(market: int, code: str, category: int):
    """The bars of a code, oldest first (README.md: Data set)."""
    if not known(market, code):
        return ()
    _, n, base = SPECIAL.get((market, code), (None, 500 if code.startswith("88") else 1000,
                                                 20000 + 100 * (_num(code) % 100)))
    n = 2000 if category in E.INTRADAY_CATEGORIES else n
    return tuple({"year": d.year, "month": d.month, "day": d.day, "hour": h, "minute": mi,
                  "open": base + 10 * (i % 100) - 50, "close": base + 10 * (i % 100),
                  "high": base + 10 * (i % 100) + 100, "low": base + 10 * (i % 100) - 150,
                  "vol": 1000 + i, "amount": (1000 + i) * 10000, "up": 100 + i % 100, "down": 300 - i % 100}
                 for i, (d, h, mi) in enumerate(_stamps(category, n)))


def select_page(series, start: int, count: int, cap: int):
    """start counts back from the newest element; the page is oldest first."""
    end = len(series) - start
    return list(series[max(0, end - min(count, cap)):end]) if end > 0 and count > 0 else []


def expected_bars(market, code, category, start, count):
    """The bars a client decodes from a (start, count) request: prices in units, with datetime."""
    out = []
    for b in select_page(bar_series(market, code, category), start, count, 800):
        row = {k: b[k] / 1000.0 for k in ("open", "close", "high", "low")}
        row.update({"vol": float(b["vol"]), "amount": float(b["amount"])})
        row.update({k: b[k] for k in ("year", "month", "day", "hour", "minute")})
        row["datetime"] = f"{b['year']:04}-{b['month']:02}-{b['day']:02}" + (
            f" {b['hour']:02}:{b['minute']:02}" if category in E.INTRADAY_CATEGORIES else "")
        if is_index(market, code):
            row.update({"up_count": b["up"], "down_count": b["down"]})
        out.append(row)
    return out


def bar_date(market, code, back):
    """Date (YYYYMMDD) of the daily bar `back` places before the newest one."""
    b = bar_series(market, code, 4)[-1 - back]
    return b["year"] * 10000 + b["month"] * 100 + b["day"]


def price(code) -> int:
    """P: the price of quotes, minute data and ticks, in the security's unit."""
    return 1000 + _num(code) % 1000


def minute_points(market, code):
    """240 (price, vol) points in time order."""
    return [(price(code) + i % 10, 100 + i) for i in range(240)] if known(market, code) else []


@functools.lru_cache(maxsize=64)
def tick_series(market, code):
    return tuple({"minutes": (570 if k < 600 else 660) + k // 5, "price": price(code) + k % 7 - 3, "vol": 10 + k % 90,
                  "num": 1 + k % 5, "buyorsell": k % 2} for k in range(1200)) if known(market, code) else ()


def xdxr_events(market, code):
    fenhong = lambda date, v: {"date": date, "category": 1, "fenhong": v}  # noqa: E731
    shares = lambda date, cat, *v: {"date": date, "category": cat, **dict(zip(  # noqa: E731
        ("panqianliutong", "qianzongguben", "panhouliutong", "houzongguben"), v))}
    return {
        (0, "000001"): [fenhong(20240510, 1.0), fenhong(20240603, 5.0),
                        shares(20240604, 2, 1000000.0, 2000000.0, 1100000.0, 2100000.0),
                        fenhong(20240617, 2.0), {"date": 20240617, "category": 1, "songzhuangu": 10.0},
                        {"date": 20240620, "category": 11, "suogu": 0.5},
                        {"date": 20240621, "category": 13, "xingquanjia": 4.5, "fenshu": 10.0},
                        {"date": 20240624, "category": 1, "peigu": 3.0, "peigujia": 8.0},
                        shares(20240625, 20, 100.0, 200.0, 300.0, 400.0)],
        (1, "600000"): [fenhong(20100104, 3.0),
                        {"date": bar_date(1, "600000", 1000), "category": 1, "songzhuangu": 5.0},
                        fenhong(bar_date(1, "600000", 100), 5.0)],
        (1, "600036"): [fenhong(bar_date(1, "600036", 1000), 10.0), fenhong(bar_date(1, "600036", 10), 2.0)],
    }.get((market, code), [])


def blocks(name: str):
    """Twelve blocks, named after the file: enough for two chunks."""
    return [(f"板块{name[6:8]}{k:02d}", [f"{600000 + 3 * k + m:06d}" for m in range(k % 3 + 1)]) for k in range(12)]


def block_reply(name, offset=None, size=0):
    """The size and hash of a block file, or a chunk of it."""
    data = E.block_file(blocks(name))
    if offset is None:
        return struct.pack("<IB", len(data), 1) + hashlib.sha256(data).digest() + bytes(3)
    piece = data[offset:offset + size]
    return struct.pack("<I", len(piece)) + piece


SETUP = {"setup1": bytes(range(1, 43)), "setup2": struct.pack("<HH", 1, 2) + bytes(12),
         "setup3": ("quotix 模拟行情主站 ".encode("gbk") * 12).ljust(300, b"\0")}
# The body answering each kind of decoded request, from its arguments.
REPLIES = {
    "count": lambda a: struct.pack("<H", len(security_list(a["market"]))),
    "list": lambda a: E.security_list_body(security_list(a["market"])[a["start"]:a["start"] + 1000]),
    "bars": lambda a: E.bars_body(select_page(bar_series(a["market"], a["code"], a["category"]), a["start"],
                                              a["count"], 800), a["category"], is_index(a["market"], a["code"])),
    "quotes": lambda a: b"\xb1\xcb" + struct.pack("<H", a["n"]) + b"".join(
        E.quote_record(m, bytes.fromhex(h), price(c)) for (m, c), h in zip(a["pairs"], a["codes_hex"])),
    "ticks": lambda a: E.ticks_body(select_page(tick_series(a["market"], a["code"]), a["start"], a["count"], 2000),
                                    history="date" in a),
    "minute": lambda a: E.minute_time_body(minute_points(a["market"], a["code"])),
    "xdxr": lambda a: E.xdxr_body(a["market"], a["code"], xdxr_events(a["market"], a["code"])),
    "finance": lambda a: E.finance_body(a["market"], a["code"], _num(a["code"]) % 1000),
    "block_meta": lambda a: block_reply(a["file"]),
    "block_chunk": lambda a: block_reply(a["file"], a["offset"], a["size"]),
}
REPLIES["history_ticks"] = REPLIES["ticks"]


def reply(name, args):
    """The body answering one decoded request; a short one to an unknown request, so it fails, not hangs."""
    return REPLIES[name](args) if name in REPLIES else SETUP.get(name, b"\0\0")
