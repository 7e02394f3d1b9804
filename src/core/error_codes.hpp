// Numbered errors: a fixed table of codes with their texts, shown as "[E0000] text: message".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quotix {

struct ErrorCode {
    uint32_t value = 0;

    constexpr ErrorCode() = default;
    constexpr explicit ErrorCode(uint32_t v) : value(v) {}
    friend constexpr bool operator==(ErrorCode a, ErrorCode b) { return a.value == b.value; }

    // The code's fixed text; "unknown error" for any number outside the table.
    std::string_view text() const;
    // "ErrorCode(N)"
    std::string debug() const;
};

namespace codes {
inline constexpr uint32_t EMPTY_ARGUMENT = 1001;
inline constexpr uint32_t ARGUMENT_TOO_LONG = 1002;
inline constexpr uint32_t ARGUMENT_OUT_OF_RANGE = 1003;
inline constexpr uint32_t INVALID_FORMAT = 1004;
inline constexpr uint32_t BLOCK_CODE_IN_GENERAL_CLIENT = 1101;
inline constexpr uint32_t BOND_CODE_NOT_SUPPORTED = 1102;
inline constexpr uint32_t FUND_CODE_NOT_SUPPORTED = 1103;
inline constexpr uint32_t UNKNOWN_CODE_FORMAT = 1104;
inline constexpr uint32_t RATE_LIMIT_EXCEEDED = 1201;
inline constexpr uint32_t RATE_LIMIT_DAILY_EXCEEDED = 1202;
inline constexpr uint32_t RATE_LIMIT_MINUTE_EXCEEDED = 1203;
inline constexpr uint32_t BLOCK_KLINE_CATEGORY_NOT_ALLOWED = 1204;
inline constexpr uint32_t BLOCK_KLINE_COUNT_EXCEEDED = 1205;
inline constexpr uint32_t BLOCK_MINUTE_DISABLED = 1206;
inline constexpr uint32_t BLOCK_TRADES_DISABLED = 1207;
inline constexpr uint32_t CONNECTION_FAILED = 2001;
inline constexpr uint32_t CONNECTION_TIMEOUT = 2002;
inline constexpr uint32_t DISCONNECTED = 2003;
inline constexpr uint32_t HANDSHAKE_FAILED = 2004;
inline constexpr uint32_t RETRY_EXHAUSTED = 2005;
inline constexpr uint32_t POOL_EXHAUSTED = 2006;
inline constexpr uint32_t INVALID_RESPONSE_HEADER = 2101;
inline constexpr uint32_t ZLIB_DECOMPRESS_FAILED = 2102;
inline constexpr uint32_t RESPONSE_LENGTH_MISMATCH = 2103;
inline constexpr uint32_t INVALID_DATE = 3001;
inline constexpr uint32_t DATE_OUT_OF_RANGE = 3002;
inline constexpr uint32_t INVALID_STOCK_CODE = 3003;
inline constexpr uint32_t MISSING_FIELD = 3004;
inline constexpr uint32_t TYPE_MISMATCH = 3005;
inline constexpr uint32_t FILE_NOT_FOUND = 4001;
inline constexpr uint32_t INVALID_FILE_FORMAT = 4002;
inline constexpr uint32_t FILE_TOO_SMALL = 4003;
inline constexpr uint32_t FILE_READ_ERROR = 4004;
}  // namespace codes

// One row of the table that has a Python constant (the 21xx codes have none).
struct ErrorCodeConstant {
    const char* python_name;
    uint32_t code;
};
// Every exported code, in table order; `count` receives the number of rows.
const ErrorCodeConstant* exported_error_codes(size_t& count);

struct CodedError {
    ErrorCode code;
    std::string message;

    // "[E" + code padded to four digits + "] " + text + ": " + message
    std::string format() const;
    std::string debug() const;
};

}  // namespace quotix
