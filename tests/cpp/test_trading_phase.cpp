#include <gtest/gtest.h>

#include "net/trading_phase.hpp"

using namespace quotix::net;
using std::chrono::milliseconds;

TEST(TradingPhase, IntervalIsWholeMillisecondsOfTheCappedRate) {
    const std::pair<uint32_t, int> cases[] = {{0, 0},   {1, 1000}, {3, 333},       {10, 100},
                                              {200, 5}, {201, 5},  {UINT32_MAX, 5}};
    for (auto [rps, ms] : cases) EXPECT_EQ(interval_for_rps(rps), milliseconds(ms)) << rps;
    EXPECT_EQ(phase_rps("trading"), 50u);
    EXPECT_EQ(phase_rps("prepost"), 100u);
    EXPECT_EQ(phase_rps("closed"), 200u);
    for (const char* bad : {"Trading", "trading ", ""}) EXPECT_FALSE(phase_rps(bad)) << bad;
}

TEST(TradingPhase, SessionAndTheExchangesOwnWeekend) {
    constexpr int64_t WED = 1719360000;  // 2024-06-26 00:00:00 UTC
    constexpr int64_t FRI = WED + 2 * 86400, SUN = WED + 4 * 86400;
    struct Case { int64_t day; int h, m, s; const char* want; };
    // Times are UTC; the exchange keeps UTC+8, so 09:30-15:00 there is 01:30-07:00 here and
    // its Saturday starts on Friday 16:00 UTC.
    const Case cases[] = {
        {WED, 1, 30, 0, "trading"},  {WED, 7, 0, 0, "trading"},     {WED, 1, 29, 59, "prepost"},
        {WED, 7, 0, 1, "prepost"},   {FRI, 15, 59, 59, "prepost"},  {FRI, 16, 0, 0, "closed"},
        {FRI + 86400, 3, 0, 0, "closed"}, {SUN, 15, 59, 59, "closed"}, {SUN, 16, 0, 0, "prepost"},
        {SUN + 86400, 1, 30, 0, "trading"},
        {0, 0, 0, 0, "prepost"},  // 1970-01-01 is a Thursday, 08:00 at UTC+8
        {-3 * 86400, 0, 0, 0, "prepost"},
    };
    for (const auto& c : cases) {
        const int64_t t = c.day + c.h * 3600 + c.m * 60 + c.s;
        EXPECT_EQ(detect_trading_phase(t), c.want) << t;
    }
    EXPECT_GT(wall_clock_seconds(), 1700000000);
}
