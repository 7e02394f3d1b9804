// The two operations the protocol needs of a transport: send everything, read exactly n bytes.
// The TCP connection implements it; tests and fuzzers use an in-memory one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error.hpp"

namespace quotix::net {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Writes all of `data` or fails (a `Connection` error).
    virtual Status send(std::span<const uint8_t> data) = 0;
    // Reads exactly `n` bytes or fails: `Disconnected` when the stream ends first, a `Connection`
    // error for anything else.
    virtual Result<std::vector<uint8_t>> recv(size_t n) = 0;
};

}  // namespace quotix::net
