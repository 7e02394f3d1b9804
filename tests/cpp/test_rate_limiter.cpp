#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <utility>

#include "net/rate_limiter.hpp"

using namespace quotix::net;
using namespace std::chrono;
using Clock = steady_clock;

namespace {
double ms_since(Clock::time_point t) { return duration<double, std::milli>(Clock::now() - t).count(); }
}  // namespace

TEST(RateLimiter, IntervalsFromRps) {
    RateLimiter l(milliseconds(67));
    EXPECT_EQ(l.interval(), milliseconds(67));
    // 1000 / rps, rounded down, never under 5 ms.
    for (auto [rps, ms] : {std::pair{15, 66}, {1, 1000}, {3, 333}, {7, 142}, {50, 20}, {200, 5}, {1000, 5}}) {
        l.set_rps(rps);
        EXPECT_EQ(l.interval(), milliseconds(ms)) << rps;
    }
    EXPECT_TRUE(l.enabled());
    l.set_rps(0);
    EXPECT_FALSE(l.enabled());
    EXPECT_EQ(l.interval(), milliseconds(5));  // kept for when it is switched on again
}

TEST(RateLimiter, FirstAcquireIsImmediateThenSpaced) {
    RateLimiter l(milliseconds(20));
    auto t0 = Clock::now();
    l.acquire();
    EXPECT_LT(ms_since(t0), 15.0);
    auto t1 = Clock::now();
    l.acquire();
    l.acquire();
    EXPECT_GE(ms_since(t1), 39.0);
}

TEST(RateLimiter, OffMeansNoWaitAndNoStamp) {
    RateLimiter l(milliseconds(100));
    l.acquire();
    l.set_rps(0);
    auto t0 = Clock::now();
    for (int i = 0; i < 5; ++i) l.acquire();
    EXPECT_LT(ms_since(t0), 50.0);
    // Back on: only the stamp made while it was on counts, and it is already old enough.
    std::this_thread::sleep_for(milliseconds(110));
    l.set_rps(10);
    auto t1 = Clock::now();
    l.acquire();
    EXPECT_LT(ms_since(t1), 50.0);
}

TEST(RateLimiter, ConcurrentCallersLeaveOneIntervalApart) {
    RateLimiter l(milliseconds(30));
    l.acquire();
    auto t0 = Clock::now();
    std::thread a([&] { l.acquire(); });
    std::thread b([&] { l.acquire(); });
    a.join();
    b.join();
    EXPECT_GE(ms_since(t0), 59.0);
}
