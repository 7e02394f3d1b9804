// The request path: one pooled exchange, and the retry loop around it.
#include <cstdio>
#include <thread>

#include "core/constants.hpp"
#include "core/error_codes.hpp"
#include "core/logging.hpp"
#include "net/client.hpp"
#include "protocol/response.hpp"

namespace quotix::net {

namespace {
constexpr int RETRIES = 4;

std::string one_decimal(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}
}  // namespace

Result<Bytes> TdxHqClient::try_send_and_recv(std::span<const uint8_t> packet, const ReplyCheck& check,
                                             bool* refused) {
    const ServerAddr server = request_server();
    std::lock_guard lock(pool_mu_);
    auto guard = pool_->checkout(server.first, server.second);
    if (!guard) return std::move(guard).error();
    auto body = send_and_read(guard->conn(), packet);
    // A failed exchange leaves the stream out of step (a late reply may still arrive), and so
    // does a reply that is not the answer asked for (this request's own answer is still to
    // come): either way the connection is closed rather than reused.
    if (!body) {
        guard->discard();
        return body;
    }
    if (Status st = check_reply(check, *body); !st) {
        guard->discard();
        if (refused) *refused = true;
        return std::move(st).error();
    }
    return body;
}

Result<Bytes> TdxHqClient::send_and_recv_limited(std::span<const uint8_t> packet, RateLimiter& limiter,
                                                 const ReplyCheck& check) {
    limiter.acquire();
    bool refused = false;
    auto first = try_send_and_recv(packet, check, &refused);
    if (first.ok() || refused || !auto_retry_.load()) return first;

    for (int n = 1; n <= RETRIES; ++n) {
        const double d = seams_.retry_delays[n - 1];
        QTX_LOG('W', "hq", "request failed, retry " << n << "/" << RETRIES << " in " << one_decimal(d) << "s");
        // sleep_for resumes after a signal, so the full delay is always kept.
        std::this_thread::sleep_for(std::chrono::duration<double>(d));
        if (!connected_->load()) {
            QTX_LOG('W', "hq", "connection lost, attempting reconnect...");
            reconnect_for_retry();
        }
        auto r = try_send_and_recv(packet, check, &refused);
        if (r.ok() || refused) return r;
    }
    QTX_LOG('E', "hq", "retry exhausted after " << (RETRIES + 1) << " attempts");
    return TdxError::coded(codes::RETRY_EXHAUSTED, std::to_string(RETRIES + 1) + " attempts");
}

}  // namespace quotix::net
