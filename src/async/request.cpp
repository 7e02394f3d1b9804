#include "async/client.hpp"

namespace quotix::net {

using asio::awaitable;

namespace {

awaitable<void> sleep_for(std::chrono::nanoseconds d) {
    if (d.count() <= 0) co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor, d);
    co_await timer.async_wait(as_tuple_awaitable);
}

// `check`, raising `refused` when it refuses (it runs on the connection's thread). A plain
// function: GCC 12 gets a coroutine lambda's captures of the coroutine's own parameters wrong.
ReplyCheck noting_refusal(ReplyCheck check, std::shared_ptr<std::atomic<bool>> refused) {
    if (!check) return check;
    return [check = std::move(check), refused = std::move(refused)](std::span<const uint8_t> body) {
        Status st = check(body);
        if (!st) refused->store(true);
        return st;
    };
}

}  // namespace

awaitable<void> AsyncRateLimiter::wait() {
    auto guard = co_await last_mu_.lock();
    const auto interval = this->interval();
    if (last_) {
        const auto elapsed = std::chrono::steady_clock::now() - *last_;
        if (elapsed < interval) co_await sleep_for(interval - elapsed);
    }
    last_ = std::chrono::steady_clock::now();
}

awaitable<Result<Bytes>> AsyncTdxHqClient::try_send(const Bytes& packet, const ReplyCheck& check) {
    auto guard = co_await pool_->mu.lock();
    auto& handles = pool_->live();
    if (handles.empty()) co_return TdxError::disconnected();
    const size_t n = handles.size();
    const size_t idx = next_index_.fetch_add(1) % n;
    auto reply = std::make_shared<ReplyChannel>(executor(), 1);
    if (!handles[idx].offer(std::make_shared<Request>(packet, reply, check))) {
        const size_t next = (idx + 1) % n;
        if (next == idx) co_return TdxError::connection("connection busy");
        reply = std::make_shared<ReplyChannel>(executor(), 1);
        if (!handles[next].offer(std::make_shared<Request>(packet, reply, check))) {
            co_return TdxError::connection("all connections busy");
        }
    }
    // The lock stays held until the reply is in hand: one request in flight per client.
    co_return co_await await_reply(std::move(reply));
}

awaitable<Result<Bytes>> AsyncTdxHqClient::send_and_recv(Bytes packet, ReplyCheck check) {
    // A refused reply did come: its error is the caller's decoding error, not one to retry.
    auto refused = std::make_shared<std::atomic<bool>>(false);
    const ReplyCheck watched = noting_refusal(std::move(check), refused);
    co_await rate_limiter_.wait();
    auto first = co_await try_send(packet, watched);
    if (first || refused->load()) co_return first;
    for (double delay : seams_.retry_delays) {
        co_await sleep_for(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(delay)));
        auto again = co_await try_send(packet, watched);
        if (again || refused->load()) co_return again;
    }
    co_return first;
}

}  // namespace quotix::net
