// Request packets of the quote protocol. Every builder is pure: it takes the request's arguments
// and returns the complete packet; argument checks belong to the clients that call them.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quotix::net {

using Bytes = std::vector<uint8_t>;

inline constexpr uint16_t CMD_SETUP = 0x000D;
inline constexpr uint16_t CMD_SETUP_3 = 0x0FDB;
inline constexpr uint16_t CMD_SECURITY_COUNT = 0x044E;
inline constexpr uint16_t CMD_SECURITY_LIST = 0x0450;
inline constexpr uint16_t CMD_SECURITY_BARS = 0x052D;
inline constexpr uint16_t CMD_SECURITY_QUOTES = 0x053E;
inline constexpr uint16_t CMD_TRANSACTION_DATA = 0x0FC5;
inline constexpr uint16_t CMD_HISTORY_TRANSACTION_DATA = 0x0FB5;
inline constexpr uint16_t CMD_HISTORY_MINUTE_TIME_DATA = 0x0FB4;
inline constexpr uint16_t CMD_XDXR_INFO = 0x000F;
inline constexpr uint16_t CMD_FINANCE_INFO = 0x0010;
inline constexpr uint16_t CMD_BLOCK_INFO_META = 0x02C5;
inline constexpr uint16_t CMD_BLOCK_INFO = 0x06B9;

// Size of the fixed prefix of every request.
inline constexpr size_t REQUEST_HEADER_SIZE = 12;

// The 12-byte prefix: six bytes fixed per request kind, the length (packet size - 10) twice and
// the command code.
struct RequestHeader {
    std::array<uint8_t, 6> fixed;
    uint16_t length;
    uint16_t command;

    void write_to(uint8_t* out) const;
};

// The three packets of the setup handshake, in the order they are sent.
extern const std::array<std::span<const uint8_t>, 3> SETUP_PACKETS;

// The constant that follows the market in the count request.
inline constexpr uint32_t SECURITY_COUNT_MAGIC = 20170613;

Bytes build_security_count_packet(uint8_t market);
Bytes build_security_list_packet(uint8_t market, uint16_t start);
Bytes build_security_bars_packet(uint8_t category, uint8_t market, std::string_view code,
                                 uint32_t start, uint16_t count, uint8_t fq);
Bytes build_security_quotes_packet(std::span<const std::pair<uint8_t, std::string>> stocks);
Bytes build_transaction_data_packet(uint8_t market, std::string_view code, uint32_t start,
                                    uint16_t count);
Bytes build_history_transaction_data_packet(uint8_t market, std::string_view code, uint32_t start,
                                            uint16_t count, uint32_t date);
Bytes build_history_minute_time_data_packet(uint8_t market, std::string_view code, uint32_t date);
Bytes build_xdxr_info_packet(uint8_t market, std::string_view code);
Bytes build_finance_info_packet(uint8_t market, std::string_view code);
Bytes build_block_info_meta_packet(std::string_view file_name);
Bytes build_block_info_packet(uint32_t offset, uint32_t size, std::string_view file_name);

}  // namespace quotix::net
