// Small coroutine primitives of the asynchronous client, built on asio's concurrent channels so
// that every waiter is an ordinary asio operation: a runtime shutdown destroys waiting tasks
// instead of leaving them stranded inside a structure of ours.
#pragma once

#include "async/asio_config.hpp"
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "shared/reply_check.hpp"

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

// One queued request: the packet as it goes on the wire, the check its reply must pass (run by
// the connection task, which alone can close the connection that carried a refused reply), and
// where its answer goes. Dropping it unanswered closes the reply channel, so the waiting caller
// learns at once.
class Request {
public:
    Request(Bytes data, std::shared_ptr<ReplyChannel> reply, ReplyCheck check = {})
        : data_(std::move(data)), reply_(std::move(reply)), check_(std::move(check)) {}
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request() {
        if (!answered_ && reply_) reply_->close();
    }

    const Bytes& data() const { return data_; }
    Status check(const Bytes& body) const { return check_reply(check_, body); }
    // The answer is dropped silently when nobody waits any more (the channel has room for it).
    void answer(Result<Bytes> result) {
        answered_ = true;
        reply_->try_send(asio::error_code{}, std::optional<Result<Bytes>>(std::move(result)));
    }

private:
    Bytes data_;
    std::shared_ptr<ReplyChannel> reply_;
    ReplyCheck check_;
    bool answered_ = false;
};

// Capacity of each connection's request queue.
inline constexpr size_t REQUEST_QUEUE_CAPACITY = 64;

// The bounded queue between one connection's handle and its task. The handle offers requests
// without waiting and finishes the queue when it is dropped; the task takes them in order and
// shuts the queue when its connection is closed, which refuses every later offer and answers
// whatever is still queued, so no request is ever left waiting in a queue nobody reads.
class RequestQueue {
public:
    using Channel = asio::experimental::concurrent_channel<void(asio::error_code, std::shared_ptr<Request>)>;

    RequestQueue(const asio::any_io_executor& ex, size_t capacity) : ch_(ex, capacity) {}

    // False when the queue is full or no longer taken from.
    bool offer(std::shared_ptr<Request> req) {
        std::lock_guard lock(mu_);
        return open_ && ch_.try_send(asio::error_code{}, std::move(req));
    }

    // The sender is gone: the task serves what is queued, then ends. The end is a null request
    // queued behind the others; a full queue needs none, since the task looks for the end each
    // time it finds the queue empty.
    void finish() {
        std::lock_guard lock(mu_);
        if (finished_) return;
        finished_ = true;
        if (!open_) return;
        open_ = false;
        // Once the runtime has stopped there is no task left to read an end marker, and asio's
        // channels must then only be closed: a send into a channel whose waiting receiver was
        // destroyed by the shutdown is not safe.
        auto ex = ch_.get_executor();
        const auto* io = ex.target<asio::io_context::executor_type>();
        const bool running = io != nullptr && !io->context().stopped();
        if (!running) {
            ch_.close();
        } else {
            (void)ch_.try_send(asio::error_code{}, std::shared_ptr<Request>());
        }
    }

    // Task side: a request already queued, or null; `ended` when the queue has ended.
    std::shared_ptr<Request> try_next(bool& ended) {
        std::lock_guard lock(mu_);
        std::shared_ptr<Request> got;
        bool any = ch_.try_receive([&](asio::error_code, std::shared_ptr<Request> r) { got = std::move(r); });
        ended = any ? got == nullptr : finished_;
        return got;
    }

    // Task side, for waiting when try_next found nothing: completes with the next request, or
    // null for the end.
    Channel& channel() { return ch_; }

    // Task side: the connection is closed. Later offers are refused and every request still
    // queued gets `why`.
    void shut(const TdxError& why) {
        std::vector<std::shared_ptr<Request>> left;
        {
            std::lock_guard lock(mu_);
            open_ = false;
            while (ch_.try_receive([&](asio::error_code, std::shared_ptr<Request> r) {
                if (r) left.push_back(std::move(r));
            })) {
            }
        }
        for (auto& r : left) r->answer(why);
    }

    bool is_open() const {
        std::lock_guard lock(mu_);
        return open_;
    }

private:
    mutable std::mutex mu_;
    bool open_ = true;
    bool finished_ = false;
    Channel ch_;
};

// The sending end of one connection's queue, and nothing else. Move-only: dropping it ends the
// connection task once the requests already queued have been served.
class ConnectionHandle {
public:
    explicit ConnectionHandle(std::shared_ptr<RequestQueue> queue) : queue_(std::move(queue)) {}
    ConnectionHandle(ConnectionHandle&&) noexcept = default;
    ConnectionHandle& operator=(ConnectionHandle&& o) noexcept {
        if (this != &o) {
            if (queue_) queue_->finish();
            queue_ = std::move(o.queue_);
        }
        return *this;
    }
    ConnectionHandle(const ConnectionHandle&) = delete;
    ConnectionHandle& operator=(const ConnectionHandle&) = delete;
    ~ConnectionHandle() {
        if (queue_) queue_->finish();
    }

    // Queues without waiting; false when the queue is full or its connection closed (the
    // request is then dropped by the caller, which closes its reply channel). Neither call is
    // made on a handle moved from.
    bool offer(const std::shared_ptr<Request>& req) { return queue_->offer(req); }
    // False once the connection task has closed its connection and ended.
    bool is_open() const { return queue_->is_open(); }

private:
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
