#include <cmath>
#include <cstdio>

#include "error_codes.hpp"
#include "net/async_client.hpp"
#include "net/async_connection.hpp"
#include "net/timeout.hpp"

namespace quotix::net {

using asio::awaitable;

awaitable<Status> AsyncTdxHqClient::connect(std::string ip, uint16_t port, std::optional<double> timeout) {
    const double t = timeout.value_or(ASYNC_DEFAULT_CONNECT_TIMEOUT_S);
    // Refused before the old pool is dropped, so a bad argument costs no connection.
    if (!std::isfinite(t) || t < 0) {
        co_return TdxError::coded(codes::ARGUMENT_OUT_OF_RANGE, "timeout=" + format_seconds(t));
    }
    const auto limit = timeout_duration(t);
    {
        auto guard = co_await pool_->mu.lock();
        pool_->handles.clear();
        for (size_t i = 0; i < pool_size_; ++i) {
            auto socket = co_await ConnectionTask::connect(ip, port, limit);
            if (!socket) co_return std::move(socket).error();
            auto queue = std::make_shared<RequestQueue>(executor(), REQUEST_QUEUE_CAPACITY);
            asio::co_spawn(executor(), ConnectionTask::run(std::move(*socket), queue, limit), asio::detached);
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
    }
    co_await start_heartbeat();
    co_return ok_status();
}

awaitable<void> AsyncTdxHqClient::disconnect() {
    co_await stop_heartbeat();
    {
        auto guard = co_await pool_->mu.lock();
        pool_->handles.clear();
    }
    alive_->store(false);
}

awaitable<size_t> AsyncTdxHqClient::connection_count() {
    auto guard = co_await pool_->mu.lock();
    co_return pool_->handles.size();
}

}  // namespace quotix::net
