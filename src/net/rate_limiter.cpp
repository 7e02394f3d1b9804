#include "net/rate_limiter.hpp"

#include <algorithm>
#include <thread>

namespace quotix::net {

void RateLimiter::set_rps(uint32_t rps) {
    std::lock_guard lock(mu_);
    if (rps != 0) interval_ = std::chrono::milliseconds(1000 / std::min<uint32_t>(rps, 200));
    enabled_.store(rps != 0);
}

void RateLimiter::acquire() {
    if (!enabled_.load()) return;
    std::lock_guard lock(mu_);
    if (last_) {
        // The clock is monotonic: the time since the last stamp is never negative.
        const auto elapsed = Clock::now() - *last_;
        // sleep_for resumes after a signal for the time that is left.
        if (elapsed < interval_) std::this_thread::sleep_for(interval_ - elapsed);
    }
    last_ = Clock::now();
}

std::chrono::milliseconds RateLimiter::interval() const {
    std::lock_guard lock(mu_);
    return interval_;
}

}  // namespace quotix::net
