"""Each binding reaches its core and shapes the result: one call per method of every class against
the mock, checked against the mock's data set for key order, value types and values (tuple layouts
and DataFrame columns likewise). What the core does with the replies is tested in C++."""

import dataset
import encoders
import pytest

BAR = "open close high low vol amount year month day hour minute datetime"
FRAME = "datetime year month day hour minute open high low close vol amount"
LEVELS = lambda fmt: " ".join(fmt.format(k=k) for k in range(1, 6))  # noqa: E731
QUOTE = "market code price last_close open high low vol cur_vol amount s_vol b_vol " + \
    LEVELS("bid{k} bid_vol{k} ask{k} ask_vol{k}")
FLOATS = ("zongguben guojiagu faqirenfarengu farengu bgu hgu zhigonggu zongzichan liudongzichan gudingzichan "
          "wuxingzichan gudongrenshu liudongfuzhai changqifuzhai zibengongjijin jingzichan zhuyingshouru "
          "zhuyinglirun yingshouzhangkuan yingyelirun touzishouyu jingyingxianjinliu zongxianjinliu cunhuo "
          "lirunzonghe shuihoulirun jinglirun weifenpeilirun meigujingzichan")  # and a last one, not shown
KEYS = {k: v.split() for k, v in {
    "bar": BAR, "index": BAR + " up_count down_count", "frame": FRAME, "index_frame": FRAME + " up_count down_count",
    "smart_bar": "open high low close vol amount year month day hour minute datetime",
    "block_bar": "datetime open high low close amount vol year month day hour minute up_count down_count",
    "hq_quote": "market code price last_close open high low servertime vol cur_vol amount s_vol b_vol "
                + LEVELS("bid{k} bid_vol{k}") + " " + LEVELS("ask{k} ask_vol{k}"),
    "quote": QUOTE + " servertime", "quote_tuple": QUOTE,
    "quote_frame": "code market price last_close open high low vol cur_vol amount s_vol b_vol servertime",
    "fund_quote": "market code price last_close open high low vol amount " + LEVELS("bid{k} bid_vol{k}") + " "
                  + LEVELS("ask{k} ask_vol{k}") + " servertime",
    "smart_quote": "market code active1 price last_close open high low vol cur_vol amount s_vol b_vol "
                   + LEVELS("bid{k} ask{k} bid_vol{k} ask_vol{k}") + " reversed_bytes0 reversed_bytes1 "
                   "reversed_bytes2 active2",
    "block_quote": "market code price last_close open high low vol amount",
    "list": "code volunit decimal_point name pre_close",
    "minute": "time price avg_price vol",
    "tick": "time price vol num buyorsell reserved", "fund_tick": "time price vol num buyorsell",
    "fund_history_tick": "time price vol buyorsell",
    "finance": "market code liutongguben province industry updated_date ipo_date " + FLOATS,
    "finance_frame": "code market zongguben liutongguben jingzichan jinglirun zhuyingshouru yingyelirun "
                     "meigujingzichan province industry",
    "fund_finance": "market code zongguben liutongguben meigujingzichan zongzichan jingzichan",
    "xdxr": "year month day category name fenhong peigujia songzhuangu peigu suogu panqianliutong "
            "panhouliutong qianzongguben houzongguben fenshu xingquanjia",
    "fund_xdxr": "year month day category fenhong peigujia songzhuangu peigu suogu",
    "block": "blockname block_type code_index code",
}.items()}


def bars(market, code, start, count, category=4):
    return dataset.expected_bars(market, code, category, start, count)


OFFSETS = {"price": 0, "last_close": -10, "open": -5, "high": 20, "low": -30,  # each price: P + its offset
           **{f"{side}{k}": sign * k for k in range(1, 6) for side, sign in (("bid", -1), ("ask", 1))}}


