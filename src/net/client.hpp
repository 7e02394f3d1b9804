// The blocking pooled client of the quote protocol: its state, server tables and lists,
// connecting, the request path with retry and reconnect, and the heartbeat thread.
//
// Queries are further member functions defined in their own .cpp files: each builds a packet
// (protocol/packet.hpp) and passes it to request() with the limiter of its class and the decoder
// of its reply, which runs while the connection that carried the reply is still held.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/constants.hpp"
#include "core/error.hpp"
#include "net/pool.hpp"
#include "net/rate_limiter.hpp"
#include "protocol/adjuster.hpp"
#include "protocol/types.hpp"
#include "shared/cache_entry.hpp"
#include "shared/fq_context.hpp"
#include "shared/reply_check.hpp"
#include "shared/servers.hpp"

namespace quotix::net {

using Bytes = std::vector<uint8_t>;

// (ip, port): the identity of a server. Names play no part in it.
using ServerAddr = std::pair<std::string, uint16_t>;

// What the client is built with. The defaults are the production values; tests substitute
// loopback tables and short times.
struct ClientSeams {
    std::vector<ServerEntry> primary_servers = to_entries(PRIMARY_SERVERS);
    std::vector<ServerEntry> all_known_servers = to_entries(ALL_KNOWN_SERVERS);
    std::chrono::milliseconds heartbeat_interval{10000};
    // Read/write (and connect) time-out of the connections the pool opens itself.
    double pool_timeout_s = 5.0;
    // Time-out of the reconnect before a retry and of reconnect_to_another_server.
    double reconnect_timeout_s = 5.0;
    // The sleeps before the four retries of a request.
    std::array<double, 4> retry_delays = std::to_array(RETRY_DELAYS);
};

// The server a request goes to: `current`, else the first primary row (with no row, an empty
// address that no connect accepts).
ServerAddr server_or_first_primary(const std::optional<ServerAddr>& current,
                                   const std::vector<ServerEntry>& primary);

// The current server, shared with the heartbeat thread.
struct SharedServer {
    std::mutex mu;
    std::optional<ServerAddr> value;

    std::optional<ServerAddr> get() {
        std::lock_guard lock(mu);
        return value;
    }
    void set(ServerAddr s) {
        std::lock_guard lock(mu);
        value = std::move(s);
    }
};

// The heartbeat's stop signal: a flag the thread can sleep on, so stopping takes effect at once.
class StopSignal {
public:
    void set() {
        {
            std::lock_guard lock(mu_);
            stop_ = true;
        }
        cv_.notify_all();
    }
    bool is_set() {
        std::lock_guard lock(mu_);
        return stop_;
    }
    // Sleeps up to `d`; true when the signal was set (before or during the wait).
    bool wait_for(std::chrono::milliseconds d) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, d, [this] { return stop_; });
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
};

class TdxHqClient {
public:
    TdxHqClient();
    explicit TdxHqClient(ClientSeams seams);
    TdxHqClient(const TdxHqClient&) = delete;
    TdxHqClient& operator=(const TdxHqClient&) = delete;
    // Stops and joins a running heartbeat thread.
    ~TdxHqClient();

    // ---- connecting (client_connect.cpp) ----

    // Connects and handshakes a new connection to (ip, port); on success it replaces the idle
    // pool content, becomes the current server, empties the caches and, with start_heartbeat,
    // replaces the heartbeat thread. A failure changes nothing. `timeout` absent: connect_timeout.
    Status connect_internal(const std::string& ip, uint16_t port, std::optional<double> timeout,
                            bool start_heartbeat);
    // connect_internal with a heartbeat: what the Python connect calls.
    Status connect(const std::string& ip, uint16_t port, std::optional<double> timeout = std::nullopt) {
        return connect_internal(ip, port, timeout, true);
    }
    // Success at once when connected; otherwise the current server, the user list, the primary
    // and then the full table, skipping blocked servers. Coded 2001 when nothing answers.
    Status connect_to_any(std::optional<double> timeout = std::nullopt);
    // Moves to the first unblocked primary server other than the current one; reports only
    // through the log and the connection state.
    void reconnect_to_another_server();

    // ---- heartbeat and disconnect (heartbeat.cpp) ----

    // Signals the heartbeat thread and waits for it to end (promptly: its sleep is interruptible).
    void stop_heartbeat();
    // Stops the heartbeat, closes the idle pooled connections, clears `connected`; keeps the
    // current server.
    void disconnect();
    bool heartbeat_running() const;

