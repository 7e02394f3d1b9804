// The asynchronous pooled client: one task per pooled connection fed through a bounded queue,
// round-robin dispatch, a minimum-interval rate limiter, a heartbeat task that only observes,
// short-lived caches of security counts and lists, retries after RETRY_DELAYS, and bars with
// price adjustment. Every operation is a coroutine on the runtime the client was made for; the
// owner drives each one with AsyncRuntime::block_on.
//
// One client has at most one request in flight, whatever its pool size: the connection list's
// lock is held by each attempt until its reply is in hand (and by each heartbeat beat, and by
// connect for the whole pool fill). Every wait on the network is bounded by the connect
// time-out, so a silent server fails a request instead of holding that lock forever. A
// connection that fails an exchange part-way, or receives bytes no request asked for, is closed
// at once and its task ends; it then leaves the list the next time the list is looked at, so
// dispatch and beats visit only open connections and a late or repeated reply is never read as
// the answer to another request. A connection whose reply the caller's decoder refuses is closed
// too, and its task opens a new one to the same server in its place.
//
// Each connection task and the heartbeat run on a strand of their own: their waits race a timer
// against another operation, and the two branches of such a race must never run at once.
#pragma once

#include "async/asio_config.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "async/connection.hpp"
#include "async/primitives.hpp"
#include "async/runtime.hpp"
#include "core/constants.hpp"
#include "core/error.hpp"
#include "protocol/types.hpp"
#include "shared/cache_entry.hpp"
#include "shared/fq_context.hpp"

namespace quotix::net {

// Production timings; tests substitute short ones.
struct AsyncClientSeams {
    std::chrono::milliseconds heartbeat_interval{10000};
    std::chrono::milliseconds heartbeat_timeout{5000};
    std::chrono::milliseconds cache_ttl{30000};
    std::array<double, 4> retry_delays = std::to_array(RETRY_DELAYS);
    NameResolver resolve = system_resolve;
};

inline constexpr double ASYNC_DEFAULT_CONNECT_TIMEOUT_S = 5.0;

// Minimum spacing between request starts. The interval is written by the owner only; it is
// atomic so that a write while requests run is merely late, never a data race.
class AsyncRateLimiter {
public:
    explicit AsyncRateLimiter(const asio::any_io_executor& ex) : last_mu_(ex) {}

    // Waits until `interval` has passed since the previous caller left, holding the lock across
    // the sleep so that concurrent callers leave one at a time; then stamps the clock.
    asio::awaitable<void> wait();

    std::chrono::nanoseconds interval() const { return std::chrono::nanoseconds(interval_ns_.load()); }
    void set_interval(std::chrono::nanoseconds d) { interval_ns_.store(d.count() < 0 ? 0 : d.count()); }

private:
    AsyncMutex last_mu_;
    std::optional<std::chrono::steady_clock::time_point> last_;
    std::atomic<int64_t> interval_ns_{20'000'000};
};

// The connection list and its lock, shared with the heartbeat task.
struct AsyncPool {
    explicit AsyncPool(const asio::any_io_executor& ex) : mu(ex) {}
    // The handles of the connections still open, with `mu` held: those whose task has closed
    // its connection leave the list here.
    std::vector<ConnectionHandle>& live() {
        std::erase_if(handles, [](const ConnectionHandle& h) { return !h.is_open(); });
        return handles;
    }
    AsyncMutex mu;
    std::vector<ConnectionHandle> handles;
};

using StopChannel = asio::experimental::concurrent_channel<void(asio::error_code, bool)>;

class AsyncTdxHqClient {
public:
    // The client for `runtime`, unconnected: no I/O, no task. A pool size of 0 becomes 1.
    static std::unique_ptr<AsyncTdxHqClient> with_pool_size(AsyncRuntime& runtime, uint64_t pool_size,
                                                            AsyncClientSeams seams = {});
    // Keeps `ctx` (the object, not its threads) alive as long as the client holds asio objects.
    AsyncTdxHqClient(std::shared_ptr<RuntimeContext> ctx, uint64_t pool_size, AsyncClientSeams seams = {});
    AsyncTdxHqClient(const AsyncTdxHqClient&) = delete;
    AsyncTdxHqClient& operator=(const AsyncTdxHqClient&) = delete;
    // Tells the heartbeat to stop and drops the client's share of the pool; the connection
    // tasks end once nobody holds their queues.
    ~AsyncTdxHqClient();

    // ---- connecting (connect.cpp) ----

    // Replaces the pool with pool_size new connections to ip:port, each bounded by `timeout`
    // seconds (5.0 when absent) for the TCP connect (name resolution included), for each setup
    // exchange and for every later exchange on it. A time-out that is negative or not finite is
    // coded 1003 "timeout={}" before anything changes. On success the caches are emptied, the
    // heartbeat restarted and the client marked alive; a failure leaves the client as disconnect
    // does (no connection, no heartbeat, not alive, caches kept).
    asio::awaitable<Status> connect(std::string ip, uint16_t port, std::optional<double> timeout = std::nullopt);
    // Stops the heartbeat, drops every connection, clears the alive flag; caches stay.
    asio::awaitable<void> disconnect();
    // The connections open now.
    asio::awaitable<size_t> connection_count();
    bool is_alive() const { return alive_->load(); }
    size_t pool_size() const { return pool_size_; }