def quotes(*pairs):
    """The quote of each (market, code, unit): P = 1000 + code mod 1000, in units."""
    return [{"market": m, "code": code, "active1": 100, "servertime": "14:30:2541", "vol": 99000.0 + p,
             "cur_vol": 100.0, "amount": (99000.0 + p) * 1000, "s_vol": 60000.0, "b_vol": 40000.0,
             "reversed_bytes0": 14302541, "reversed_bytes1": 3, "reversed_bytes2": 0, "active2": 100,
             **{k: (p + d) * unit for k, d in OFFSETS.items()}, **{f"bid_vol{k}": 100.0 * k for k in range(1, 6)},
             **{f"ask_vol{k}": 200.0 * k for k in range(1, 6)}}
            for m, code, unit in pairs for p in [dataset.price(code)]]


def securities(market, start=0):
    return [{**r, "name": "AB" if isinstance(r["name"], bytes) else r["name"]}
            for r in dataset.security_list(market)[start:start + 1000]]


def minutes(market, code, unit):
    """Newest first, with the running volume-weighted average."""
    out, amount, volume = [], 0.0, 0.0
    for i, (price, vol) in enumerate(dataset.minute_points(market, code)):
        amount, volume, t = amount + price * unit * vol, volume + vol, i + 571 if i < 120 else i + 661
        out.append({"time": f"{t // 60:02}:{t % 60:02}", "price": price * unit, "avg_price": amount / volume,
                    "vol": float(vol)})
    return out[::-1]


def ticks(market, code, unit, start, count, history=False):
    return [{"time": f"{t['minutes'] // 60:02}:{t['minutes'] % 60:02}", "price": t["price"] * unit,
             "vol": float(t["vol"]), "num": 0 if history else t["num"], "buyorsell": t["buyorsell"], "reserved": 0}
            for t in dataset.select_page(dataset.tick_series(market, code), start, count, 2000)]


def finance(market, code):
    m = int(code) % 1000
    return {"market": market, "code": code, "liutongguben": 1000000.0 + m, "province": m % 32, "industry": m % 100,
            "updated_date": 20240630, "ipo_date": 19991110,
            **{k: 1000.0 * j + m for j, k in enumerate(FLOATS.split(), 1)}}


XDXR_NAMES = {1: "除权除息", 2: "送配股上市", 11: "扩缩股", 13: "送认购权证"}
XDXR_GROUPS = {1: "fenhong peigujia songzhuangu peigu", 11: "suogu", 13: "fenshu xingquanjia"}


def xdxr(market, code):
    out = []
    for e in dataset.xdxr_events(market, code):
        d, cat = e["date"], e["category"]
        present = XDXR_GROUPS.get(cat, "panqianliutong panhouliutong qianzongguben houzongguben").split()
        out.append({"year": d // 10000, "month": d // 100 % 100, "day": d % 100, "category": cat,
                    "name": XDXR_NAMES.get(cat, "未知"),
                    **{k: (float(e.get(k, 0.0)) if k in present else None) for k in KEYS["xdxr"][5:]}})
    return out


def blocks(*files):
    return [{"blockname": name, "block_type": 2, "code_index": i, "code": c}
            for f in files for name, codes in dataset.blocks(f) for i, c in enumerate(codes)]


