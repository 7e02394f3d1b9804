#include "net/smart_client.hpp"

#include <algorithm>
#include <chrono>

#include "core/error_codes.hpp"
#include "core/logging.hpp"
#include "protocol/packet.hpp"
#include "protocol/parsers.hpp"
#include "shared/decoders.hpp"

namespace quotix::net {

namespace {

constexpr double SWITCH_TIMEOUT_S = 5.0;

}  // namespace

TdxSmartClient::TdxSmartClient() : cache_(ServerCache::load()) {}

TdxSmartClient::TdxSmartClient(ClientSeams seams, ServerCache cache)
    : client(std::move(seams)), cache_(std::move(cache)) {}

std::optional<SelectedServer> TdxSmartClient::selected_server() const {
    std::lock_guard lock(selected_mu_);
    return selected_server_;
}

void TdxSmartClient::set_selected_server(std::optional<SelectedServer> server) {
    std::lock_guard lock(selected_mu_);
    selected_server_ = std::move(server);
}

SelectedServer TdxSmartClient::server_used(const SelectedServer& selected) const {
    const ServerAddr cur = client.request_server();
    if (cur.first == selected.ip && cur.second == selected.port) return selected;
    // A fail-over inside the request path moved the client; name the server from the tables.
    SelectedServer used{cur.first, cur.second, {}};
    for (const auto* table : {&client.primary_servers(), &client.all_known_servers()}) {
        for (const auto& row : *table) {
            if (row.ip == used.ip && row.port == used.port) {
                used.name = row.name;
                return used;
            }
        }
    }
    return used;
}

bool TdxSmartClient::lazy_health_check() {
    if (health_checked_.load()) return true;
    const auto selected = selected_server();
    if (!selected) return false;
    QTX_LOG('I', "smart",
            "performing lazy health check on " << selected->ip << ":" << selected->port << "...");

    // Decoded as the reply's check, so a reply that does not decode also closes its connection;
    // `bars` then holds the decoder's error, and `body` that same error.
    auto bars_slot = std::make_shared<std::optional<Result<std::vector<SecurityBar>>>>();
    auto body = client.send_and_recv_limited(build_security_bars_packet(4, 1, "600519", 0, 1, 0), client.rate_limiter(),
                                             decoding_check(bars_slot, security_bars_decoder(4)));
    // Blame the server that answered (or failed to): retries inside the request may have moved
    // the client away from the selected one. The selection follows, pass or fail, so that a move
    // after a failed check skips the server that failed rather than the one left behind.
    const SelectedServer used = server_used(*selected);
    if (used.ip != selected->ip || used.port != selected->port) set_selected_server(used);
    if (!*bars_slot) {
        QTX_LOG('W', "smart", "health check failed: " << body.error().display());
        with_cache([&](ServerCache& c) { c.record_failure(used.ip, used.port); });
        client.disconnect();
        return false;
    }
    const auto& bars = **bars_slot;
    if (!bars || bars->empty()) {
        const char* reason = bars ? "kline_empty" : "parse_error";
        if (!bars)
            QTX_LOG('W', "smart", "health check failed: parse error: " << bars.error().display());
        else
            QTX_LOG('W', "smart", "health check failed: K-line empty, server may have protocol anomaly");
        with_cache([&](ServerCache& c) { c.add_to_blacklist(used.ip, used.port, reason); });
        with_cache([&](ServerCache& c) { c.record_failure(used.ip, used.port); });
        client.disconnect();
        return false;
    }
    QTX_LOG('I', "smart", "health check passed: got " << bars->size() << " bars");
    health_checked_.store(true);
    with_cache([&](ServerCache& c) { c.record_success(used.ip, used.port, used.name, 0); });
    return true;
}

Status TdxSmartClient::try_next_server() {
    const auto selected = selected_server();
    for (const auto& row : client.primary_servers()) {
        if (selected && selected->ip == row.ip && selected->port == row.port) continue;
        if (with_cache([&](ServerCache& c) { return c.is_blacklisted(row.ip, row.port); })) continue;
        if (!client.connect_internal(row.ip, row.port, SWITCH_TIMEOUT_S, true)) continue;
        set_selected_server(SelectedServer{row.ip, row.port, row.name});
        health_checked_.store(false);
        QTX_LOG('I', "smart", "switched to server: " << row.ip << ":" << row.port);
        return ok_status();
    }
    QTX_LOG('E', "smart", "no alternative server available");
    return TdxError::coded(codes::CONNECTION_FAILED, "no alternative server available");
}

Status TdxSmartClient::connect_to_any(std::optional<double> timeout) {
    {
        std::unique_lock lock(cache_mu_);
        if (cache_.last_success) {
            const ServerCacheEntry last = *cache_.last_success;
            QTX_LOG('I', "smart",
                    "trying cached server: " << last.name << " (" << last.ip << ":" << last.port << ")");
            // The cache stays locked across this connect: nothing may change the entry meanwhile.
            if (client.connect_internal(last.ip, last.port, timeout, true)) {
                set_selected_server(SelectedServer{last.ip, last.port, last.name});
                health_checked_.store(false);
                return ok_status();
            }
            QTX_LOG('W', "smart", "cached server " << last.ip << " unavailable, trying next");
        }
    }
    auto try_table = [&](const std::vector<ServerEntry>& table, bool log_skips) {
        for (const auto& row : table) {
            if (with_cache([&](ServerCache& c) { return c.is_blacklisted(row.ip, row.port); })) {
                if (log_skips)
                    QTX_LOG('I', "smart", "skipping blacklisted server: " << row.ip << ":" << row.port);
                continue;
            }
            if (!client.connect_internal(row.ip, row.port, timeout, true)) continue;
            set_selected_server(SelectedServer{row.ip, row.port, row.name});
            health_checked_.store(false);
            return true;
        }
        return false;
    };
    if (try_table(client.primary_servers(), true) || try_table(client.all_known_servers(), false))
        return ok_status();
    QTX_LOG('E', "smart", "all servers unreachable");
    return TdxError::coded(codes::CONNECTION_FAILED, "all servers unreachable");
}

std::vector<SmartProbeResult> TdxSmartClient::probe_and_cache(double timeout_secs) {
    std::vector<SmartProbeResult> found;
    for (const auto& row : client.primary_servers()) {
        const auto t0 = std::chrono::steady_clock::now();
        if (client.connect_internal(row.ip, row.port, timeout_secs, true)) {
            const auto ms = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      std::chrono::steady_clock::now() - t0)
                                                      .count());
            with_cache([&](ServerCache& c) { c.record_success(row.ip, row.port, row.name, ms); });
            found.push_back(SmartProbeResult{row.ip, row.port, row.name, ms});
            QTX_LOG('I', "probe", row.ip << ":" << row.port << " (" << row.name << ") - " << ms << "ms");
            client.disconnect();
        } else {
            with_cache([&](ServerCache& c) { c.record_failure(row.ip, row.port); });
            QTX_LOG('W', "probe", row.ip << ":" << row.port << " (" << row.name << ") - failed");
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const SmartProbeResult& a, const SmartProbeResult& b) { return a.ms < b.ms; });
    return found;
}

std::string TdxSmartClient::cache_stats() {
    return with_cache([](ServerCache& c) {
        std::string last = "None";
        if (c.last_success)
            last = "Some(\"" + c.last_success->ip + ":" + std::to_string(c.last_success->port) + "\")";
        return "last_success: " + last + ", blacklist: " + std::to_string(c.blacklist.size()) +
               ", stats: " + std::to_string(c.server_stats.size());
    });
}

void TdxSmartClient::clear_cache() {
    with_cache([](ServerCache& c) {
        ServerCache fresh;
        // The injected clock belongs to the holder, not to the records being cleared.
        fresh.set_clock(c.clock());
        c = std::move(fresh);
        c.save();
        QTX_LOG('I', "smart", "cache cleared");
    });
}

}  // namespace quotix::net
