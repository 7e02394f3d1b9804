// The smart client's core: a pooled client that connects fast and checks a server's data only
// lazily, blacklisting a server whose daily bars come back empty or undecodable and moving on to
// the next primary server.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "net/client.hpp"
#include "net/server_cache.hpp"

namespace quotix::net {

struct SelectedServer {
    std::string ip;
    uint16_t port = 0;
    std::string name;
};

struct SmartProbeResult {
    std::string ip;
    uint16_t port = 0;
    std::string name;
    uint32_t ms = 0;
};

class TdxSmartClient {
public:
    // Production form: default client, cache loaded from the user's cache file.
    TdxSmartClient();
    // Tests give the client's tables and times, and a cache of their own.
    TdxSmartClient(ClientSeams seams, ServerCache cache);

    TdxHqClient client;

    // The probe: one daily bar of 1:600519 through the client's request path and general limiter.
    // True when the current server is taken as healthy; false when there is no selected server or
    // the probe failed (then the client is disconnected and the failure recorded).
    bool lazy_health_check();
    // Connects to the next primary server that is neither the selected one nor blacklisted;
    // coded 2001 "no alternative server available" when none connects.
    Status try_next_server();

    // The cached last good server first (blacklist not consulted), then the primary and the full
    // table skipping blacklisted rows, each with a heartbeat; records nothing in the cache.
    // Coded 2001 "all servers unreachable" when none connects.
    Status connect_to_any(std::optional<double> timeout = std::nullopt);
    // Times a connect to every primary server, records each success or failure in the cache and
    // disconnects after each success; the answering servers, fastest first.
    std::vector<SmartProbeResult> probe_and_cache(double timeout_secs);
    // "last_success: {}, blacklist: {}, stats: {}"
    std::string cache_stats();
    // Replaces the cache with the default one and writes it.
    void clear_cache();

    // ---- retrying queries (smart_queries.cpp) ----
    // Up to max_retries attempts of the client's own query, with no pause between them: an error
    // moves to the next primary server; an empty answer runs the lazy health check and moves on
    // only when that fails. A call that never gets a non-empty answer returns the last query
    // error, or coded 2005 "max retry reached" when there was none.

    // A failed move after an error returns that error; after an empty answer, the move's own.
    Result<std::vector<SecurityBar>> get_security_bars(uint8_t category, uint8_t market,
                                                       std::string_view code, uint32_t start,
                                                       uint16_t count, uint8_t fq);
    // A failed move after an empty answer ends the call as if the attempts were used up.
    Result<std::vector<SecurityQuote>> get_security_quotes(
        std::span<const std::pair<uint8_t, std::string>> stocks);

    std::optional<SelectedServer> selected_server() const;
    void set_selected_server(std::optional<SelectedServer> server);
    bool health_checked() const { return health_checked_.load(); }
    void clear_health_checked() { health_checked_.store(false); }

    // Runs `f` on the cache under its mutex.
    template <class F>
    auto with_cache(F&& f) {
        std::lock_guard lock(cache_mu_);
        return f(cache_);
    }

    uint32_t max_retries = 3;

private:
    // The server the last request actually went to: the client's current server, or the first
    // primary row when it has none.
    SelectedServer server_used(const SelectedServer& selected) const;

    mutable std::mutex cache_mu_;
    ServerCache cache_;
    mutable std::mutex selected_mu_;
    std::optional<SelectedServer> selected_server_;
    std::atomic<bool> health_checked_{false};
};

}  // namespace quotix::net
