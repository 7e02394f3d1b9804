// The bare client: one server address, a time-out and an adjustment tier. Every request opens a
// fresh connection, handshakes, exchanges one request and closes it; nothing is pooled, retried,
// cached or kept alive between calls.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "net/client.hpp"
#include "protocol/types.hpp"
#include "shared/fq_context.hpp"

namespace quotix::net {

class TdxDirectClient {
public:
    TdxDirectClient(std::string ip, uint16_t port, double timeout,
                    uint8_t fq_context_tier = FQ_CONTEXT_MID)
        : ip(std::move(ip)), timeout(timeout), port(port), fq_context_tier(fq_context_tier) {}

    std::string ip;
    double timeout;  // seconds, each connection's read and write time-out
    uint16_t port;
    uint8_t fq_context_tier;

    // Later requests go to the new address; the time-out and tier stay.
    void set_server(std::string_view new_ip, uint16_t new_port);

    // One whole exchange on a connection of its own: connect, handshake, send, read the reply
    // (an empty body is coded 2003), inflate, close.
    Result<std::vector<uint8_t>> send_and_recv(std::span<const uint8_t> packet) const;
    // send_and_recv in the shape the shared fetch helpers take.
    RequestFn requester() const;

    Result<std::vector<XdXrInfo>> get_xdxr_info(uint8_t market, std::string_view code) const;
    // One bars request with the flag field 0; start above 65535 is coded 1003.
    Result<std::vector<IndexBar>> get_index_bars_inner(uint8_t category, uint8_t market,
                                                       std::string_view code, uint32_t start,
                                                       uint16_t count) const;
    // At most the first 60 pairs; block codes are not refused here (the block client serves them).
    Result<std::vector<SecurityQuote>> get_security_quotes_inner(
        std::span<const std::pair<uint8_t, std::string>> stocks) const;
    Result<std::vector<MinuteTimePrice>> get_history_minute_time_data(uint8_t market,
                                                                      std::string_view code,
                                                                      uint32_t date) const;
    // Downloads the named block file, one connection per 30000-byte chunk, and decodes it.
    Result<std::vector<BlockRecord>> get_and_parse_block_info(std::string_view file_name) const;

    // Security bars with the caller's fq in the flag field, adjusted (fq not 0) from the XDXR
    // events and the context pages this client's tier allows; with fq not 0 the events are asked
    // for even when no bar comes back, and any failed request fails the call. No block-code test
    // and no server switch: the owner decides those. start above 65535 is coded 1003.
    Result<std::vector<SecurityBar>> get_security_bars(uint8_t category, uint8_t market,
                                                       std::string_view code, uint32_t start,
                                                       uint16_t count, uint8_t fq) const;
};

}  // namespace quotix::net
