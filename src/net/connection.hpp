// One blocking TCP connection with read and write time-outs. It knows nothing of the protocol.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "error.hpp"
#include "net/stream.hpp"

namespace quotix::net {

class TcpConnection final : public ByteStream {
public:
    // Resolves "host:port", connects to the first address that answers, then sets the read and
    // write time-outs to `timeout_s`. The connect itself is bounded by the same time-out. A
    // negative or NaN time-out is refused before anything is opened; a larger one than a socket
    // can hold is saturated.
    static Result<TcpConnection> connect(std::string_view host, uint16_t port, double timeout_s);

    TcpConnection(TcpConnection&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TcpConnection& operator=(TcpConnection&& other) noexcept;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    ~TcpConnection() override;

    // Writes all bytes: `Connection` "send failed: {}" on any failure, a time-out included.
    Status send(std::span<const uint8_t> data) override;
    // Reads exactly n bytes: `Disconnected` when the peer closes first, `Connection`
    // "recv failed: {}" otherwise (time-outs and interruptions included).
    Result<std::vector<uint8_t>> recv(size_t n) override;

    // True when the peer is still connected and nothing unread is waiting: a connection with a
    // late reply pending, or whose peer has sent its FIN, must not be reused.
    bool is_reusable() const;
    // Shuts both directions down (the socket stays open until destruction).
    void shutdown_both();
    int fd() const { return fd_; }

private:
    explicit TcpConnection(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The operating system's text for an errno value followed by " (os error N)".
std::string os_error_text(int err);

}  // namespace quotix::net
