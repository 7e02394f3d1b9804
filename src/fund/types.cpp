#include "fund/types.hpp"

#include "fund/utils.hpp"

namespace quotix::fund {

FundInfo FundInfo::from_security_info(const SecurityInfo& info, uint8_t market) {
    FundInfo f;
    f.code = info.code;
    f.name = info.name;
    f.pre_close = info.pre_close;
    f.vol_unit = info.volunit;
    f.decimal_point = info.decimal_point;
    f.fund_type = classify_fund(market, info.code);
    f.market = market;
    return f;
}

FundQuote FundQuote::from_security_quote(const SecurityQuote& q) {
    FundQuote f;
    f.market = q.market;
    f.code = q.code;
    f.price = q.price;
    f.last_close = q.last_close;
    f.open = q.open;
    f.high = q.high;
    f.low = q.low;
    f.vol = q.vol;
    f.amount = q.amount;
    f.bid1 = q.bid1; f.bid2 = q.bid2; f.bid3 = q.bid3; f.bid4 = q.bid4; f.bid5 = q.bid5;
    f.bid_vol1 = q.bid_vol1; f.bid_vol2 = q.bid_vol2; f.bid_vol3 = q.bid_vol3;
    f.bid_vol4 = q.bid_vol4; f.bid_vol5 = q.bid_vol5;
    f.ask1 = q.ask1; f.ask2 = q.ask2; f.ask3 = q.ask3; f.ask4 = q.ask4; f.ask5 = q.ask5;
    f.ask_vol1 = q.ask_vol1; f.ask_vol2 = q.ask_vol2; f.ask_vol3 = q.ask_vol3;
    f.ask_vol4 = q.ask_vol4; f.ask_vol5 = q.ask_vol5;
    f.servertime = q.servertime;
    return f;
}

}  // namespace quotix::fund
