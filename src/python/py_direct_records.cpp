#include "python/py_direct_records.hpp"

namespace quotix::py::direct_records {

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

}  // namespace quotix::py::direct_records
