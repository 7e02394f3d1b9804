// Request pacing of the asynchronous Python client: the minimum interval for a rate in requests
// per second, and the trading phase of the A-share market at a given moment with its rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quotix::net {

// Rates above this are taken as this (5 ms apart).
inline constexpr uint32_t MAX_RATE_PER_SECOND = 200;

// 1000 ms divided by the rate (capped at 200), whole milliseconds; 0 means no spacing at all.
std::chrono::milliseconds interval_for_rps(uint32_t rps);

// "trading" 50, "prepost" 100, "closed" 200 requests per second; any other name (case matters)
// has none.
std::optional<uint32_t> phase_rps(std::string_view phase);

// The phase at `unix_seconds` (seconds since 1970-01-01 UTC): "closed" on a Saturday or Sunday,
// "trading" from 09:30:00 to 15:00:00 inclusive on a weekday, "prepost" otherwise; weekday and
// time of day both taken at UTC+8, the exchange's own clock. No holiday calendar, no midday break.
std::string_view detect_trading_phase(int64_t unix_seconds);

// The wall clock in whole seconds since 1970-01-01 UTC; a clock set before 1970 reads 0.
int64_t wall_clock_seconds();

}  // namespace quotix::net
