// Server rows: the two built-in tables, and the owned form the client keeps.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quotix::net {

// One row of a built-in table.
struct ServerInfo {
    std::string_view name;
    std::string_view ip;
    uint16_t port;
};

// The full table; its rows 0 and 23 share one address.
extern const std::array<ServerInfo, 102> ALL_KNOWN_SERVERS;
// The primary table; row 0 is the default server. Every row also stands in ALL_KNOWN_SERVERS.
extern const std::array<ServerInfo, 10> PRIMARY_SERVERS;

// A server entry the client owns: a user list entry or a row of the tables it walks.
struct ServerEntry {
    std::string name;
    std::string ip;
    uint16_t port = 0;

    friend bool operator==(const ServerEntry&, const ServerEntry&) = default;
};

template <size_t N>
std::vector<ServerEntry> to_entries(const std::array<ServerInfo, N>& table) {
    std::vector<ServerEntry> out;
    out.reserve(N);
    for (const auto& r : table) out.push_back({std::string(r.name), std::string(r.ip), r.port});
    return out;
}

}  // namespace quotix::net
