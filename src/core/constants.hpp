// Process-wide facts shared by the clients and parsers: protocol numbers, limits, dates and the
// retry schedule.
#pragma once

#include <cstdint>

namespace quotix {

inline constexpr uint8_t MARKET_SZ = 0;
inline constexpr uint8_t MARKET_SH = 1;
inline constexpr uint8_t MARKET_BJ = 2;

inline constexpr uint16_t KLINE_5MIN = 0;
inline constexpr uint16_t KLINE_15MIN = 1;
inline constexpr uint16_t KLINE_30MIN = 2;
inline constexpr uint16_t KLINE_1HOUR = 3;
inline constexpr uint16_t KLINE_DAILY = 4;
inline constexpr uint16_t KLINE_WEEKLY = 5;
inline constexpr uint16_t KLINE_MONTHLY = 6;
inline constexpr uint16_t KLINE_EXHQ_1MIN = 7;
inline constexpr uint16_t KLINE_1MIN = 8;
inline constexpr uint16_t KLINE_RI_K = 9;
inline constexpr uint16_t KLINE_3MONTH = 10;
inline constexpr uint16_t KLINE_YEARLY = 11;

inline constexpr uint16_t FQ_NONE = 0;
inline constexpr uint16_t FQ_QFQ = 1;
inline constexpr uint16_t FQ_HFQ = 2;

inline constexpr uint16_t MAX_KLINE_COUNT = 800;
inline constexpr uint16_t MAX_TRANSACTION_COUNT = 2000;
inline constexpr uint16_t DEFAULT_PORT = 7709;
inline constexpr uint32_t DEFAULT_POOL_SIZE = 5;
inline constexpr uint32_t FQ_PRICE_PRECISION = 3;

inline constexpr const char* BLOCK_SZ = "block_zs.dat";
inline constexpr const char* BLOCK_FG = "block_fg.dat";
inline constexpr const char* BLOCK_GN = "block_gn.dat";
inline constexpr const char* BLOCK_DEFAULT = "block.dat";

// Sleeps in seconds before retries 1 to 4; five attempts in all.
inline constexpr double RETRY_DELAYS[4] = {0.1, 0.5, 1.0, 2.0};

// The latest year a decoded bar may carry: 1980 plus whole mean Gregorian years since 1970.
// Computed once, on first use, and fixed for the life of the process.
uint32_t max_valid_year();
// The same rule for a given wall-clock time, in whole seconds since 1970-01-01 UTC.
uint32_t max_valid_year_at(int64_t unix_seconds);

// Today's calendar date at UTC+8 as YYYYMMDD; computed at each call.
uint32_t today_yyyymmdd();
uint32_t yyyymmdd_at(int64_t unix_seconds);

}  // namespace quotix
