// Decoders of reply bodies. Each is a pure function of the body (and of what was asked for).
//
// Common rules: a body too short for its own header is coded error 2103; fewer records than
// announced is no error; a record the body cuts short is returned with defaults for what is
// missing and ends the list. Any byte sequence is safe input: nothing is read past the body and
// nothing is allocated beyond what the body can hold.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "protocol/types.hpp"

namespace quotix {

using Body = std::span<const uint8_t>;

// K-lines. `category` decides the date form: packed date-and-time for 0, 1, 2, 3, 7 and 8,
// YYYYMMDD for the others.
Result<std::vector<SecurityBar>> parse_security_bars(Body body, uint8_t category);
Result<std::vector<IndexBar>> parse_index_bars(Body body, uint8_t category);

// Real-time quotes; prices scaled by each record's own security coefficient.
Result<std::vector<SecurityQuote>> parse_security_quotes(Body body);

// A market's security count: the first two bytes (any after them are not read).
Result<uint16_t> parse_security_count(Body body);

// The 29-byte entries of a market's security list.
Result<std::vector<SecurityInfo>> parse_security_list(Body body);

// One day of minute prices, last minute first. Never fails: a body under 7 bytes gives none.
std::vector<MinuteTimePrice> parse_history_minute_time_data(Body body, uint8_t market, std::string_view code);

// Today's ticks: at most the announced count, and never past the end of the data.
Result<std::vector<TickData>> parse_transaction_data_with_coefficient(Body body, double coefficient);
// A past day's ticks: read until the body ends (the announced count is ignored).
Result<std::vector<TickData>> parse_history_transaction_data_with_coefficient(Body body, double coefficient);

// Ex-rights and ex-dividend events, in body order.
Result<std::vector<XdXrInfo>> parse_xdxr_info(Body body);
// The finance summary of the security asked for (the body's own market and code are not read).
Result<FinanceInfo> parse_finance_info(Body body, uint8_t market, std::string_view code);
// Size and hash of a block file on the server.
Result<BlockInfoMeta> parse_block_info_meta(Body body);

}  // namespace quotix
