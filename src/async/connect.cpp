#include <cmath>
#include <cstdio>

#include "async/client.hpp"
#include "async/connection.hpp"
#include "core/error_codes.hpp"
#include "shared/timeout.hpp"

namespace quotix::net {

using asio::awaitable;
using asio::ip::tcp;

namespace {

// Opens one connection; run on the connection's own strand, which its socket and task keep.
// (The optional only gives the spawn's result the default value it needs.)
awaitable<std::optional<Result<tcp::socket>>> open_connection(ConnectionTarget target) {
    co_return co_await ConnectionTask::connect(std::move(target));
}

}  // namespace

awaitable<Status> AsyncTdxHqClient::connect(std::string ip, uint16_t port, std::optional<double> timeout) {
    const double t = timeout.value_or(ASYNC_DEFAULT_CONNECT_TIMEOUT_S);
    // Refused before the old pool is dropped, so a bad argument costs no connection.
    if (!std::isfinite(t) || t < 0) {
        co_return TdxError::coded(codes::ARGUMENT_OUT_OF_RANGE, "timeout=" + format_seconds(t));
    }
    const ConnectionTarget target{ip, port, timeout_duration(t), seams_.resolve};
    // Held to the end, heartbeat included: a disconnect or another connect waiting for the lock
    // finds the pool, the heartbeat and the alive flag changed together.
    auto guard = co_await pool_->mu.lock();
    pool_->handles.clear();
    for (size_t i = 0; i < pool_size_; ++i) {
        auto opened = co_await asio::co_spawn(asio::make_strand(executor()),
                                              open_connection(target), asio::use_awaitable);
        if (!opened->ok()) {
            // A failed connect leaves the client as disconnect does: the connections made so far
            // closed, no heartbeat, not alive. The caches keep their entries.
            pool_->handles.clear();
            co_await stop_heartbeat();
            alive_->store(false);
            co_return std::move(*opened).error();
        }
        auto queue = std::make_shared<RequestQueue>(executor(), REQUEST_QUEUE_CAPACITY);
        ConnectionTask::start(std::move(opened->value()), queue, target);
        pool_->handles.emplace_back(std::move(queue));
    }
    {
        auto g = co_await count_mu_.lock();
        count_cache_.clear();
    }
    {
        auto g = co_await list_mu_.lock();
        list_cache_.clear();
    }
    co_await start_heartbeat();
    co_return ok_status();
}

awaitable<void> AsyncTdxHqClient::disconnect() {
    auto guard = co_await pool_->mu.lock();
    co_await stop_heartbeat();
    pool_->handles.clear();
    alive_->store(false);
}

awaitable<size_t> AsyncTdxHqClient::connection_count() {
    auto guard = co_await pool_->mu.lock();
    co_return pool_->live().size();
}

}  // namespace quotix::net