    // ---- request path (client_request.cpp) ----

    // One request through `limiter` (passed once), retried after each of the four retry delays
    // while auto-retry is on, ending in coded 2005 "5 attempts"; returns the inflated reply body.
    // `check` judges each reply while its connection is held: its refusal closes that connection
    // and is returned at once, never retried (the reply did come, and decoding is the caller's).
    Result<Bytes> send_and_recv_limited(std::span<const uint8_t> packet, RateLimiter& limiter,
                                        const ReplyCheck& check = {});
    // send_and_recv_limited with the reply decoded by `parse` (body -> Result<T>) as its check:
    // the decoded value, or the first error met.
    template <class Parse>
    auto request(std::span<const uint8_t> packet, RateLimiter& limiter, Parse parse)
        -> std::invoke_result_t<Parse&, std::span<const uint8_t>>;
    // The same through the general limiter.
    Result<Bytes> send_and_recv(std::span<const uint8_t> packet) { return send_and_recv_limited(packet, rate_limiter_); }
    // One pooled exchange: no limiter, no retry. `refused` is set when `check` refused the reply.
    Result<Bytes> try_send_and_recv(std::span<const uint8_t> packet, const ReplyCheck& check = {},
                                    bool* refused = nullptr);

    // ---- state and settings (client.cpp) ----

    bool is_connected() const { return connected_->load(); }
    std::optional<ServerAddr> current_server() const { return current_server_->get(); }
    // The server the next request dials when the pool has nothing idle.
    ServerAddr request_server() const { return server_or_first_primary(current_server(), seams_.primary_servers); }
    PoolStats pool_stats() const;

    void set_auto_retry(bool enabled) { auto_retry_.store(enabled); }
    bool auto_retry() const { return auto_retry_.load(); }
    // Stored as given; connect refuses a negative or NaN time-out before opening anything.
    void set_connect_timeout(double seconds);
    double connect_timeout() const;
    // Whole seconds; values too large for the monotonic clock are held at a century.
    void set_cache_ttl(uint64_t seconds);
    std::chrono::seconds cache_ttl() const;
    // The expiry of an entry stored now.
    std::chrono::steady_clock::time_point cache_expiry_from_now() const;
    void clear_caches();

    void set_fq_context_tier(uint8_t tier) { fq_context_tier_.exchange(tier); }
    uint8_t fq_context_tier() const { return fq_context_tier_.load(); }

    RateLimiter& rate_limiter() { return rate_limiter_; }
    RateLimiter& daily_rate_limiter() { return daily_rate_limiter_; }
    RateLimiter& minute_rate_limiter() { return minute_rate_limiter_; }

    // ---- server and block lists (client.cpp) ----

    void add_server(const std::string& name, const std::string& ip, uint16_t port);
    void set_servers(std::vector<ServerEntry> servers);
    void block_server(const std::string& ip, uint16_t port);
    void unblock_server(const std::string& ip, uint16_t port);
    std::vector<ServerAddr> blocked_servers() const;
    void clear_blocked_servers();
    bool is_server_blocked(const std::string& ip, uint16_t port) const;

    const std::vector<ServerEntry>& primary_servers() const { return seams_.primary_servers; }
    const std::vector<ServerEntry>& all_known_servers() const { return seams_.all_known_servers; }

    // ---- queries (client_queries.cpp, client_bars.cpp) ----
    // Every query that takes a start refuses one above 65535 with coded 1003 "start={}" before
    // sending anything: requests carry it in 16 bits.

    Result<std::vector<XdXrInfo>> get_xdxr_info(uint8_t market, std::string_view code);
    Result<FinanceInfo> get_finance_info(uint8_t market, std::string_view code);
    // Start 0 is served from the per-market cache while its entry lives.
    Result<std::vector<SecurityInfo>> get_security_list(uint8_t market, uint32_t start);
    // Served from the per-market cache while its entry lives.
    Result<uint16_t> get_security_count(uint8_t market);
    // At most the first 60 pairs; a block code among them is coded 1101.
    Result<std::vector<SecurityQuote>> get_security_quotes(
        std::span<const std::pair<uint8_t, std::string>> stocks);
    // Flag field 0; an empty result of category 4 or above is asked of other servers, three
    // attempts in all.
    Result<std::vector<IndexBar>> get_index_bars(uint8_t category, uint8_t market,
                                                 std::string_view code, uint32_t start,
                                                 uint16_t count);
    Result<std::vector<MinuteTimePrice>> get_history_minute_time_data(uint8_t market,
                                                                      std::string_view code,
                                                                      uint32_t date);
    Result<std::vector<TickData>> get_transaction_data(uint8_t market, std::string_view code,
                                                       uint32_t start, uint16_t count);
    Result<std::vector<TickData>> get_history_transaction_data(uint8_t market,
                                                               std::string_view code,
                                                               uint32_t start, uint16_t count,
                                                               uint32_t date);
    // Downloads the named block file through the pooled path (general limiter) and decodes it.
    Result<std::vector<BlockRecord>> get_and_parse_block_info(std::string_view file_name);

