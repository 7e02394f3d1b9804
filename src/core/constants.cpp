#include "core/constants.hpp"

#include <chrono>

namespace quotix {
namespace {

int64_t now_unix_seconds() {
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

bool is_leap(uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

uint32_t max_valid_year_at(int64_t unix_seconds) {
    if (unix_seconds < 0) return 1980;
    return 1980 + static_cast<uint32_t>(unix_seconds / 31556952);
}

uint32_t max_valid_year() {
    // A function-local static is initialised once even under concurrent first calls.
    static const uint32_t year = max_valid_year_at(now_unix_seconds());
    return year;
}

uint32_t yyyymmdd_at(int64_t unix_seconds) {
    if (unix_seconds < 0) unix_seconds = 0;
    int64_t d = (unix_seconds + 28800) / 86400;
    uint32_t year = 1970;
    while (d >= (is_leap(year) ? 366 : 365)) {
        d -= is_leap(year) ? 366 : 365;
        ++year;
    }
    static constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    // d is now less than the year's length, so the walk ends by December.
    uint32_t month = 1;
    for (;; ++month) {
        const int len = kMonthDays[month - 1] + (month == 2 && is_leap(year) ? 1 : 0);
        if (d < len) break;
        d -= len;
    }
    return year * 10000 + month * 100 + static_cast<uint32_t>(d + 1);
}

uint32_t today_yyyymmdd() { return yyyymmdd_at(now_unix_seconds()); }

}  // namespace quotix
