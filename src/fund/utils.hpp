// Which codes may be asked for as funds, and what kind of fund a code is, by market and prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fund/constants.hpp"

namespace quotix::fund {

// Shanghai "50"/"51" on market 1, Shenzhen "15"/"16" on market 0; no other market has funds.
// Every fund-code check of the fund client goes through this one test.
bool is_fund_code(uint8_t market, std::string_view code);

// Nothing when the code may be queried as a fund (Shanghai "50"/"51", Shenzhen "15"/"16");
// otherwise the reason, "{market}:{code} is not a fund", for the caller to wrap in its own error.
[[nodiscard]] std::optional<std::string> validate_fund_code(uint8_t market, std::string_view code);

// The fund kind by the code's first three bytes; never fails, never yields Money.
FundType classify_fund(uint8_t market, std::string_view code);

}  // namespace quotix::fund
