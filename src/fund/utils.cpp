#include "fund/utils.hpp"

#include <initializer_list>

#include "core/constants.hpp"

namespace quotix::fund {

bool is_fund_code(uint8_t market, std::string_view code) {
    // Only the first two bytes decide; the remaining length is the server's business.
    if (code.size() < 2) return false;
    const std::string_view head = code.substr(0, 2);
    if (market == MARKET_SH) return head == "50" || head == "51";
    if (market == MARKET_SZ) return head == "15" || head == "16";
    return false;
}

std::optional<std::string> validate_fund_code(uint8_t market, std::string_view code) {
    if (is_fund_code(market, code)) return std::nullopt;
    return std::to_string(market) + ":" + std::string(code) + " is not a fund";
}

FundType classify_fund(uint8_t market, std::string_view code) {
    if (code.size() < 3) return FundType::Other;
    const std::string_view p = code.substr(0, 3);
    auto any_of = [p](std::initializer_list<std::string_view> prefixes) {
        for (std::string_view x : prefixes)
            if (p == x) return true;
        return false;
    };
    // The Shanghai prefixes are tried whatever the market; the Shenzhen ones only for market 0.
    if (p == "508") return FundType::REITs;
    if (any_of({"510", "512", "513", "515", "516"})) return FundType::ETF;
    if (p == "511") return FundType::Bond;
    if (any_of({"501", "502"})) return FundType::LOF;
    if (p == "506") return FundType::ETF;
    if (any_of({"517", "518"})) return FundType::ETF;
    if (p == "519") return FundType::OpenEnd;
    if (market != MARKET_SZ) return FundType::Other;
    if (p == "159") return FundType::ETF;
    if (any_of({"160", "161"})) return FundType::LOF;
    if (any_of({"162", "163", "164"})) return FundType::Structured;
    return FundType::Other;
}

}  // namespace quotix::fund