    // Bars with the caller's fq in the flag field, the server switch of get_index_bars, and, for
    // a non-zero fq, adjustment (2 backward, any other value forward) from the XDXR events and the
    // context pages the tier allows. A failed event or context request is returned as an error.
    Result<std::vector<SecurityBar>> get_security_bars(uint8_t category, uint8_t market,
                                                       std::string_view code, uint32_t start,
                                                       uint16_t count, uint8_t fq);
    // `count` bars in pages of 800 from the newest, oldest first, adjusted once as a whole.
    Result<std::vector<SecurityBar>> get_security_bars_all(uint8_t category, uint8_t market,
                                                           std::string_view code, uint16_t count,
                                                           uint8_t fq);
    // The factor of every ex-rights event of the daily window (start, count), with up to 30
    // context pages; no bar is adjusted.
    Result<FqFactorReport> calc_fq_factors(uint8_t market, std::string_view code, uint32_t start,
                                           uint16_t count);

    // One request through the general limiter, in the shape the shared fetch helpers take.
    RequestFn general_requester();

private:
    // get_security_bars without the adjustment.
    Result<std::vector<SecurityBar>> security_bars_unadjusted(uint8_t category, uint8_t market,
                                                              std::string_view code,
                                                              uint32_t start, uint16_t count,
                                                              uint8_t fq);

public:
    // ---- end of queries ----

protected:
    // Per-market caches of the security count and the list from position 0; the queries read and
    // fill them, a successful connect empties them.
    std::mutex count_cache_mu_;
    std::map<uint8_t, CacheEntry<uint16_t>> count_cache_;
    std::mutex list_cache_mu_;
    std::map<uint8_t, CacheEntry<std::vector<SecurityInfo>>> list_cache_;

private:
    // The walk before a retry: current server, user list, primary, full table; no block list.
    void reconnect_for_retry();
    // Starts a heartbeat thread over the shared state and records its handle and stop signal.
    void start_heartbeat_locked(double reconnect_timeout_s);
    void stop_heartbeat_locked();

    const ClientSeams seams_;

    std::shared_ptr<std::atomic<bool>> connected_;
    std::shared_ptr<SharedServer> current_server_;
    // Held for the whole of each pooled request; the pool itself is never replaced.
    mutable std::mutex pool_mu_;
    const std::shared_ptr<ConnectionPool> pool_;

    // Serialises starting and stopping the heartbeat, so two connects cannot leave two threads.
    mutable std::mutex heartbeat_control_mu_;
    std::mutex heartbeat_stop_mu_;
    std::shared_ptr<StopSignal> heartbeat_stop_;
    mutable std::mutex heartbeat_handle_mu_;
    std::optional<std::thread> heartbeat_handle_;

    mutable std::mutex cache_ttl_mu_;
    std::chrono::seconds cache_ttl_{30};
    mutable std::mutex connect_timeout_mu_;
    double connect_timeout_ = 5.0;

    mutable std::mutex servers_mu_;
    std::vector<ServerEntry> servers_;
    mutable std::mutex blocked_mu_;
    std::vector<ServerAddr> blocked_servers_;

    RateLimiter rate_limiter_{std::chrono::milliseconds(20)};
    RateLimiter daily_rate_limiter_{std::chrono::milliseconds(67)};
    RateLimiter minute_rate_limiter_{std::chrono::milliseconds(100)};

    std::atomic<bool> auto_retry_{true};
    std::atomic<uint8_t> fq_context_tier_{FQ_CONTEXT_MID};
};

template <class Parse>
auto TdxHqClient::request(std::span<const uint8_t> packet, RateLimiter& limiter, Parse parse)
    -> std::invoke_result_t<Parse&, std::span<const uint8_t>> {
    return request_decoded(
        [&](std::span<const uint8_t> p, const ReplyCheck& check) { return send_and_recv_limited(p, limiter, check); },
        packet, std::move(parse));
}

}  // namespace quotix::net
