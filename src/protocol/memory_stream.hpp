// A ByteStream over a byte buffer: reads come from `input`, sends are appended to `sent`. Lets the
// framing and the handshake run without a socket.
#pragma once

#include <algorithm>
#include <string>
#include <utility>

#include "protocol/stream.hpp"

namespace quotix::net {

class MemoryStream final : public ByteStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::vector<uint8_t> input) : input_(std::move(input)) {}

    // Reads never wait, so no exchange here has a deadline to meet.
    Deadline exchange_deadline() const override { return Deadline::max(); }

    Status send(std::span<const uint8_t> data) override {
        if (send_fails_) return TdxError::connection("send failed: " + send_error_);
        sent.insert(sent.end(), data.begin(), data.end());
        ++sends;
        return ok_status();
    }

    Result<std::vector<uint8_t>> recv(size_t n, Deadline) override {
        if (n == 0) return std::vector<uint8_t>{};
        if (input_.size() - pos_ < n) {
            pos_ = input_.size();
            return TdxError::disconnected();
        }
        std::vector<uint8_t> out(input_.begin() + static_cast<ptrdiff_t>(pos_),
                                 input_.begin() + static_cast<ptrdiff_t>(pos_ + n));
        pos_ += n;
        return out;
    }

    size_t unread() const { return input_.size() - pos_; }
    void fail_sends(std::string error) {
        send_fails_ = true;
        send_error_ = std::move(error);
    }

    std::vector<uint8_t> sent;
    size_t sends = 0;

private:
    std::vector<uint8_t> input_;
    size_t pos_ = 0;
    bool send_fails_ = false;
    std::string send_error_;
};

}  // namespace quotix::net
