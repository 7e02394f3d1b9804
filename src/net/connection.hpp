// One blocking TCP connection with read and write time-outs. It knows nothing of the protocol.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "protocol/stream.hpp"

namespace quotix::net {

class TcpConnection final : public ByteStream {
public:
    // Resolves "host:port", connects to the first address that answers, then sets the read and
    // write time-outs to `timeout_s`. The connect itself is bounded by the same time-out. A
    // negative or NaN time-out is refused before anything is opened; a larger one than a socket
    // can hold is saturated.
    static Result<TcpConnection> connect(std::string_view host, uint16_t port, double timeout_s);

    TcpConnection(TcpConnection&& other) noexcept
        : fd_(other.fd_), read_timeout_(other.read_timeout_), failed_(other.failed_) {
        other.fd_ = -1;
    }
    TcpConnection& operator=(TcpConnection&&) = delete;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection() override;

    // Now plus the read time-out given to connect.
    Deadline exchange_deadline() const override;
    // Writes all bytes: `Connection` "send failed: {}" on any failure, a time-out included.
    Status send(std::span<const uint8_t> data) override;
    // Reads exactly n bytes, each wait given only the time left before `deadline`: `Disconnected`
    // when the peer closes first, `Connection` "recv failed: {}" otherwise (the deadline passing,
    // with the text of an expired socket time-out, and interruptions included).
    Result<std::vector<uint8_t>> recv(size_t n, Deadline deadline) override;

    // True when the peer is still connected, nothing unread is waiting and no send or read has
    // failed: a connection with a late reply pending, whose peer has sent its FIN, or whose
    // reply was cut off part-way is out of step with its requests and must not be reused.
    bool is_reusable() const;
    // Shuts both directions down (the socket stays open until destruction).
    void shutdown_both();
    int fd() const { return fd_; }

private:
    TcpConnection(int fd, std::chrono::nanoseconds read_timeout) : fd_(fd), read_timeout_(read_timeout) {}
    int fd_ = -1;
    std::chrono::nanoseconds read_timeout_{};
    bool failed_ = false;
};

}  // namespace quotix::net
