// Measuring servers by response time: each server gets two short-lived connections of its own,
// so nothing of a client (pool, current server, lists, limiters) is used or changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/servers.hpp"

namespace quotix::net {

struct ProbeResult {
    std::string name;
    std::string ip;
    uint16_t port = 0;
    double tcp_ms = 0;  // opening the TCP connection, time-outs set
    double hs_ms = 0;   // the setup handshake on that connection
    double api_ms = 0;  // one timed security-count request on a second, handshaken connection
};

// Probes every row of `table` in order, one connection open at a time, `timeout_s` as each
// connection's time-out. Servers that fail any step are left out without a trace; the rest come
// back sorted by api_ms, ties in table order. The caller checks that timeout_s is a finite,
// non-negative number.
std::vector<ProbeResult> probe_servers(const std::vector<ServerEntry>& table, double timeout_s);

}  // namespace quotix::net
