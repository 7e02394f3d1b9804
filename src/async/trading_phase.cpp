#include "async/trading_phase.hpp"

#include <algorithm>

namespace quotix::net {

namespace {

constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t UTC8_OFFSET = 8 * 3600;
constexpr int64_t SESSION_OPEN = 9 * 3600 + 30 * 60;  // 09:30:00
constexpr int64_t SESSION_CLOSE = 15 * 3600;         // 15:00:00, still inside

}  // namespace

std::chrono::milliseconds interval_for_rps(uint32_t rps) {
    if (rps == 0) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(1000 / std::min(rps, MAX_RATE_PER_SECOND));
}

std::optional<uint32_t> phase_rps(std::string_view phase) {
    if (phase == "trading") return 50;
    if (phase == "prepost") return 100;
    if (phase == "closed") return 200;
    return std::nullopt;
}

std::string_view detect_trading_phase(int64_t unix_seconds) {
    // The weekday is the exchange's: 07:00 on a Saturday at UTC+8 is still Friday in UTC, and
    // the market is closed then.
    const int64_t local = std::max<int64_t>(unix_seconds, 0) + UTC8_OFFSET;
    const int64_t day = local / SECONDS_PER_DAY;
    const int64_t weekday = (day + 4) % 7;  // 1970-01-01 was a Thursday; 0 is Sunday
    if (weekday == 0 || weekday == 6) return "closed";
    const int64_t second = local % SECONDS_PER_DAY;
    if (second >= SESSION_OPEN && second <= SESSION_CLOSE) return "trading";
    return "prepost";
}

int64_t wall_clock_seconds() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const int64_t s = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return std::max<int64_t>(s, 0);
}

}  // namespace quotix::net
