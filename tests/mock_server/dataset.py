"""Deterministic data served by the mock quote server.

Everything is a pure function of (market, code, category, ...), computed on
first use and cached, so the server starts fast and tests can import this
module to compute the values they expect. README.md documents the formulas.
"""

import datetime as _dt
import functools
import struct

import encoders as E

NEWEST_DAY = _dt.date(2024, 6, 28)  # a Friday: the newest bar of every series

BAR_PAGE_MAX = 800       # the server never returns more bars than this
LIST_PAGE = 1000         # entries per security-list reply
TICK_PAGE_MAX = 2000     # ticks per reply at most
TICKS_PER_DAY = 1200     # live and history tick series length
MINUTES_PER_DAY = 240

# ---------------------------------------------------------------- securities

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
    # A name with a UTF-8 byte-order mark: decodes to "AB".
    (1, "900901"): (b"\xef\xbb\xbfAB\x00\x00\x00", 1000, 500),
    (2, "830799"): ("艾融软件", 1000, 20000),
}

DEFAULT_DAILY_LEN = 1000
BLOCK_DAILY_LEN = 500
INTRADAY_LEN = 2000
OTHER_PERIOD_LEN = {5: 500, 6: 200, 10: 60, 11: 20}


def _num(code: str) -> int:
    return int(code) if code.isdigit() else sum(code.encode("utf-8", "replace"))


def _filler_ranges(market):
    if market == 0:
        return [range(100, 1600), range(300001, 300501), range(159001, 159100)]
    if market == 1:
        return [range(600100, 601600), range(688001, 688301), range(510500, 510600)]
    if market == 2:
        return [range(830800, 831100)]
    return []


def _is_fund(market, code):
    return (market == 0 and code[:2] in ("15", "16")) or (market == 1 and code[:2] in ("50", "51"))


@functools.lru_cache(maxsize=None)
def security_list(market: int):
    """All entries of a market, sorted by code."""
    rows = {}
    for rng in _filler_ranges(market):
        for n in rng:
            code = f"{n:06d}"
            rows[code] = {
                "code": code,
                "volunit": 100,
                "decimal_point": 3 if _is_fund(market, code) else 2,
                "name": f"测试{n % 10000:04d}",
                "pre_close": 5.0 + (n % 40) * 0.25,
            }
    for (m, code), (name, _, base) in SPECIAL.items():
        if m != market:
            continue
        rows[code] = {
            "code": code,
            "volunit": 100,
            "decimal_point": 3 if _is_fund(market, code) else 2,
            "name": name,
            "pre_close": base / 1000.0,
        }
    return [rows[c] for c in sorted(rows)]


@functools.lru_cache(maxsize=None)
def _codes(market):
    return frozenset(r["code"] for r in security_list(market))


def security_count(market: int) -> int:
    return len(security_list(market))


def security_list_page(market: int, start: int):
    return security_list(market)[start:start + LIST_PAGE]


def is_block_code(code: str) -> bool:
    return len(code) == 6 and code.startswith("88") and code.isdigit()


def known(market: int, code: str) -> bool:
    return code in _codes(market) or (market == 1 and is_block_code(code))


def is_index(market: int, code: str) -> bool:
    """Codes whose bars carry the up and down counts."""
    return ((market == 1 and (code.startswith("000") or is_block_code(code)))
            or (market == 0 and code.startswith("399")))


def daily_len(market, code):
    if (market, code) in SPECIAL:
        return SPECIAL[(market, code)][1]
    return BLOCK_DAILY_LEN if is_block_code(code) else DEFAULT_DAILY_LEN


def base_price(market, code):
    """Base close of the bar series, in thousandths."""
    if (market, code) in SPECIAL:
        return SPECIAL[(market, code)][2]
    return 20000 + 100 * (_num(code) % 100)


# ---------------------------------------------------------------- calendars

@functools.lru_cache(maxsize=None)
def trading_days(n: int):
    """The n weekdays ending with NEWEST_DAY, oldest first (no holidays)."""
    days = []
    d = NEWEST_DAY
    while len(days) < n:
        if d.weekday() < 5:
            days.append(d)
        d -= _dt.timedelta(days=1)
    return tuple(reversed(days))


