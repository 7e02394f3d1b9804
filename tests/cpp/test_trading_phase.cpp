#include <gtest/gtest.h>

#include "net/trading_phase.hpp"

using namespace quotix::net;
using std::chrono::milliseconds;

namespace {

constexpr int64_t WED_2024_06_26 = 1719360000;  // 00:00:00 UTC, a Wednesday
constexpr int64_t FRI_2024_06_28 = WED_2024_06_26 + 2 * 86400;
constexpr int64_t SUN_2024_06_30 = WED_2024_06_26 + 4 * 86400;

int64_t at(int64_t day, int h, int m, int s) { return day + h * 3600 + m * 60 + s; }

}  // namespace

TEST(TradingPhase, IntervalIsWholeMillisecondsOfTheCappedRate) {
    EXPECT_EQ(interval_for_rps(0), milliseconds(0));
    EXPECT_EQ(interval_for_rps(1), milliseconds(1000));
    EXPECT_EQ(interval_for_rps(3), milliseconds(333));
    EXPECT_EQ(interval_for_rps(10), milliseconds(100));
    EXPECT_EQ(interval_for_rps(200), milliseconds(5));
    EXPECT_EQ(interval_for_rps(201), milliseconds(5));
    EXPECT_EQ(interval_for_rps(1000000), milliseconds(5));
    EXPECT_EQ(interval_for_rps(UINT32_MAX), milliseconds(5));
}

TEST(TradingPhase, NamedPhasesAndTheirRates) {
    EXPECT_EQ(phase_rps("trading"), 50u);
    EXPECT_EQ(phase_rps("prepost"), 100u);
    EXPECT_EQ(phase_rps("closed"), 200u);
    EXPECT_EQ(interval_for_rps(*phase_rps("trading")), milliseconds(20));
    EXPECT_EQ(interval_for_rps(*phase_rps("prepost")), milliseconds(10));
    EXPECT_EQ(interval_for_rps(*phase_rps("closed")), milliseconds(5));
    EXPECT_FALSE(phase_rps("Trading"));
    EXPECT_FALSE(phase_rps("trading "));
    EXPECT_FALSE(phase_rps(""));
}

TEST(TradingPhase, SessionWindowIncludesBothEnds) {
    // 09:30:00 and 15:00:00 at UTC+8 are 01:30:00 and 07:00:00 UTC.
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 1, 30, 0)), "trading");
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 7, 0, 0)), "trading");
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 3, 45, 0)), "trading");
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 1, 29, 59)), "prepost");
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 7, 0, 1)), "prepost");
    EXPECT_EQ(detect_trading_phase(at(WED_2024_06_26, 12, 0, 0)), "prepost");
}

TEST(TradingPhase, WeekendIsTheExchangesOwnWeekend) {
    // Saturday 00:00 to 08:00 at UTC+8 is still Friday in UTC: the market is closed all the same.
    EXPECT_EQ(detect_trading_phase(at(FRI_2024_06_28, 15, 59, 59)), "prepost");
    EXPECT_EQ(detect_trading_phase(at(FRI_2024_06_28, 16, 0, 0)), "closed");
    EXPECT_EQ(detect_trading_phase(at(FRI_2024_06_28, 23, 59, 59)), "closed");
    EXPECT_EQ(detect_trading_phase(at(FRI_2024_06_28 + 86400, 3, 0, 0)), "closed");  // Saturday 11:00
    EXPECT_EQ(detect_trading_phase(at(SUN_2024_06_30, 3, 0, 0)), "closed");
    // Monday 00:00 at UTC+8 (Sunday 16:00 UTC) is before the session of a weekday.
    EXPECT_EQ(detect_trading_phase(at(SUN_2024_06_30, 15, 59, 59)), "closed");
    EXPECT_EQ(detect_trading_phase(at(SUN_2024_06_30, 16, 0, 0)), "prepost");
    EXPECT_EQ(detect_trading_phase(at(SUN_2024_06_30 + 86400, 1, 30, 0)), "trading");  // Monday 09:30
}

TEST(TradingPhase, EpochAndClocksBefore1970) {
    // 1970-01-01 00:00 UTC is a Thursday, 08:00 at UTC+8.
    EXPECT_EQ(detect_trading_phase(0), "prepost");
    EXPECT_EQ(detect_trading_phase(-86400 * 3), "prepost");
    EXPECT_GT(wall_clock_seconds(), 1700000000);
}
