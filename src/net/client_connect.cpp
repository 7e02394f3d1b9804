// Connecting the pooled client: one server, any server, another server.
#include <cstdio>

#include "core/error_codes.hpp"
#include "core/logging.hpp"
#include "net/client.hpp"
#include "net/connection.hpp"
#include "protocol/handshake.hpp"

namespace quotix::net {

Status TdxHqClient::connect_internal(const std::string& ip, uint16_t port, std::optional<double> timeout,
                                     bool start_heartbeat) {
    const double t = timeout ? *timeout : connect_timeout();
    auto conn = TcpConnection::connect(ip, port, t);
    if (!conn) return std::move(conn).error();
    QTX_TRY(perform_handshake(*conn));

    // The old heartbeat must be gone before the new connection is installed: a beat failing
    // after the swap would otherwise clear the fresh pool and move the client elsewhere.
    std::unique_lock<std::mutex> control;
    if (start_heartbeat) {
        control = std::unique_lock(heartbeat_control_mu_);
        stop_heartbeat_locked();
    }
    {
        std::lock_guard lock(pool_mu_);
        pool_->close_all();
        pool_->push(std::move(*conn), ip, port);
    }
    connected_->store(true);
    current_server_->set(ServerAddr(ip, port));
    clear_caches();
    if (start_heartbeat) {
        start_heartbeat_locked(connect_timeout());
        connected_->store(true);
    }
    QTX_LOG('I', "hq", "connected to " << ip << ":" << port);
    return ok_status();
}

Status TdxHqClient::connect_to_any(std::optional<double> timeout) {
    if (connected_->load()) return ok_status();

    if (auto cur = current_server_->get(); cur && !is_server_blocked(cur->first, cur->second)) {
        if (connect_internal(cur->first, cur->second, timeout, false).ok()) return ok_status();
    }
    {
        std::lock_guard lock(servers_mu_);
        for (const auto& s : servers_) {
            if (is_server_blocked(s.ip, s.port)) continue;
            if (connect_internal(s.ip, s.port, timeout, false).ok()) return ok_status();
        }
    }
    for (const auto* table : {&seams_.primary_servers, &seams_.all_known_servers}) {
        for (const auto& row : *table) {
            if (is_server_blocked(row.ip, row.port)) continue;
            if (connect_internal(row.ip, row.port, timeout, false).ok()) return ok_status();
        }
    }
    QTX_LOG('E', "hq", "all servers unreachable (tried user/primary/all_known lists)");
    return TdxError::coded(codes::CONNECTION_FAILED, "all servers unreachable");
}

void TdxHqClient::reconnect_to_another_server() {
    const auto cur = current_server_->get();
    for (const auto& row : seams_.primary_servers) {
        if (cur && cur->first == row.ip && cur->second == row.port) continue;
        if (is_server_blocked(row.ip, row.port)) continue;
        if (connect_internal(row.ip, row.port, seams_.reconnect_timeout_s, false).ok()) {
            QTX_LOG('I', "hq", "switched to server " << row.ip << ":" << row.port);
            return;
        }
    }
    QTX_LOG('W', "hq", "no alternative server available");
}

void TdxHqClient::reconnect_for_retry() {
    const auto cur = current_server_->get();
    const double t = seams_.reconnect_timeout_s;
    auto is_current = [&](const std::string& ip, uint16_t port) {
        return cur && cur->first == ip && cur->second == port;
    };
    if (cur && connect_internal(cur->first, cur->second, t, false).ok()) return;
    {
        std::lock_guard lock(servers_mu_);
        for (const auto& s : servers_) {
            if (is_current(s.ip, s.port)) continue;
            if (connect_internal(s.ip, s.port, t, false).ok()) return;
        }
    }
    for (const auto* table : {&seams_.primary_servers, &seams_.all_known_servers}) {
        for (const auto& row : *table) {
            if (is_current(row.ip, row.port)) continue;
            if (connect_internal(row.ip, row.port, t, false).ok()) return;
        }
    }
    QTX_LOG('E', "hq", "reconnect failed, all servers unreachable");
}

}  // namespace quotix::net
