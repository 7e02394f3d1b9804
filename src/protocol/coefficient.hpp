// The scale that turns the integer prices of quotes, minute data and ticks into prices.
#pragma once

#include <cstdint>
#include <string_view>

namespace quotix {

// 0.01, 0.001, 0.0001 or 0.00001, chosen by market and the code's leading bytes. Never fails.
double get_security_coefficient(uint8_t market, std::string_view code);

}  // namespace quotix
