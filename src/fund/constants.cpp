#include "fund/constants.hpp"

namespace quotix::fund {

std::string_view fund_type_name(FundType t) {
    switch (t) {
        case FundType::ETF: return "ETF";
        case FundType::LOF: return "LOF";
        case FundType::REITs: return "REITs";
        case FundType::Structured: return "Structured";
        case FundType::OpenEnd: return "OpenEnd";
        case FundType::Bond: return "Bond";
        case FundType::Money: return "Money";
        case FundType::Other: return "Other";
    }
    return "Other";
}

std::string_view fund_type_name_zh(FundType t) {
    switch (t) {
        case FundType::ETF: return "交易型开放式指数基金";
        case FundType::LOF: return "上市型开放式基金";
        case FundType::REITs: return "不动产投资信托基金";
        case FundType::Structured: return "分级基金";
        case FundType::OpenEnd: return "开放式基金";
        case FundType::Bond: return "债券基金";
        case FundType::Money: return "货币基金";
        case FundType::Other: return "其他";
    }
    return "其他";
}

}  // namespace quotix::fund
