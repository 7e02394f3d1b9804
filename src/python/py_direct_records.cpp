#include "python/py_direct_records.hpp"

namespace quotix::py::direct_records {

Ref bar_dicts(const std::vector<SecurityBar>& bars) {
    static KeySet keys{"open", "close", "high", "low",  "vol",    "amount",
                       "year", "month", "day",  "hour", "minute", "datetime"};
    return list_of(bars, [](const SecurityBar& b) {
        return DictBuilder(keys)
            .add(b.open).add(b.close).add(b.high).add(b.low).add(b.vol).add(b.amount)
            .add(b.year).add(b.month).add(b.day).add(b.hour).add(b.minute).add(b.datetime)
            .finish();
    });
}

Ref index_bar_dicts(const std::vector<IndexBar>& bars) {
    static KeySet keys{"open", "close", "high", "low",    "vol",      "amount",   "year",
                       "month", "day", "hour", "minute", "datetime", "up_count", "down_count"};
    return list_of(bars, [](const IndexBar& b) {
        return DictBuilder(keys)
            .add(b.open).add(b.close).add(b.high).add(b.low).add(b.vol).add(b.amount)
            .add(b.year).add(b.month).add(b.day).add(b.hour).add(b.minute).add(b.datetime)
            .add(b.up_count).add(b.down_count)
            .finish();
    });
}

Ref quote_dicts(const std::vector<SecurityQuote>& quotes) {
    static KeySet keys{"market",   "code",     "price",    "last_close", "open",     "high",
                       "low",      "vol",      "cur_vol",  "amount",     "s_vol",    "b_vol",
                       "bid1",     "bid_vol1", "ask1",     "ask_vol1",   "bid2",     "bid_vol2",
                       "ask2",     "ask_vol2", "bid3",     "bid_vol3",   "ask3",     "ask_vol3",
                       "bid4",     "bid_vol4", "ask4",     "ask_vol4",   "bid5",     "bid_vol5",
                       "ask5",     "ask_vol5", "servertime"};
    return list_of(quotes, [](const SecurityQuote& q) {
        return DictBuilder(keys)
            .add(q.market).add(q.code).add(q.price).add(q.last_close).add(q.open).add(q.high)
            .add(q.low).add(q.vol).add(q.cur_vol).add(q.amount).add(q.s_vol).add(q.b_vol)
            .add(q.bid1).add(q.bid_vol1).add(q.ask1).add(q.ask_vol1)
            .add(q.bid2).add(q.bid_vol2).add(q.ask2).add(q.ask_vol2)
            .add(q.bid3).add(q.bid_vol3).add(q.ask3).add(q.ask_vol3)
            .add(q.bid4).add(q.bid_vol4).add(q.ask4).add(q.ask_vol4)
            .add(q.bid5).add(q.bid_vol5).add(q.ask5).add(q.ask_vol5)
            .add(q.servertime)
            .finish();
    });
}

Ref security_info_dicts(const std::vector<SecurityInfo>& infos) {
    static KeySet keys{"code", "volunit", "decimal_point", "name", "pre_close"};
    return list_of(infos, [](const SecurityInfo& s) {
        return DictBuilder(keys).add(s.code).add(s.volunit).add(s.decimal_point).add(s.name)
            .add(s.pre_close).finish();
    });
}

Ref minute_to_list(const std::vector<MinuteTimePrice>& points) {
    static KeySet keys{"time", "price", "avg_price", "vol"};
    return list_of(points, [](const MinuteTimePrice& m) {
        return DictBuilder(keys).add(m.time).add(m.price).add(m.avg_price).add(m.vol).finish();
    });
}

Ref tick_to_list(const std::vector<TickData>& ticks) {
    static KeySet keys{"time", "price", "vol", "num", "buyorsell", "reserved"};
    return list_of(ticks, [](const TickData& t) {
        return DictBuilder(keys).add(t.time).add(t.price).add(t.vol).add(t.num).add(t.buyorsell)
            .add(t.reserved).finish();
    });
}

Ref finance_dict(const FinanceInfo& f) {
    static KeySet keys{"market",         "code",           "liutongguben",      "province",
                       "industry",       "updated_date",   "ipo_date",          "zongguben",
                       "guojiagu",       "faqirenfarengu", "farengu",           "bgu",
                       "hgu",            "zhigonggu",      "zongzichan",        "liudongzichan",
                       "gudingzichan",   "wuxingzichan",   "gudongrenshu",      "liudongfuzhai",
                       "changqifuzhai",  "zibengongjijin", "jingzichan",        "zhuyingshouru",
                       "zhuyinglirun",   "yingshouzhangkuan", "yingyelirun",    "touzishouyu",
                       "jingyingxianjinliu", "zongxianjinliu", "cunhuo",        "lirunzonghe",
                       "shuihoulirun",   "jinglirun",      "weifenpeilirun",    "meigujingzichan"};
    return DictBuilder(keys)
        .add(f.market).add(f.code).add(f.liutongguben).add(f.province).add(f.industry)
        .add(f.updated_date).add(f.ipo_date)
        .add(f.zongguben).add(f.guojiagu).add(f.faqirenfarengu).add(f.farengu).add(f.bgu)
        .add(f.hgu).add(f.zhigonggu).add(f.zongzichan).add(f.liudongzichan).add(f.gudingzichan)
        .add(f.wuxingzichan).add(f.gudongrenshu).add(f.liudongfuzhai).add(f.changqifuzhai)
        .add(f.zibengongjijin).add(f.jingzichan).add(f.zhuyingshouru).add(f.zhuyinglirun)
        .add(f.yingshouzhangkuan).add(f.yingyelirun).add(f.touzishouyu)
        .add(f.jingyingxianjinliu).add(f.zongxianjinliu).add(f.cunhuo).add(f.lirunzonghe)
        .add(f.shuihoulirun).add(f.jinglirun).add(f.weifenpeilirun).add(f.meigujingzichan)
        .finish();
}

Ref xdxr_dicts(const std::vector<XdXrInfo>& events) {
    static KeySet keys{"year",   "month",          "day",           "category",
                       "name",   "fenhong",        "peigujia",      "songzhuangu",
                       "peigu",  "suogu",          "panqianliutong", "panhouliutong",
                       "qianzongguben", "houzongguben", "fenshu",   "xingquanjia"};
    return list_of(events, [](const XdXrInfo& e) {
        return DictBuilder(keys)
            .add(e.year).add(e.month).add(e.day).add(e.category).add(e.name)
            .add(e.fenhong).add(e.peigujia).add(e.songzhuangu).add(e.peigu).add(e.suogu)
            .add(e.panqianliutong).add(e.panhouliutong).add(e.qianzongguben).add(e.houzongguben)
            .add(e.fenshu).add(e.xingquanjia)
            .finish();
    });
}

Ref block_record_dicts(const std::vector<BlockRecord>& records) {
    static KeySet keys{"blockname", "block_type", "code_index", "code"};
    return list_of(records, [](const BlockRecord& r) {
        return DictBuilder(keys).add(r.blockname).add(r.block_type).add(r.code_index).add(r.code)
            .finish();
    });
}

}  // namespace quotix::py::direct_records
