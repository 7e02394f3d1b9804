// The fund client's records: fund-list rows and quotes, built from the protocol records (its bars
// are the pooled client's own).
#pragma once

#include <cstdint>
#include <string>

#include "fund/constants.hpp"
#include "protocol/types.hpp"

namespace quotix::fund {

// One row of the fund list.
struct FundInfo {
    std::string code;
    std::string name;
    double pre_close = 0;
    uint16_t vol_unit = 0;
    uint8_t decimal_point = 0;
    FundType fund_type = FundType::Other;
    uint8_t market = 0;

    // Code, name, previous close, volume unit and decimals from the list row; the type from
    // classify_fund; the market as requested.
    static FundInfo from_security_info(const SecurityInfo& info, uint8_t market);
};

// The subset of a SecurityQuote that the fund client shows.
struct FundQuote {
    uint8_t market = 0;
    std::string code;
    double price = 0, last_close = 0, open = 0, high = 0, low = 0;
    double vol = 0, amount = 0;
    double bid1 = 0, bid2 = 0, bid3 = 0, bid4 = 0, bid5 = 0;
    double bid_vol1 = 0, bid_vol2 = 0, bid_vol3 = 0, bid_vol4 = 0, bid_vol5 = 0;
    double ask1 = 0, ask2 = 0, ask3 = 0, ask4 = 0, ask5 = 0;
    double ask_vol1 = 0, ask_vol2 = 0, ask_vol3 = 0, ask_vol4 = 0, ask_vol5 = 0;
    std::string servertime;

    static FundQuote from_security_quote(const SecurityQuote& q);
};

}  // namespace quotix::fund