def _last_weekday(year, month):
    d = _dt.date(year + (month == 12), month % 12 + 1, 1) - _dt.timedelta(days=1)
    while d.weekday() >= 5:
        d -= _dt.timedelta(days=1)
    return d


def _period_days(category, n):
    out = []
    y, m = NEWEST_DAY.year, NEWEST_DAY.month
    if category == 5:  # weekly: Fridays
        d = NEWEST_DAY
        while len(out) < n:
            out.append(d)
            d -= _dt.timedelta(days=7)
    elif category in (6, 10, 11):
        step = {6: 1, 10: 3, 11: 12}[category]
        out.append(NEWEST_DAY)
        if category == 11:
            y, m = y - 1, 12
        else:
            m -= step
            while m <= 0:
                m += 12
                y -= 1
        while len(out) < n:
            out.append(_last_weekday(y, m))
            m -= step
            while m <= 0:
                m += 12
                y -= 1
    return tuple(reversed(out))


# Bar times of the intraday categories within one trading day.
def _session_times(step):
    times = []
    for start, end in ((9 * 60 + 30, 11 * 60 + 30), (13 * 60, 15 * 60)):
        t = start + step
        while t <= end:
            times.append((t // 60, t % 60))
            t += step
    return times


INTRADAY_STEP = {0: 5, 1: 15, 2: 30, 3: 60, 7: 1, 8: 1}


def _intraday_stamps(category, n):
    times = _session_times(INTRADAY_STEP[category])
    per_day = len(times)
    days = trading_days((n + per_day - 1) // per_day)
    stamps = [(d, h, mi) for d in days for (h, mi) in times]
    return stamps[len(stamps) - n:]


# ---------------------------------------------------------------- bars

def series_len(market, code, category):
    if category in E.INTRADAY_CATEGORIES:
        return INTRADAY_LEN
    if category in OTHER_PERIOD_LEN:
        return OTHER_PERIOD_LEN[category]
    return daily_len(market, code)


@functools.lru_cache(maxsize=64)
def bar_series(market: int, code: str, category: int):
    """The full series, oldest first; prices in thousandths. Bar i has
    close = base + 10*(i % 100), open = close - 50, high = close + 100,
    low = close - 150, vol = 1000 + i, amount = vol * 10000; index bars
    also up = 100 + i % 100, down = 300 - i % 100."""
    if not known(market, code):
        return ()
    n = series_len(market, code, category)
    base = base_price(market, code)
    if category in E.INTRADAY_CATEGORIES:
        stamps = _intraday_stamps(category, n)
    else:
        days = _period_days(category, n) if category in OTHER_PERIOD_LEN else trading_days(n)
        stamps = [(d, 0, 0) for d in days]
    bars = []
    for i, (d, h, mi) in enumerate(stamps):
        close = base + 10 * (i % 100)
        vol = 1000 + i
        bars.append({
            "year": d.year, "month": d.month, "day": d.day, "hour": h, "minute": mi,
            "open": close - 50, "close": close, "high": close + 100, "low": close - 150,
            "vol": vol, "amount": vol * 10000,
            "up": 100 + i % 100, "down": 300 - i % 100,
        })
    return tuple(bars)


def select_page(series, start: int, count: int, cap: int):
    """start counts back from the newest element; the page is oldest first."""
    count = min(count, cap)
    end = len(series) - start
    if end <= 0 or count <= 0:
        return []
    return list(series[max(0, end - count):end])


def bars_reply(market, code, category, start, count):
    page = select_page(bar_series(market, code, category), start, count, BAR_PAGE_MAX)
    return E.bars_body(page, category, index=is_index(market, code))


def expected_bars(market, code, category, start, count):
    """The bars a client should decode from a (start, count) request, oldest
    first, with prices in units and the datetime text of the bar."""
    out = []
    for b in select_page(bar_series(market, code, category), start, count, BAR_PAGE_MAX):
        dt = f"{b['year']:04}-{b['month']:02}-{b['day']:02}"
        if category in E.INTRADAY_CATEGORIES:
            dt += f" {b['hour']:02}:{b['minute']:02}"
        row = {
            "open": b["open"] / 1000.0, "close": b["close"] / 1000.0,
            "high": b["high"] / 1000.0, "low": b["low"] / 1000.0,
            "vol": float(b["vol"]), "amount": float(b["amount"]),
            "year": b["year"], "month": b["month"], "day": b["day"],
            "hour": b["hour"], "minute": b["minute"], "datetime": dt,
        }
        if is_index(market, code):
            row["up_count"] = b["up"]
            row["down_count"] = b["down"]
        out.append(row)
    return out


def bar_date(market, code, back, category=4):
    """Date (YYYYMMDD) of the bar `back` places before the newest one."""
    s = bar_series(market, code, category)
    b = s[len(s) - 1 - back]
    return b["year"] * 10000 + b["month"] * 100 + b["day"]


# ---------------------------------------------------------------- quotes

def quote_unit_price(market, code):
    """Last price of the quote, in the security's coefficient unit."""
    return 1000 + _num(code) % 1000


def quote(market: int, code_raw: bytes):
    code = code_raw.rstrip(b"\x00").decode("utf-8", "replace")
    n = _num(code)
    p = quote_unit_price(market, code)
    vol = 100000 + n % 1000
    return {
        "market": market, "code": code_raw, "active1": 100,
        "price": p, "last_close": p - 10, "open": p - 5, "high": p + 20, "low": p - 30,
        "reversed_bytes0": 14302541, "reversed_bytes1": 3,
        "vol": vol, "cur_vol": 100, "amount": vol * 1000,
        "s_vol": 60000, "b_vol": 40000, "reversed_bytes2": 0, "reversed_bytes3": 0,
        "bids": [p - k for k in range(1, 6)], "asks": [p + k for k in range(1, 6)],
        "bid_vols": [100 * k for k in range(1, 6)], "ask_vols": [200 * k for k in range(1, 6)],
        "reversed_bytes4": 1, "reversed_bytes5": 0, "reversed_bytes6": 0,
        "reversed_bytes7": 0, "reversed_bytes8": 0, "reversed_bytes9": -5,
        "active2": 100,
    }


def quotes_reply(pairs):
    return E.quotes_body([quote(m, c) for m, c in pairs])


# ---------------------------------------------------------------- minute time and ticks

def minute_points(market, code):
    """240 (price, vol) points in time order; price in the coefficient unit."""
    if not known(market, code):
        return []
    p = quote_unit_price(market, code)
    return [(p + i % 10, 100 + i) for i in range(MINUTES_PER_DAY)]


def tick_minutes(k):
    mi = k // 5
    return 570 + mi if mi < 120 else 780 + (mi - 120)


@functools.lru_cache(maxsize=64)
def tick_series(market, code):
    if not known(market, code):
        return ()
    p = quote_unit_price(market, code)
    return tuple({
        "minutes": tick_minutes(k), "price": p + k % 7 - 3, "vol": 10 + k % 90,
        "num": 1 + k % 5, "buyorsell": k % 2, "reserved": 0,
    } for k in range(TICKS_PER_DAY))


def ticks_reply(market, code, start, count):
    return E.ticks_body(select_page(tick_series(market, code), start, count, TICK_PAGE_MAX))


def history_ticks_reply(market, code, start, count, date):
    return E.history_ticks_body(select_page(tick_series(market, code), start, count, TICK_PAGE_MAX))


# ---------------------------------------------------------------- XDXR and finance

def _shares(p1, p2, p3, p4):
    return {"panqianliutong": p1, "qianzongguben": p2, "panhouliutong": p3, "houzongguben": p4}


@functools.lru_cache(maxsize=None)
def xdxr_events(market, code):
    if (market, code) == (0, "000001"):
        return (
            {"date": 20240510, "category": 1, "fenhong": 1.0},          # before the first bar
            {"date": 20240603, "category": 1, "fenhong": 5.0},          # on bar i=10
            {"date": 20240604, "category": 2, **_shares(1000000.0, 2000000.0, 1100000.0, 2100000.0)},
            {"date": 20240617, "category": 1, "fenhong": 2.0},          # two events on bar i=20
            {"date": 20240617, "category": 1, "songzhuangu": 10.0},
            {"date": 20240620, "category": 11, "suogu": 0.5},
            {"date": 20240621, "category": 13, "xingquanjia": 4.5, "fenshu": 10.0},
            {"date": 20240624, "category": 1, "peigu": 3.0, "peigujia": 8.0},  # on bar i=25
            {"date": 20240625, "category": 20, **_shares(100.0, 200.0, 300.0, 400.0)},
        )
    if (market, code) == (0, "000002"):
        return (
            {"date": 20240105, "category": 5, **_shares(1000.0, 2000.0, 1500.0, 2500.0)},
            {"date": 20240301, "category": 11, "suogu": 2.0},
        )
    if (market, code) == (1, "600000"):
        return (
            {"date": 20100104, "category": 1, "fenhong": 3.0},          # before the whole series
            {"date": bar_date(1, "600000", 1000), "category": 1, "songzhuangu": 5.0},
            {"date": bar_date(1, "600000", 100), "category": 1, "fenhong": 5.0},
        )
    if (market, code) == (1, "600036"):
        return (
            {"date": bar_date(1, "600036", 1000), "category": 1, "fenhong": 10.0},
            {"date": bar_date(1, "600036", 10), "category": 1, "fenhong": 2.0},
        )
    return ()


def xdxr_reply(market, code):
    return E.xdxr_body(market, code, list(xdxr_events(market, code)))


def finance_record(market, code):
    n = _num(code) % 1000
    f = {
        "liutongguben": 1000000.0 + n, "province": n % 32, "industry": n % 100,
        "updated_date": 20240630, "ipo_date": 19991110,
    }
    for j, name in enumerate(E.FINANCE_FLOATS):
        f[name] = 1000.0 * (j + 1) + n
    return f


def finance_reply(market, code):
    return E.finance_body(market, code, finance_record(market, code))


# ---------------------------------------------------------------- block files

def _block_files():
    zs = [
        {"name": "沪深300", "block_type": 2, "codes": ["600000", "600036", "600519", "000001", "000002"]},
        {"name": b"\xef\xbb\xbf" + "上证".encode("utf-8"), "block_type": 2, "codes": ["600000"]},
        {"name": "其他指数", "block_type": 1, "codes": ["600000", "600036"]},
        {"name": "空板块", "block_type": 2, "codes": []},
        {"name": "上证50", "block_type": 2, "codes": ["600000", "600519"]},
    ]
    fg = [
        {"name": "银行", "block_type": 2, "codes": ["600000", "600036", "000001"]},
        {"name": "地产", "block_type": 2, "codes": ["000002"]},
        {"name": "白酒", "block_type": 2, "codes": ["600519"]},
        {"name": "证券", "block_type": 2, "codes": ["600100", "600101"]},
        {"name": "保险", "block_type": 2, "codes": ["600102"]},
    ]
    gn = [{"name": f"概念{k + 1:02d}", "block_type": 2,
           "codes": [f"{600100 + 5 * k + m:06d}" for m in range(k % 5 + 1)]}
          for k in range(40)]
    default = [{"name": f"自选{k + 1:02d}", "block_type": 2,
                "codes": [f"{300001 + k:06d}", f"{600100 + k:06d}"]} for k in range(12)]
    return {"block_zs.dat": zs, "block_fg.dat": fg, "block_gn.dat": gn, "block.dat": default}


BLOCK_DEFS = _block_files()


@functools.lru_cache(maxsize=None)
def block_file(name: str) -> bytes:
    blocks = BLOCK_DEFS.get(name)
    return E.block_file(blocks) if blocks is not None else b""


def block_meta_reply(name):
    data = block_file(name)
    return E.block_meta_body(len(data), E.sha256(data) if data else b"\x00" * 32)


def block_chunk_reply(name, offset, size):
    data = block_file(name)
    return E.block_chunk_body(data[offset:offset + size])


# ---------------------------------------------------------------- set-up replies

SETUP_REPLY_1 = bytes(range(1, 43))
SETUP_REPLY_2 = struct.pack("<HH", 1, 2) + b"\x00" * 12
SETUP_REPLY_3 = ("quotix 模拟行情主站 ".encode("gbk") * 12).ljust(300, b"\x00")
