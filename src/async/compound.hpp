// Operations of the asynchronous client that are made of several of its requests, run one
// after the other: the walk over a list of servers until one connects, whole bar histories in
// pages, and the finance summaries of several securities.
#pragma once

#include "async/asio_config.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "async/client.hpp"
#include "core/error.hpp"
#include "protocol/types.hpp"
#include "shared/servers.hpp"

namespace quotix::net {

// Connects to the first of `servers` (in order) that accepts a full connect; each attempt
// replaces the pool. The errors of the rows are dropped; none connecting is coded 2001
// "all servers unreachable".
asio::awaitable<Status> connect_to_first(AsyncTdxHqClient& client, std::vector<ServerEntry> servers,
                                         std::optional<double> timeout);

// Up to `count` bars counted back from the newest, fetched in pages of 800 from start 0 until a
// page comes back short or empty, and returned oldest first. For a non-zero fq the whole history
// is adjusted at once (2 backward, any other value forward) with the security's XDXR events and
// the context pages just older than it, so no page boundary breaks the adjusted series. Any
// failed request, the XDXR one and a context page included, fails the call.
asio::awaitable<Result<std::vector<SecurityBar>>> get_security_bars_all(AsyncTdxHqClient& client, uint8_t category,
                                                                        uint8_t market, std::string code,
                                                                        uint16_t count, uint8_t fq);

// Index bars the same way (flag 0, never adjusted): up to `count` bars, oldest first.
asio::awaitable<Result<std::vector<IndexBar>>> get_index_bars_all(AsyncTdxHqClient& client, uint8_t category,
                                                                  uint8_t market, std::string code,
                                                                  uint16_t count);

// One finance request per pair, in order, duplicates included; the first failure ends the walk
// and is returned.
asio::awaitable<Result<std::vector<FinanceInfo>>> get_finance_infos(
    AsyncTdxHqClient& client, std::vector<std::pair<uint8_t, std::string>> stocks);

}  // namespace quotix::net
