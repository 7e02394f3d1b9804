#include "net/probe.hpp"

#include <algorithm>
#include <chrono>

#include "net/connection.hpp"
#include "protocol/handshake.hpp"
#include "protocol/packet.hpp"
#include "protocol/response.hpp"

namespace quotix::net {
namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
    const auto d = std::max(Clock::now() - since, Clock::duration::zero());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    return static_cast<double>(ns / 1000000000) * 1000.0 + static_cast<double>(ns % 1000000000) / 1e6;
}

}  // namespace

std::vector<ProbeResult> probe_servers(const std::vector<ServerEntry>& table, double timeout_s) {
    // The heartbeat's request, for Shanghai.
    const Bytes request = build_security_count_packet(1);
    std::vector<ProbeResult> results;
    for (const ServerEntry& row : table) {
        ProbeResult r{row.name, row.ip, row.port, 0, 0, 0};
        {
            auto t0 = Clock::now();
            auto conn = TcpConnection::connect(row.ip, row.port, timeout_s);
            if (!conn.ok()) continue;
            r.tcp_ms = elapsed_ms(t0);
            auto t1 = Clock::now();
            if (!perform_handshake(*conn).ok()) continue;
            r.hs_ms = elapsed_ms(t1);
            if (!round_trip(*conn, request).ok()) continue;
        }  // closed before the second connection opens
        {
            auto conn = TcpConnection::connect(row.ip, row.port, timeout_s);
            if (!conn.ok() || !perform_handshake(*conn).ok()) continue;
            auto t2 = Clock::now();
            if (!round_trip(*conn, request).ok()) continue;
            r.api_ms = elapsed_ms(t2);
        }
        results.push_back(std::move(r));
    }
    std::stable_sort(results.begin(), results.end(),
                     [](const ProbeResult& a, const ProbeResult& b) { return a.api_ms < b.api_ms; });
    return results;
}

}  // namespace quotix::net
