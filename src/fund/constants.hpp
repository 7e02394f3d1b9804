// The kinds of fund code, with the English and Chinese names shown to Python.
#pragma once

#include <cstdint>
#include <string_view>

namespace quotix::fund {

enum class FundType : uint8_t {
    ETF = 0,
    LOF = 1,
    REITs = 2,
    Structured = 3,
    OpenEnd = 4,
    Bond = 5,
    Money = 6,  // named, but no code prefix maps to it
    Other = 7,
};

// "ETF", "LOF", ... "Other".
std::string_view fund_type_name(FundType t);
// "交易型开放式指数基金", ... "其他".
std::string_view fund_type_name_zh(FundType t);

}  // namespace quotix::fund
