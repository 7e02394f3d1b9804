// The event-loop runtime that the asynchronous client's tasks run on: one io_context served by a
// fixed set of worker threads, a blocking entry point for foreign threads, and a shutdown that
// cancels every task and joins every thread.
//
//   AsyncRuntime rt;                                  // one worker per core
//   auto client = AsyncTdxHqClient::with_pool_size(rt, 4);
//   Status s = rt.block_on(client->connect("127.0.0.1", 7709));
//   auto bars = rt.block_on(client->get_security_bars(4, 1, "600000", 0, 100, 0));
//
// block_on must be called from a thread that is not one of the runtime's workers (a worker that
// blocks on its own runtime can starve it).
#pragma once

#include "async/asio_config.hpp"

#include <atomic>
#include <cstddef>
#include <exception>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace quotix::net {

// The runtime's io_context. Shutting its services down destroys every pending handler (and so
// every suspended task with its sockets) while the context object itself stays alive for the
// asio objects that clients still hold; those may then be destroyed safely at any later time.
class RuntimeContext : public asio::io_context {
public:
    RuntimeContext() = default;
    void shutdown_services() { shutdown(); }
};

namespace detail {
template <class T>
struct BlockOnResult {
    using type = Result<T>;
};
template <class T>
struct BlockOnResult<Result<T>> {
    using type = Result<T>;
};
template <>
struct BlockOnResult<void> {
    using type = Status;
};
}  // namespace detail

class AsyncRuntime {
public:
    // `threads` 0: one worker per processor core (at least one). Throws std::system_error when
    // the system refuses a thread; `create` is the form that reports it as a value.
    explicit AsyncRuntime(size_t threads = 0);
    static Result<std::unique_ptr<AsyncRuntime>> create(size_t threads = 0);
    AsyncRuntime(const AsyncRuntime&) = delete;
    AsyncRuntime& operator=(const AsyncRuntime&) = delete;
    // Shuts down (see shutdown).
    ~AsyncRuntime();

    asio::any_io_executor executor() const { return ctx_->get_executor(); }
    // Shared so that clients can keep the context object (not its threads) alive as long as
    // they hold asio objects bound to it.
    const std::shared_ptr<RuntimeContext>& context() const { return ctx_; }

    // Stops the workers, joins them and destroys every task still pending, sockets included;
    // a block_on still waiting returns an error. Idempotent. Never call it from a worker.
    void shutdown();

    // Runs `op` on the runtime and waits for it. An operation that returns Result<T> gives that
    // result; one returning void gives a Status; any other T is wrapped in a Result<T>. A runtime
    // already shut down, or one shut down while waiting, gives a `Connection` error.
    template <class T>
    typename detail::BlockOnResult<T>::type block_on(asio::awaitable<T> op);

private:
    template <class R>
    static R abandoned() {
        return R(TdxError::connection("async runtime shut down"));
    }

    std::shared_ptr<RuntimeContext> ctx_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::vector<std::thread> workers_;
    std::mutex state_mu_;
    std::atomic<bool> shut_down_{false};
};

template <class T>
typename detail::BlockOnResult<T>::type AsyncRuntime::block_on(asio::awaitable<T> op) {
    using R = typename detail::BlockOnResult<T>::type;
    // Only the task holds the promise, so a task destroyed by shutdown breaks it.
    auto promise = std::make_shared<std::promise<R>>();
    std::future<R> fut = promise->get_future();
    {
        std::lock_guard lock(state_mu_);
        if (shut_down_.load()) return abandoned<R>();
        // Each operation on a strand of its own, so that any race of two waits inside it never
        // runs both branches at once.
        asio::co_spawn(
            asio::make_strand(*ctx_),
            [op = std::move(op), promise = std::move(promise)]() mutable -> asio::awaitable<void> {
                try {
                    if constexpr (std::is_void_v<T>) {
                        co_await std::move(op);
                        promise->set_value(ok_status());
                    } else {
                        promise->set_value(R(co_await std::move(op)));
                    }
                } catch (const std::exception& e) {
                    promise->set_value(R(TdxError::io(std::string("internal error: ") + e.what())));
                }
            },
            asio::detached);
    }
    try {
        return fut.get();
    } catch (const std::future_error&) {
        // The task was destroyed by a shutdown before it finished.
        return abandoned<R>();
    }
}

}  // namespace quotix::net
