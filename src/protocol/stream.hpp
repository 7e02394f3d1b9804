// The two operations the protocol needs of a transport: send everything, read exactly n bytes,
// and the deadline that bounds one exchange of a request and its reply. The TCP connection
// implements it; tests and fuzzers use an in-memory one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"

namespace quotix::net {

class ByteStream {
public:
    using Clock = std::chrono::steady_clock;
    using Deadline = Clock::time_point;

    virtual ~ByteStream() = default;
    // When an exchange that begins now must be over: the stream's read time-out from now. The
    // time-out bounds the whole reply, not each read, so a peer that trickles bytes cannot hold
    // the caller for longer than one time-out.
    virtual Deadline exchange_deadline() const = 0;
    // Writes all of `data` or fails (a `Connection` error).
    virtual Status send(std::span<const uint8_t> data) = 0;
    // Reads exactly `n` bytes by `deadline` or fails: `Disconnected` when the stream ends first, a
    // `Connection` error for anything else; a deadline that passes fails as an expired read
    // time-out does.
    virtual Result<std::vector<uint8_t>> recv(size_t n, Deadline deadline) = 0;
};

}  // namespace quotix::net
