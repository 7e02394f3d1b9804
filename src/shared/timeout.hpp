// Time-outs given in seconds, shared by the blocking and the asynchronous connections.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace quotix::net {

// Waits beyond this are indistinguishable from none; larger values (infinity included) are held
// here rather than overflowing a timeval or the clock.
inline constexpr double MAX_TIMEOUT_S = 1.0e8;

// A non-negative time-out as a duration, capped at MAX_TIMEOUT_S.
inline std::chrono::nanoseconds timeout_duration(double seconds) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(seconds, MAX_TIMEOUT_S)));
}

// A time-out as it appears in error messages.
inline std::string format_seconds(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace quotix::net
