// The smart client's memory of quote servers: the last server that worked, per-server counters and
// a 24-hour blacklist, mirrored after every change to ~/.quotix/server_cache.json.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.hpp"

namespace quotix::net {

struct ServerCacheEntry {
    std::string ip;
    uint16_t port = 0;
    std::string name;
    uint64_t timestamp = 0;  // Unix seconds
    uint32_t latency_ms = 0;
};

struct BlacklistEntry {
    std::string ip;
    uint16_t port = 0;
    std::string reason;  // "parse_error" or "kline_empty"
    uint64_t timestamp = 0;  // Unix seconds when added
};

struct ServerStats {
    uint32_t success = 0;
    uint32_t fail = 0;
    uint32_t avg_latency = 0;  // running mean over the recorded successes, ms
};

inline constexpr uint64_t BLACKLIST_TTL_SECS = 86400;

class ServerCache {
public:
    // Whole seconds since 1970-01-01 UTC.
    using Clock = std::function<uint64_t()>;

    uint32_t version = 1;
    std::optional<ServerCacheEntry> last_success;
    std::vector<BlacklistEntry> blacklist;
    std::map<std::string, ServerStats> server_stats;

    // <USERPROFILE, else HOME, else .>/.quotix/server_cache.json
    static std::filesystem::path cache_path();
    // "{ip}:{port}"
    static std::string stats_key(std::string_view ip, uint16_t port);
    // The wall clock; a clock set before 1970 gives 0.
    static uint64_t system_now();

    // The cache in the file at cache_path(), or the default cache when it cannot be read or parsed.
    static ServerCache load();
    static ServerCache load_from(const std::filesystem::path& path);

    // The file's text, pretty-printed with members in their fixed order.
    Result<std::string> to_json() const;
    static Result<ServerCache> from_json(std::string_view text);

    // Writes the whole cache to cache_path(); failures are logged, never returned.
    void save() const;

    void record_success(std::string_view ip, uint16_t port, std::string_view name,
                        uint32_t latency_ms);
    void record_failure(std::string_view ip, uint16_t port);
    void add_to_blacklist(std::string_view ip, uint16_t port, std::string_view reason);
    // True while a live entry (younger than 24 hours, not dated in the future) names the server.
    bool is_blacklisted(std::string_view ip, uint16_t port) const;

    // Tests replace the wall clock to age entries without waiting.
    void set_clock(Clock clock) { clock_ = std::move(clock); }
    const Clock& clock() const { return clock_; }
    uint64_t now() const { return clock_ ? clock_() : system_now(); }

private:
    bool is_live(const BlacklistEntry& e) const;

    Clock clock_;
};

}  // namespace quotix::net
