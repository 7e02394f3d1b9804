#include "net/pool.hpp"

#include <vector>

#include "core/error_codes.hpp"
#include "core/logging.hpp"

namespace quotix::net {

namespace {
void lower(size_t& n) {
    if (n > 0) --n;
}
}  // namespace

PooledConnGuard::~PooledConnGuard() {
    // Only a moved-from guard holds no connection; every other one was made with its pool.
    if (conn_) pool_->give_back(std::move(*conn_), broken_);
}

std::shared_ptr<ConnectionPool> ConnectionPool::create(size_t max_size, double timeout_s, OnConnect on_connect) {
    return std::shared_ptr<ConnectionPool>(new ConnectionPool(max_size, timeout_s, std::move(on_connect)));
}

Result<PooledConnGuard> ConnectionPool::checkout(const std::string& ip, uint16_t port, CheckoutTrace* trace) {
    // Idle connections found unfit are closed after the lock is released.
    std::vector<PooledConnection> unfit;
    {
        std::unique_lock lock(mu_);
        // Tested when taken, not only when given back: a late copy of a reply can arrive while
        // the connection sits idle, and the next request would read it as its own answer.
        while (!idle_.empty()) {
            PooledConnection c = std::move(idle_.front());
            idle_.pop_front();
            if (!c.conn.is_reusable()) {
                lower(total_);
                unfit.push_back(std::move(c));
                continue;
            }
            ++active_;
            lock.unlock();
            return PooledConnGuard(std::move(c), shared_from_this());
        }
        if (total_ >= max_size_) {
            if (trace) trace->exhausted = true;
            else QTX_LOG('E', "pool", "exhausted (active=" << active_ << ", max=" << max_size_ << ")");
            return TdxError::coded(codes::POOL_EXHAUSTED,
                                   "active=" + std::to_string(active_) + ", max=" + std::to_string(max_size_));
        }
        ++total_;
        ++active_;
    }
    auto undo = [this] {
        std::lock_guard lock(mu_);
        lower(total_);
        lower(active_);
    };
    auto conn = TcpConnection::connect(ip, port, timeout_s_);
    if (!conn) {
        undo();
        return std::move(conn).error();
    }
    if (on_connect_) {
        if (auto st = on_connect_(*conn); !st) {
            undo();
            return std::move(st).error();  // the connection closes as it goes out of scope
        }
    }
    return PooledConnGuard(PooledConnection{ip, port, std::move(*conn)}, shared_from_this());
}

void ConnectionPool::give_back(PooledConnection conn, bool broken) {
    // Decide under the lock, close after it: closing never needs the pool.
    std::optional<PooledConnection> to_close;
    {
        std::lock_guard lock(mu_);
        lower(active_);
        if (!broken && conn.conn.is_reusable() && idle_.size() < max_size_) {
            idle_.push_back(std::move(conn));
            return;
        }
        lower(total_);
        to_close.emplace(std::move(conn));
    }
}

void ConnectionPool::push(TcpConnection conn, std::string ip, uint16_t port) {
    std::lock_guard lock(mu_);
    ++total_;
    idle_.push_back(PooledConnection{std::move(ip), port, std::move(conn)});
}

void ConnectionPool::close_all() {
    std::lock_guard lock(mu_);
    while (!idle_.empty()) {
        PooledConnection c = std::move(idle_.front());
        idle_.pop_front();
        c.conn.shutdown_both();
        lower(total_);
    }
    active_ = 0;
}

PoolStats ConnectionPool::stats() const {
    std::lock_guard lock(mu_);
    return PoolStats{idle_.size(), active_, total_, max_size_};
}

}  // namespace quotix::net
