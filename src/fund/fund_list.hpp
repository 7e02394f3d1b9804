// The fund list: the funds of one exchange, gathered from its security list page by page.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "fund/types.hpp"
#include "net/client.hpp"

namespace quotix::fund {

// Offsets of successive security-list pages; servers send at most this many entries a page.
inline constexpr uint32_t FUND_LIST_PAGE_STEP = 1000;

// List pages worth asking for: the security count in pages, rounded up (at most 66).
uint32_t fund_list_page_budget(uint16_t security_count);

// True when a page ending with `last_code` ends past every fund of the market, so later pages
// (the list is sorted by code) can hold none: the code is not itself a fund code and sorts, byte
// for byte, after "169999" on market 0 or "519999" on market 1. Never true on other markets.
bool ends_past_fund_range(uint8_t market, std::string_view last_code);

// Walks the market's security list from offset 0 and keeps the fund codes, classified, in server
// order. Stops when the count's pages are spent, a page comes back empty, or a page ends past the
// fund range once a fund has been found. The first failing request fails the whole walk.
Result<std::vector<FundInfo>> get_fund_list(net::TdxHqClient& client, uint8_t market);

}  // namespace quotix::fund