    // ---- heartbeat (heartbeat.cpp) ----

    asio::awaitable<void> start_heartbeat();
    asio::awaitable<void> stop_heartbeat();

    // ---- request path (request.cpp) ----

    // One pass of the rate limiter, then up to five attempts after the retry schedule; the
    // first attempt's error when all fail. Returns the reply body, already inflated. `check`
    // judges each reply on its connection: a refusal is returned at once, never retried, and
    // that connection is replaced by a new one to the same server.
    asio::awaitable<Result<Bytes>> send_and_recv(Bytes packet, ReplyCheck check = {});
    // send_and_recv with the reply decoded by `parse` (body -> Result<T>) as its check: the
    // decoded value, or the first error met. `parse` may run on another thread and must own
    // what it uses.
    template <class Parse>
    asio::awaitable<std::invoke_result_t<Parse&, std::span<const uint8_t>>> request(Bytes packet, Parse parse);
    // One attempt: a handle chosen round-robin (and its successor when its queue refuses).
    asio::awaitable<Result<Bytes>> try_send(const Bytes& packet, const ReplyCheck& check = {});

    AsyncRateLimiter& rate_limiter() { return rate_limiter_; }
    void set_fq_context_tier(uint8_t tier) { fq_context_tier_.store(tier); }
    uint8_t fq_context_tier() const { return fq_context_tier_.load(); }
    std::chrono::milliseconds cache_ttl() const { return seams_.cache_ttl; }

    // ---- queries (queries.cpp, bars.cpp) ----

    // Bars of one page; fq 0 none, 2 backward, any other value forward adjustment. A start
    // above 65535 is coded 1003 "start={}" before any request.
    asio::awaitable<Result<std::vector<SecurityBar>>> get_security_bars(uint8_t category, uint8_t market,
                                                                        std::string code, uint32_t start,
                                                                        uint16_t count, uint8_t fq);
    // Older bars for the adjustment of `bars` (the page that ends start + count bars back).
    asio::awaitable<Result<std::vector<SecurityBar>>> fetch_context_bars_for_adjust(
        uint8_t category, uint8_t market, std::string code, uint64_t first_offset,
        const std::vector<SecurityBar>& bars, const std::vector<XdXrInfo>& events);
    // fq is accepted and ignored: index bars are never adjusted.
    asio::awaitable<Result<std::vector<IndexBar>>> get_index_bars(uint8_t category, uint8_t market, std::string code,
                                                                  uint32_t start, uint16_t count, uint8_t fq);
    asio::awaitable<Result<std::vector<XdXrInfo>>> get_xdxr_info(uint8_t market, std::string code);
    asio::awaitable<Result<FinanceInfo>> get_finance_info(uint8_t market, std::string code);
    asio::awaitable<Result<uint16_t>> get_security_count(uint8_t market);
    asio::awaitable<Result<std::vector<SecurityInfo>>> get_security_list(uint8_t market, uint16_t start);
    // At most 60 pairs go out; a longer batch is cut with a warning line.
    asio::awaitable<Result<std::vector<SecurityQuote>>> get_security_quotes(
        std::vector<std::pair<uint8_t, std::string>> pairs);
    asio::awaitable<Result<std::vector<MinuteTimePrice>>> get_history_minute_time_data(uint8_t market,
                                                                                       std::string code,
                                                                                       uint32_t date);
    // The history query for today's date (UTC+8).
    asio::awaitable<Result<std::vector<MinuteTimePrice>>> get_minute_time_data(uint8_t market, std::string code);
    asio::awaitable<Result<std::vector<TickData>>> get_transaction_data(uint8_t market, std::string code,
                                                                        uint16_t start, uint16_t count);
    asio::awaitable<Result<std::vector<TickData>>> get_history_transaction_data(uint8_t market, std::string code,
                                                                                uint16_t start, uint16_t count,
                                                                                uint32_t date);

private:
    asio::any_io_executor executor() const { return ctx_->get_executor(); }

    // Declared first: destroyed last, after every asio object below.
    std::shared_ptr<RuntimeContext> ctx_;
    const AsyncClientSeams seams_;
    const size_t pool_size_;

    std::shared_ptr<AsyncPool> pool_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<size_t> next_index_{0};
    AsyncRateLimiter rate_limiter_;

    AsyncMutex count_mu_;
    std::unordered_map<uint8_t, CacheEntry<uint16_t>> count_cache_;
    AsyncMutex list_mu_;
    std::unordered_map<uint8_t, CacheEntry<std::vector<SecurityInfo>>> list_cache_;

    AsyncMutex heartbeat_mu_;
    std::shared_ptr<StopChannel> heartbeat_stop_;

    std::atomic<uint8_t> fq_context_tier_{FQ_CONTEXT_MID};
};

template <class Parse>
asio::awaitable<std::invoke_result_t<Parse&, std::span<const uint8_t>>> AsyncTdxHqClient::request(Bytes packet,
                                                                                                  Parse parse) {
    using Decoded = std::invoke_result_t<Parse&, std::span<const uint8_t>>;
    auto slot = std::make_shared<std::optional<Decoded>>();
    auto body = co_await send_and_recv(std::move(packet), decoding_check(slot, std::move(parse)));
    if (!body) co_return std::move(body).error();
    co_return std::move(**slot);
}

}  // namespace quotix::net
