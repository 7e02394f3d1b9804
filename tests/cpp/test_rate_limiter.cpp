#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
    l.set_rps(15);
    EXPECT_EQ(l.interval(), milliseconds(66));
    l.set_rps(1);
    EXPECT_EQ(l.interval(), milliseconds(1000));
    l.set_rps(3);
    EXPECT_EQ(l.interval(), milliseconds(333));
    l.set_rps(7);
    EXPECT_EQ(l.interval(), milliseconds(142));
    l.set_rps(50);
    EXPECT_EQ(l.interval(), milliseconds(20));
    l.set_rps(200);
    EXPECT_EQ(l.interval(), milliseconds(5));
    l.set_rps(1000);
    EXPECT_EQ(l.interval(), milliseconds(5));
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
