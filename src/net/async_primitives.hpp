// Small coroutine primitives of the asynchronous client, built on asio's concurrent channels so
// that every waiter is an ordinary asio operation: a runtime shutdown destroys waiting tasks
// instead of leaving them stranded inside a structure of ours.
#pragma once

#include "net/asio_config.hpp"
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "error.hpp"

namespace quotix::net {

// Completion token of every wait here: errors come back as values, never as exceptions.
inline constexpr auto as_tuple_awaitable = asio::experimental::as_tuple(asio::use_awaitable);

// A fair (first come, first served) mutex whose lock is awaited, never spun on, and may be held
// across suspension points. asio has none; a channel of capacity one is exactly that: the
// holder's token sits in the buffer, later lockers queue as blocked senders in arrival order,
// and unlocking takes the token out, which admits the next sender.
class AsyncMutex {
public:
    class Guard {
    public:
        Guard() = default;
        explicit Guard(AsyncMutex* m) : m_(m) {}
        Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
        Guard& operator=(Guard&& o) noexcept {
            if (this != &o) {
                release();
                m_ = std::exchange(o.m_, nullptr);
            }
            return *this;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        ~Guard() { release(); }
        void release() {
            if (m_ != nullptr) std::exchange(m_, nullptr)->unlock();
        }

    private:
        AsyncMutex* m_ = nullptr;
    };

    explicit AsyncMutex(const asio::any_io_executor& ex) : ch_(ex, 1) {}

    asio::awaitable<Guard> lock() {
        auto [ec] = co_await ch_.async_send(asio::error_code{}, true, as_tuple_awaitable);
        // The channel is never closed, so a failed send can only be a cancellation; the caller
        // then holds nothing.
        co_return ec ? Guard() : Guard(this);
    }

private:
    void unlock() { ch_.try_receive([](asio::error_code, bool) {}); }

    // The bool payload only works around the ambiguity of a bare void(error_code) signature.
    asio::experimental::concurrent_channel<void(asio::error_code, bool)> ch_;
};

using Bytes = std::vector<uint8_t>;

// One-shot reply of a request: the body or the connection task's error. A closed channel with
// nothing in it means the request was dropped unanswered.
using ReplyChannel = asio::experimental::concurrent_channel<void(asio::error_code, std::optional<Result<Bytes>>)>;

// One queued request: the packet as it goes on the wire and where its answer goes. Dropping it
// unanswered closes the reply channel, so the waiting caller learns at once.
class Request {
public:
    Request(Bytes data, std::shared_ptr<ReplyChannel> reply) : data_(std::move(data)), reply_(std::move(reply)) {}
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() {
        if (!answered_ && reply_) reply_->close();
    }

    const Bytes& data() const { return data_; }
    // The answer is dropped silently when nobody waits any more (the channel has room for it).
    void answer(Result<Bytes> result) {
        answered_ = true;
        reply_->try_send(asio::error_code{}, std::optional<Result<Bytes>>(std::move(result)));
    }

private:
    Bytes data_;
    std::shared_ptr<ReplyChannel> reply_;
    bool answered_ = false;
};

// Capacity of each connection's request queue.
inline constexpr size_t REQUEST_QUEUE_CAPACITY = 64;

using RequestQueue = asio::experimental::concurrent_channel<void(asio::error_code, std::shared_ptr<Request>)>;

// The sending end of one connection's queue, and nothing else. Move-only: dropping it ends the
// connection task once the requests already queued have been served. The end is a null request
// queued behind them (closing the channel would discard them); a queue too full to take it is
// closed instead, and what it held is dropped, which its waiters see as `Disconnected`.
class ConnectionHandle {
public:
    explicit ConnectionHandle(std::shared_ptr<RequestQueue> queue) : queue_(std::move(queue)) {}
    ConnectionHandle(ConnectionHandle&&) noexcept = default;
    ConnectionHandle& operator=(ConnectionHandle&& o) noexcept {
        if (this != &o) {
            close();
            queue_ = std::move(o.queue_);
        }
        return *this;
    }
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;
    ~ConnectionHandle() { close(); }

    // Queues without waiting; false when the queue is full or closed (the request is then
    // dropped by the caller, which closes its reply channel).
    bool offer(const std::shared_ptr<Request>& req) { return queue_ && queue_->try_send(asio::error_code{}, req); }

private:
    void close() {
        if (!queue_) return;
        // Once the runtime has stopped there is no task left to read an end marker, and asio's
        // channels must then only be closed: a send into a channel whose waiting receiver was
        // destroyed by the shutdown is not safe.
        auto ex = queue_->get_executor();
        const auto* io = ex.target<asio::io_context::executor_type>();
        const bool running = io != nullptr && !io->context().stopped();
        if (!running || !queue_->try_send(asio::error_code{}, std::shared_ptr<Request>())) queue_->close();
        queue_.reset();
    }
    std::shared_ptr<RequestQueue> queue_;
};

// Waits for the answer on `reply`: the body, the task's error, or `Disconnected` when the
// request was dropped unanswered.
inline asio::awaitable<Result<Bytes>> await_reply(std::shared_ptr<ReplyChannel> reply) {
    auto [ec, value] = co_await reply->async_receive(as_tuple_awaitable);
    if (ec || !value) co_return TdxError::disconnected();
    co_return std::move(*value);
}

}  // namespace quotix::net
