// The main client's pool of at most `max_size` open, handshaken connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/error.hpp"
#include "net/connection.hpp"

namespace quotix::net {

struct PooledConnection {
    std::string ip;
    uint16_t port = 0;
    TcpConnection conn;
};

struct PoolStats {
    size_t idle = 0;
    size_t active = 0;
    size_t total = 0;
    size_t max_size = 0;
};

class ConnectionPool;

// What one checkout met on its way, for a caller that judges the server by it (the heartbeat).
struct CheckoutTrace {
    // Nothing idle and no room for a new connection (coded 2006).
    bool exhausted = false;
};

// Holds one checked-out connection. Destroying it gives the connection back: into the idle
// queue when it is still fit for another exchange, closed otherwise.
class PooledConnGuard {
public:
    PooledConnGuard(PooledConnection conn, std::shared_ptr<ConnectionPool> pool)
        : conn_(std::move(conn)), pool_(std::move(pool)) {}
    PooledConnGuard(PooledConnGuard&& other) noexcept
        : conn_(std::move(other.conn_)), pool_(std::move(other.pool_)), broken_(other.broken_) {
        other.conn_.reset();
    }
    PooledConnGuard& operator=(PooledConnGuard&&) = delete;
    PooledConnGuard(const PooledConnGuard&) = delete;
    ~PooledConnGuard();

    TcpConnection& conn() { return conn_->conn; }
    const std::string& ip() const { return conn_->ip; }
    uint16_t port() const { return conn_->port; }

    // Marks the connection unusable: the exchange on it failed, so a late reply may still be on
    // its way and the stream is no longer in step with the requests. It is closed on give-back.
    void discard() { broken_ = true; }

private:
    std::optional<PooledConnection> conn_;
    std::shared_ptr<ConnectionPool> pool_;
    bool broken_ = false;
};

class ConnectionPool : public std::enable_shared_from_this<ConnectionPool> {
public:
    using OnConnect = std::function<Status(TcpConnection&)>;

    // Always held through a shared pointer: guards keep their pool alive.
    static std::shared_ptr<ConnectionPool> create(size_t max_size, double timeout_s, OnConnect on_connect);

    // An idle connection (whatever server it was opened to) still fit for an exchange, the unfit
    // ones closed on the way; else a new one to (ip, port) opened and handshaken outside the
    // lock, else coded 2006. With `trace` (the heartbeat's checkout) the exhaustion is not
    // logged and what the checkout met is recorded there instead.
    Result<PooledConnGuard> checkout(const std::string& ip, uint16_t port, CheckoutTrace* trace = nullptr);
    // Adds an already handshaken connection to the idle queue (no size check).
    void push(TcpConnection conn, std::string ip, uint16_t port);
    // Shuts down and closes every idle connection and resets `active`; handed-out connections are
    // given back later under the usual rules.
    void close_all();

    PoolStats stats() const;
    size_t max_size() const { return max_size_; }
    double timeout() const { return timeout_s_; }

private:
    friend class PooledConnGuard;
    ConnectionPool(size_t max_size, double timeout_s, OnConnect on_connect)
        : max_size_(max_size), timeout_s_(timeout_s), on_connect_(std::move(on_connect)) {}
    void give_back(PooledConnection conn, bool broken);

    const size_t max_size_;
    const double timeout_s_;
    const OnConnect on_connect_;

    mutable std::mutex mu_;
    std::deque<PooledConnection> idle_;
    size_t active_ = 0;
    size_t total_ = 0;
};

}  // namespace quotix::net
