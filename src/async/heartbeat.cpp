#include "async/client.hpp"

#include <asio/experimental/awaitable_operators.hpp>

#include "protocol/packet.hpp"

namespace quotix::net {

using asio::awaitable;
using namespace asio::experimental::awaitable_operators;

namespace {

// One beat: the count request to the next handle in the beat's own order, answered in time.
awaitable<bool> beat(AsyncPool& pool, size_t& counter, std::chrono::milliseconds timeout) {
    auto ex = co_await asio::this_coro::executor;
    Bytes packet = build_security_count_packet(0);
    auto guard = co_await pool.mu.lock();
    auto& handles = pool.live();
    if (handles.empty()) co_return false;
    const size_t idx = counter % handles.size();
    ++counter;
    auto reply = std::make_shared<ReplyChannel>(ex, 1);
    if (!handles[idx].offer(std::make_shared<Request>(std::move(packet), reply))) co_return false;
    asio::steady_timer timer(ex, timeout);
    auto r = co_await (reply->async_receive(as_tuple_awaitable) || timer.async_wait(as_tuple_awaitable));
    if (r.index() == 1) co_return false;
    auto& [ec, value] = std::get<0>(r);
    co_return !ec && value && value->ok();
}

awaitable<void> heartbeat_task(std::shared_ptr<AsyncPool> pool, std::shared_ptr<std::atomic<bool>> alive,
                               std::shared_ptr<StopChannel> stop, std::chrono::milliseconds interval,
                               std::chrono::milliseconds timeout) {
    auto ex = co_await asio::this_coro::executor;
    size_t counter = 0;
    for (;;) {
        asio::steady_timer sleep(ex, interval);
        auto r = co_await (stop->async_receive(as_tuple_awaitable) || sleep.async_wait(as_tuple_awaitable));
        // A stop value, or the channel closed because the sender was dropped or replaced.
        if (r.index() == 0) co_return;
        if (!co_await beat(*pool, counter, timeout)) alive->store(false);
    }
}

}  // namespace

awaitable<void> AsyncTdxHqClient::stop_heartbeat() {
    auto guard = co_await heartbeat_mu_.lock();
    if (heartbeat_stop_) {
        heartbeat_stop_->try_send(asio::error_code{}, true);
        heartbeat_stop_->close();
        heartbeat_stop_.reset();
    }
}

awaitable<void> AsyncTdxHqClient::start_heartbeat() {
    co_await stop_heartbeat();
    auto stop = std::make_shared<StopChannel>(executor(), 1);
    asio::co_spawn(asio::make_strand(executor()),
                   heartbeat_task(pool_, alive_, stop, seams_.heartbeat_interval, seams_.heartbeat_timeout),
                   asio::detached);
    {
        auto guard = co_await heartbeat_mu_.lock();
        if (heartbeat_stop_) heartbeat_stop_->close();
        heartbeat_stop_ = std::move(stop);
    }
    alive_->store(true);
}

}  // namespace quotix::net
