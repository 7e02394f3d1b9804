// Construction, settings and the two server lists of the pooled client.
#include "net/client.hpp"

#include <algorithm>

#include "core/constants.hpp"
#include "core/logging.hpp"
#include "protocol/handshake.hpp"

namespace quotix::net {

namespace {
// A century: far beyond any useful time-to-live, and far from overflowing the monotonic clock.
constexpr uint64_t MAX_CACHE_TTL_S = 100ull * 365 * 24 * 3600;
}  // namespace

ServerAddr server_or_first_primary(const std::optional<ServerAddr>& current,
                                   const std::vector<ServerEntry>& primary) {
    if (current) return *current;
    if (primary.empty()) return ServerAddr();
    return ServerAddr(primary.front().ip, primary.front().port);
}

TdxHqClient::TdxHqClient() : TdxHqClient(ClientSeams{}) {}

TdxHqClient::TdxHqClient(ClientSeams seams)
    : seams_(std::move(seams)),
      connected_(std::make_shared<std::atomic<bool>>(false)),
      current_server_(std::make_shared<SharedServer>()),
      pool_(ConnectionPool::create(DEFAULT_POOL_SIZE, seams_.pool_timeout_s,
                                   [](TcpConnection& c) { return perform_handshake(c); })) {}

TdxHqClient::~TdxHqClient() { stop_heartbeat(); }

PoolStats TdxHqClient::pool_stats() const {
    std::lock_guard lock(pool_mu_);
    return pool_->stats();
}

void TdxHqClient::set_connect_timeout(double seconds) {
    std::lock_guard lock(connect_timeout_mu_);
    connect_timeout_ = seconds;
}

double TdxHqClient::connect_timeout() const {
    std::lock_guard lock(connect_timeout_mu_);
    return connect_timeout_;
}

void TdxHqClient::set_cache_ttl(uint64_t seconds) {
    std::lock_guard lock(cache_ttl_mu_);
    cache_ttl_ = std::chrono::seconds(static_cast<int64_t>(std::min(seconds, MAX_CACHE_TTL_S)));
}

std::chrono::seconds TdxHqClient::cache_ttl() const {
    std::lock_guard lock(cache_ttl_mu_);
    return cache_ttl_;
}

std::chrono::steady_clock::time_point TdxHqClient::cache_expiry_from_now() const {
    return std::chrono::steady_clock::now() + cache_ttl();
}

void TdxHqClient::clear_caches() {
    {
        std::lock_guard lock(count_cache_mu_);
        count_cache_.clear();
    }
    std::lock_guard lock(list_cache_mu_);
    list_cache_.clear();
}

void TdxHqClient::add_server(const std::string& name, const std::string& ip, uint16_t port) {
    std::lock_guard lock(servers_mu_);
    servers_.insert(servers_.begin(), ServerEntry{name, ip, port});
}

void TdxHqClient::set_servers(std::vector<ServerEntry> servers) {
    std::lock_guard lock(servers_mu_);
    servers_ = std::move(servers);
}

void TdxHqClient::block_server(const std::string& ip, uint16_t port) {
    std::lock_guard lock(blocked_mu_);
    for (const auto& b : blocked_servers_) {
        if (b.first == ip && b.second == port) return;
    }
    blocked_servers_.emplace_back(ip, port);
    QTX_LOG('I', "hq", "server " << ip << ":" << port << " added to blacklist");
}

void TdxHqClient::unblock_server(const std::string& ip, uint16_t port) {
    std::lock_guard lock(blocked_mu_);
    std::erase_if(blocked_servers_, [&](const ServerAddr& b) { return b.first == ip && b.second == port; });
    QTX_LOG('I', "hq", "server " << ip << ":" << port << " removed from blacklist");
}

std::vector<ServerAddr> TdxHqClient::blocked_servers() const {
    std::lock_guard lock(blocked_mu_);
    return blocked_servers_;
}

void TdxHqClient::clear_blocked_servers() {
    {
        std::lock_guard lock(blocked_mu_);
        blocked_servers_.clear();
    }
    QTX_LOG('I', "hq", "server blacklist cleared");
}

bool TdxHqClient::is_server_blocked(const std::string& ip, uint16_t port) const {
    std::lock_guard lock(blocked_mu_);
    return std::any_of(blocked_servers_.begin(), blocked_servers_.end(),
                       [&](const ServerAddr& b) { return b.first == ip && b.second == port; });
}

}  // namespace quotix::net
