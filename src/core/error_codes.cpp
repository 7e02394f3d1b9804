#include "core/error_codes.hpp"

#include <cstdio>

#include "core/text_escape.hpp"

namespace quotix {
namespace {

struct Row {
    uint32_t code;
    const char* python_name;  // nullptr: no Python constant
    const char* text;
};

constexpr Row kTable[] = {
    {1001, "ERR_EMPTY_ARGUMENT", "empty argument"},
    {1002, "ERR_ARGUMENT_TOO_LONG", "argument too long"},
    {1003, "ERR_ARGUMENT_OUT_OF_RANGE", "argument out of range"},
    {1004, "ERR_INVALID_FORMAT", "invalid format"},
    {1101, "ERR_BLOCK_CODE_IN_GENERAL_CLIENT",
     "block code (88xxxx) not allowed in general client, use TdxBlockClient"},
    {1102, "ERR_BOND_CODE_NOT_SUPPORTED", "bond code not supported in this context"},
    {1103, "ERR_FUND_CODE_NOT_SUPPORTED", "fund code not supported in this context"},
    {1104, "ERR_UNKNOWN_CODE_FORMAT", "unknown code format"},
    {1201, "ERR_RATE_LIMIT_EXCEEDED", "rate limit exceeded (general)"},
    {1202, "ERR_RATE_LIMIT_DAILY_EXCEEDED", "rate limit exceeded (daily K-line)"},
    {1203, "ERR_RATE_LIMIT_MINUTE_EXCEEDED", "rate limit exceeded (minute, cannot be disabled)"},
    {1204, "ERR_BLOCK_KLINE_CATEGORY_NOT_ALLOWED", "block K-line category not allowed"},
    {1205, "ERR_BLOCK_KLINE_COUNT_EXCEEDED", "block K-line count exceeded"},
    {1206, "ERR_BLOCK_MINUTE_DISABLED", "block minute data disabled"},
    {1207, "ERR_BLOCK_TRADES_DISABLED", "block trades data disabled"},
    {2001, "ERR_CONNECTION_FAILED", "connection failed"},
    {2002, "ERR_CONNECTION_TIMEOUT", "connection timeout"},
    {2003, "ERR_DISCONNECTED", "server disconnected"},
    {2004, "ERR_HANDSHAKE_FAILED", "handshake failed"},
    {2005, "ERR_RETRY_EXHAUSTED", "retry exhausted"},
    {2006, "ERR_POOL_EXHAUSTED", "connection pool exhausted"},
    {2101, nullptr, "invalid response header"},
    {2102, nullptr, "zlib decompress failed"},
    {2103, nullptr, "response length mismatch"},
    {3001, "ERR_INVALID_DATE", "invalid date format"},
    {3002, "ERR_DATE_OUT_OF_RANGE", "date out of range"},
    {3003, "ERR_INVALID_STOCK_CODE", "invalid stock code"},
    {3004, "ERR_MISSING_FIELD", "missing required field"},
    {3005, "ERR_TYPE_MISMATCH", "type mismatch"},
    {4001, "ERR_FILE_NOT_FOUND", "file not found"},
    {4002, "ERR_INVALID_FILE_FORMAT", "invalid file format"},
    {4003, "ERR_FILE_TOO_SMALL", "file too small"},
    {4004, "ERR_FILE_READ_ERROR", "file read error"},
};

}  // namespace

std::string_view ErrorCode::text() const {
    for (const Row& r : kTable)
        if (r.code == value) return r.text;
    return "unknown error";
}

std::string ErrorCode::debug() const { return "ErrorCode(" + std::to_string(value) + ")"; }

const ErrorCodeConstant* exported_error_codes(size_t& count) {
    static const auto table = [] {
        struct Holder {
            ErrorCodeConstant rows[sizeof(kTable) / sizeof(kTable[0])];
            size_t n = 0;
        } h{};
        for (const Row& r : kTable)
            if (r.python_name) h.rows[h.n++] = ErrorCodeConstant{r.python_name, r.code};
        return h;
    }();
    count = table.n;
    return table.rows;
}

std::string CodedError::format() const {
    char num[16];
    std::snprintf(num, sizeof num, "%04u", code.value);
    std::string out = "[E";
    out += num;
    out += "] ";
    out += code.text();
    out += ": ";
    out += message;
    return out;
}

std::string CodedError::debug() const {
    return "CodedError { code: " + code.debug() + ", message: " + util::debug_quote(message) + " }";
}

}  // namespace quotix
