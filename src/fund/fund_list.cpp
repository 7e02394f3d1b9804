#include "fund/fund_list.hpp"

#include "core/constants.hpp"
#include "fund/utils.hpp"

namespace quotix::fund {

uint32_t fund_list_page_budget(uint16_t security_count) {
    return (uint32_t{security_count} + FUND_LIST_PAGE_STEP - 1) / FUND_LIST_PAGE_STEP;
}

bool ends_past_fund_range(uint8_t market, std::string_view last_code) {
    std::string_view bound;
    if (market == MARKET_SZ) bound = "169999";
    else if (market == MARKET_SH) bound = "519999";
    else return false;
    // A fund-prefixed code may sort after the bound by its later digits ("51a..."), yet the
    // funds are not over while the list still shows them.
    if (is_fund_code(market, last_code)) return false;
    // string_view compares bytes as unsigned values, and a prefix sorts before the longer text.
    return last_code.compare(bound) > 0;
}

Result<std::vector<FundInfo>> get_fund_list(net::TdxHqClient& client, uint8_t market) {
    auto count = client.get_security_count(market);
    if (!count) return std::move(count).error();

    std::vector<FundInfo> funds;
    uint32_t start = 0;
    for (uint32_t budget = fund_list_page_budget(*count); budget > 0; --budget) {
        auto page = client.get_security_list(market, start);
        if (!page) return std::move(page).error();
        if (page->empty()) break;
        // The step is fixed whatever the page held: a short page is not taken as the end.
        start += FUND_LIST_PAGE_STEP;
        for (const SecurityInfo& entry : *page)
            if (is_fund_code(market, entry.code)) funds.push_back(FundInfo::from_security_info(entry, market));
        // Before the first fund the list may still be short of the fund range.
        if (!funds.empty() && ends_past_fund_range(market, page->back().code)) break;
    }
    return funds;
}

}  // namespace quotix::fund
