// The entry of the clients' short-lived caches of security counts and lists.
#pragma once

#include <chrono>

namespace quotix::net {

// A cached value and the monotonic time until which it is valid (strictly before).
template <class T>
struct CacheEntry {
    T value;
    std::chrono::steady_clock::time_point expires_at;

    bool valid(std::chrono::steady_clock::time_point now) const { return now < expires_at; }
};

}  // namespace quotix::net
