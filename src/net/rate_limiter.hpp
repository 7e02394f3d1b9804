// A minimum-interval limiter: starts of requests through one limiter are at least `interval`
// apart, measured from when each was let through.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace quotix::net {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateLimiter(std::chrono::milliseconds interval) : interval_(interval) {}

    // Requests per second, capped at 200; 0 switches the limiter off and keeps interval and the
    // last stamp for when it is switched on again.
    void set_rps(uint32_t rps);
    // Waits (holding the limiter, so concurrent callers leave one interval apart) until a request
    // may start, then stamps it.
    void acquire();

    std::chrono::milliseconds interval() const;
    bool enabled() const { return enabled_.load(); }

private:
    mutable std::mutex mu_;
    std::chrono::milliseconds interval_;
    std::optional<Clock::time_point> last_;
    std::atomic<bool> enabled_{true};
};

}  // namespace quotix::net
