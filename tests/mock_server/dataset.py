"""The mock's deterministic data set: pure functions of the request, importable by the tests to
compute the values they expect. README.md gives the formulas."""

import datetime as _dt
import functools
import hashlib
import struct

import encoders as E

NEWEST_DAY = _dt.date(2024, 6, 28)  # a Friday: the newest bar of every series

# (market, code) -> name, daily bar count, base close in thousandths
SPECIAL = {
    (0, "000001"): ("平安银行", 30, 10000),
    (0, "000002"): ("万科Ａ", 1000, 8000),
    (0, "159915"): ("创业ETF", 1000, 2000),
    (0, "161725"): ("白酒LOF", 1000, 1000),
    (0, "399001"): ("深证成指", 1000, 9000000),
    (0, "399006"): ("创业板指", 1000, 1800000),
    (1, "000001"): ("上证指数", 1000, 3000000),
    (1, "000300"): ("沪深300", 1000, 3500000),
    (1, "510050"): ("50ETF", 1000, 2500),
    (1, "510300"): ("300ETF", 1000, 3500),
    (1, "519674"): ("银河创新", 1000, 4000),
    (1, "600000"): ("浦发银行", 3000, 10000),
    (1, "600036"): ("招商银行", 2000, 30000),
    (1, "600519"): ("贵州茅台", 1000, 1500000),
    (1, "900901"): (b"\xef\xbb\xbfAB\x00\x00\x00", 1000, 500),  # a byte-order mark: decodes to "AB"
    (2, "830799"): ("艾融软件", 1000, 20000),
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
    days, d = [], NEWEST_DAY
    while len(days) < n:
        if d.weekday() < 5:
            days.append(d)
        d -= _dt.timedelta(days=1)
    return days[::-1]


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
    """Bar i (oldest first): close = base + 10 (i mod 100), open = close - 50, high = close + 100,
    low = close - 150, vol = 1000 + i, amount = vol x 10000; up = 100 + i mod 100, down = 300 - i mod 100."""
    if not known(market, code):
        return ()
    name, n, base = SPECIAL.get((market, code), (None, 500 if code.startswith("88") else 1000,
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


def quote(market: int, code_raw: bytes):
    n = _num(code_raw.rstrip(b"\0").decode("utf-8", "replace"))
    p, vol = 1000 + n % 1000, 100000 + n % 1000
    return {"market": market, "code": code_raw, "active1": 100, "price": p, "last_close": p - 10, "open": p - 5,
            "high": p + 20, "low": p - 30, "reversed_bytes0": 14302541, "reversed_bytes1": 3, "vol": vol,
            "cur_vol": 100, "amount": vol * 1000, "s_vol": 60000, "b_vol": 40000, "reversed_bytes2": 0,
            "reversed_bytes3": 0, "bids": [p - k for k in range(1, 6)], "asks": [p + k for k in range(1, 6)],
            "bid_vols": [100 * k for k in range(1, 6)], "ask_vols": [200 * k for k in range(1, 6)],
            "reversed_bytes4": 1, "reversed_bytes5": 0, "reversed_bytes6": 0, "reversed_bytes7": 0,
            "reversed_bytes8": 0, "reversed_bytes9": -5, "active2": 100}


def minute_points(market, code):
    """240 (price, vol) points in time order; price in the security's unit."""
    p = 1000 + _num(code) % 1000
    return [(p + i % 10, 100 + i) for i in range(240)] if known(market, code) else []


@functools.lru_cache(maxsize=64)
def tick_series(market, code):
    p = 1000 + _num(code) % 1000
    return tuple({"minutes": (570 if k < 600 else 660) + k // 5, "price": p + k % 7 - 3, "vol": 10 + k % 90,
                  "num": 1 + k % 5, "buyorsell": k % 2, "reserved": 0}
                 for k in range(1200)) if known(market, code) else ()


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
        (0, "000002"): [shares(20240105, 5, 1000.0, 2000.0, 1500.0, 2500.0),
                        {"date": 20240301, "category": 11, "suogu": 2.0}],
        (1, "600000"): [fenhong(20100104, 3.0),
                        {"date": bar_date(1, "600000", 1000), "category": 1, "songzhuangu": 5.0},
                        fenhong(bar_date(1, "600000", 100), 5.0)],
        (1, "600036"): [fenhong(bar_date(1, "600036", 1000), 10.0), fenhong(bar_date(1, "600036", 10), 2.0)],
    }.get((market, code), [])


def finance_record(market, code):
    m = _num(code) % 1000
    f = {"liutongguben": 1000000.0 + m, "province": m % 32, "industry": m % 100, "updated_date": 20240630,
         "ipo_date": 19991110}
    f.update({name: 1000.0 * (j + 1) + m for j, name in enumerate(E.FINANCE_FLOATS)})
    return f


def _block(name, codes, block_type=2):
    return {"name": name, "block_type": block_type, "codes": codes}


BLOCK_FILES = {
    "block_zs.dat": [_block("沪深300", ["600000", "600036", "600519", "000001", "000002"]),
                     _block("其他指数", ["600000"], 1)],
    "block_fg.dat": [_block("银行", ["600000", "600036", "000001"]), _block("地产", ["000002"]),
                     _block("白酒", ["600519"]), _block("证券", ["600100", "600101"]),
                     _block("保险", ["600102"])],
    "block_gn.dat": [_block(f"概念{k + 1:02d}", [f"{600100 + 5 * k + m:06d}" for m in range(k % 5 + 1)])
                     for k in range(40)],
}


@functools.lru_cache(maxsize=None)
def block_file(name: str) -> bytes:
    return E.block_file(BLOCK_FILES[name]) if name in BLOCK_FILES else b""


def reply(name, a):
    """The body answering one decoded request."""
    if name == "count":
        return struct.pack("<H", len(security_list(a["market"])))
    if name == "list":
        return E.security_list_body(security_list(a["market"])[a["start"]:a["start"] + 1000])
    if name == "bars":
        page = select_page(bar_series(a["market"], a["code"], a["category"]), a["start"], a["count"], 800)
        return E.bars_body(page, a["category"], is_index(a["market"], a["code"]))
    if name == "quotes":
        return E.quotes_body([quote(m, bytes.fromhex(h)) for (m, _), h in zip(a["pairs"], a["codes_hex"])])
    if name in ("ticks", "history_ticks"):
        page = select_page(tick_series(a["market"], a["code"]), a["start"], a["count"], 2000)
        return E.ticks_body(page, history=name == "history_ticks")
    if name == "minute":
        return E.minute_time_body(minute_points(a["market"], a["code"]))
    if name == "xdxr":
        return E.xdxr_body(a["market"], a["code"], xdxr_events(a["market"], a["code"]))
    if name == "finance":
        return E.finance_body(a["market"], a["code"], finance_record(a["market"], a["code"]))
    if name == "block_meta":
        data = block_file(a["file"])
        return struct.pack("<IB", len(data), 1) + (hashlib.sha256(data).digest() if data else bytes(32)) + bytes(3)
    if name == "block_chunk":
        piece = block_file(a["file"])[a["offset"]:a["offset"] + a["size"]]
        return struct.pack("<I", len(piece)) + piece
    return SETUP.get(name, b"\0\0")  # an unknown request gets a short body: a decoding failure, not a hang


SETUP = {"setup1": bytes(range(1, 43)), "setup2": struct.pack("<HH", 1, 2) + bytes(12),
         "setup3": ("quotix 模拟行情主站 ".encode("gbk") * 12).ljust(300, b"\0")}