THREE = bars(1, "600000", 0, 3)
FUND_XDXR = ("body", {"cmd": "xdxr", "hex": encoders.xdxr_body(1, "510300", dataset.xdxr_events(0, "000001")).hex()})
# (client kinds, call, keys, expected rows or value[, fault on the mock first]); arguments differ
# from their defaults wherever they can, so that a binding passing one wrongly is seen.
QUERIES = [
    ("hq direct async", lambda c: c.get_security_bars(0, 1, "600000", 5, 3, 0), "bar", bars(1, "600000", 5, 3, 0)),
    ("hq direct async", lambda c: c.get_index_bars(4, 0, "399001", 2, 3, 2), "index", bars(0, "399001", 2, 3)),
    ("hq direct async smart", lambda c: [c.get_security_bars(4, 0, "000001", 0, 30, fq)[i]["close"] for fq, i in
                                         ((1, 0), (1, 20), (2, 0), (2, 29))], None, [4.424, 9.685, 10.0, 23.261]),
    ("hq async", lambda c: c.get_security_bars_all(4, 1, "600000", 1000, 0), "bar", bars(1, "600000", 800, 200) +
     bars(1, "600000", 0, 800)),
    ("hq async", lambda c: c.get_index_bars_all(4, 1, "000001", 801), "index", bars(1, "000001", 800, 1) +
     bars(1, "000001", 0, 800)),
    ("hq", lambda c: c.get_index_bars_all(0, 1, "000001", 2500), "index", bars(1, "000001", 1600, 800, 0)
     + bars(1, "000001", 800, 800, 0) + bars(1, "000001", 0, 800, 0)),  # a short page ends the paging
    ("hq", lambda c: c.get_index_bars_all(0, 1, "000001", 0) + c.get_index_bars_all(0, 1, "999999", 5), None, []),
    ("hq async", lambda c: c.get_security_bars_tuples(4, 1, "600000", 0, 3, 0), "bar", THREE),
    ("hq async", lambda c: c.get_index_bars_tuples(0, 1, "000300", 1, 4, 2), "index", bars(1, "000300", 1, 4, 0)),
    ("hq async", lambda c: c.get_security_bars_dataframe(4, 1, "600000", 0, 3, 0), "frame", THREE),
    ("hq async", lambda c: c.get_index_bars_dataframe(4, 1, "000001", 0, 3), "index_frame", bars(1, "000001", 0, 3)),
    ("hq async", lambda c: c.get_security_bars_dataframe(3, 1, "600000", 3000, 10, 0), "frame", []),  # past the end
    ("hq", lambda c: c.get_security_quotes([(1, "600000"), (0, "159915")]), "hq_quote",
     quotes((1, "600000", 0.01), (0, "159915", 0.001))),
    ("direct async", lambda c: c.get_security_quotes(((0, "000001"), (1, "510300"))), "quote",
     quotes((0, "000001", 0.01), (1, "510300", 0.001))),
    ("hq async", lambda c: c.get_security_quotes_tuples([(1, "600000")]), "quote_tuple", quotes((1, "600000", 0.01))),
    ("hq async", lambda c: c.get_security_quotes_dataframe([(1, "600000")]), "quote_frame",
     quotes((1, "600000", 0.01))),
    ("hq direct async", lambda c: c.get_security_list(1, 1000), "list", securities(1, 1000)),  # a byte-order mark
    ("hq direct async", lambda c: c.get_security_count(2), None, 301),
    ("hq direct async", lambda c: c.get_minute_time_data(0, "159915"), "minute", minutes(0, "159915", 0.001)),
    ("hq direct async", lambda c: c.get_history_minute_time_data(1, "600000", 20240628), "minute",
     minutes(1, "600000", 0.01)),
    ("hq direct async", lambda c: c.get_transaction_data(1, "600000", 100, 50), "tick",
     ticks(1, "600000", 0.01, 100, 50)),
    ("hq direct async", lambda c: c.get_history_transaction_data(1, "510300", 5, 3, 20240105), "tick",
     ticks(1, "510300", 0.001, 5, 3, history=True)),
    ("hq direct async", lambda c: c.get_finance_info(1, "600519"), "finance", finance(1, "600519")),
    ("hq async", lambda c: c.get_finance_info_dataframe([(1, "600519"), (0, "000002")]), "finance_frame",
     [finance(1, "600519"), finance(0, "000002")]),
    ("hq direct async", lambda c: c.get_xdxr_info(0, "000001"), "xdxr", xdxr(0, "000001")),
    ("hq direct", lambda c: c.get_and_parse_block_info("block_zs.dat"), "block", blocks("block_zs.dat")),
    ("smart", lambda c: c.get_security_bars(4, 1, "600100", 2, 5, 0), "smart_bar", bars(1, "600100", 2, 5)),
    ("smart", lambda c: c.get_security_quotes([(1, "600000"), (0, "000001")]), "smart_quote",
     quotes((1, "600000", 0.01), (0, "000001", 0.01))),
    ("fund", lambda c: c.get_fund_bars(0, 1, "510050", 1, 2), "bar", bars(1, "510050", 1, 2, 0)),
    ("fund", lambda c: c.get_fund_bars_all(4, 1, "510300", 900), "bar", bars(1, "510300", 800, 100) +
     bars(1, "510300", 0, 800)),
    ("fund", lambda c: c.get_fund_quotes([(1, "510300"), (0, "159915")]), "fund_quote",
     quotes((1, "510300", 0.001), (0, "159915", 0.001))),
    ("fund", lambda c: c.get_fund_minute_time_data(1, "510300"), "minute", minutes(1, "510300", 0.001)),
    ("fund", lambda c: c.get_fund_history_minute_time_data(0, "159915", 20240628), "minute",
     minutes(0, "159915", 0.001)),
    ("fund", lambda c: c.get_fund_transaction_data(0, "159915", 4, 3), "fund_tick", ticks(0, "159915", 0.001, 4, 3)),
    ("fund", lambda c: c.get_fund_history_transaction_data(1, "510050", 10, 2, 20240628), "fund_history_tick",
     ticks(1, "510050", 0.001, 10, 2)),
    ("fund", lambda c: c.get_fund_xdxr_info(1, "510300"), "fund_xdxr", xdxr(0, "000001"), FUND_XDXR),
    ("fund", lambda c: c.get_fund_finance_info(1, "510300"), "fund_finance", finance(1, "510300")),
    ("fund", lambda c: [c.get_fund_transaction_data(1, "519999"), c.get_fund_xdxr_info(0, "159915"),
                        c.get_fund_history_transaction_data(1, "519999", 0, 10, 20240628)], None, [[], [], []]),
    ("block", lambda c: c.get_block_bars(3, "880001", 1, 2), "block_bar", bars(1, "880001", 1, 2, 3)),
    ("block", lambda c: c.get_block_bars_default(4, "880001"), "block_bar", bars(1, "880001", 0, 100)),
    ("block", lambda c: c.get_block_quotes(["880001", "880002"]), "block_quote",
     quotes((1, "880001", 0.01), (1, "880002", 0.01))),
    ("block", lambda c: c.get_block_quotes(()), None, []),
    ("block", lambda c: c.get_block_list("block.dat") + c.get_industry_blocks() + c.get_concept_blocks()
     + c.get_index_blocks(), "block", blocks("block.dat", "block_fg.dat", "block_gn.dat", "block_zs.dat")),
]


@pytest.mark.parametrize("kind, call, keys, want, fault",
                         [(kind, *(row + (None,))[1:5]) for row in QUERIES for kind in row[0].split()])
def test_each_method_reaches_the_core_and_shapes_the_result(client, mock, kind, call, keys, want, fault):
    c = client(kind)
    if fault:
        mock.set_fault(fault[0], **fault[1])
    got = call(c)
    if keys is None:
        assert (got, type(got)) == (want, type(want))
        return
    keys, wants = KEYS[keys], want if isinstance(want, list) else [want]
    if hasattr(got, "columns"):
        assert list(got.columns) == keys
        got = got.to_dict("records")
    got = got if isinstance(got, list) else [got]
    assert len(got) == len(wants)
    for row, w in zip(got, wants):
        if type(row) is tuple:
            assert len(row) == len(keys)
            row = dict(zip(keys, row))
        assert list(row) == keys
        expected = {k: w[k] for k in keys}
        assert [type(v) for v in row.values()] == [type(v) for v in expected.values()]
        assert row == pytest.approx(expected)
