#include <gtest/gtest.h>

#include "constants.hpp"
#include "logging.hpp"

using namespace quotix;

namespace {
// Seconds since 1970 for a UTC date and time.
int64_t utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return static_cast<int64_t>(timegm(&t));
}
}  // namespace

TEST(Dates, TodayIsTheDateAtUtcPlus8) {
    EXPECT_EQ(yyyymmdd_at(utc(2026, 12, 31, 16, 0, 0)), 20270101u);
    EXPECT_EQ(yyyymmdd_at(utc(2026, 12, 31, 15, 59, 59)), 20261231u);
    EXPECT_EQ(yyyymmdd_at(utc(2000, 2, 28, 16, 0, 0)), 20000229u);
    EXPECT_EQ(yyyymmdd_at(utc(2100, 2, 28, 16, 0, 0)), 21000301u);
    EXPECT_EQ(yyyymmdd_at(-5), 19700101u);
    EXPECT_EQ(max_valid_year_at(utc(2026, 6, 1, 0, 0, 0)), 2036u);
    EXPECT_EQ(max_valid_year_at(-1), 1980u);
}

TEST(Logging, LevelFromEnvironmentValue) {
    const std::pair<const char*, int> cases[] = {
        {nullptr, 2}, {"off", 0},     {"error", 1},   {"warn", 2}, {"INFO", 3}, {"Debug", 4},
        {"warning", 2}, {" info", 2}, {"", 2},        {"3", 2},
    };
    for (auto [value, level] : cases) EXPECT_EQ(logging::level_from_env_value(value), level) << (value ? value : "unset");
    EXPECT_EQ(logging::level_from_env_value("off", false), 2);
}

TEST(Logging, LineFormatAndSuppression) {
    EXPECT_EQ(logging::format_line('W', "hq", "msg"), "[W] hq  msg\n");
    EXPECT_EQ(logging::format_line('E', "async_hq", ""), "[E] async_hq  \n");
    // A suppressed message is never formatted.
    auto saved = logging::LEVEL.load();
    logging::LEVEL = 1;
    int evaluated = 0;
    auto side = [&] { ++evaluated; return "x"; };
    QTX_LOG('W', "hq", side());
    EXPECT_EQ(evaluated, 0);
    logging::LEVEL = saved;
}
