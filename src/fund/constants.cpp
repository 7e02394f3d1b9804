#include "fund/constants.hpp"

#include <cstddef>
#include <iterator>

namespace quotix::fund {
namespace {

struct Names {
    std::string_view en, zh;
};

// Indexed by the FundType number.
constexpr Names kNames[] = {
    {"ETF", "交易型开放式指数基金"}, {"LOF", "上市型开放式基金"}, {"REITs", "不动产投资信托基金"},
    {"Structured", "分级基金"},       {"OpenEnd", "开放式基金"},     {"Bond", "债券基金"},
    {"Money", "货币基金"},            {"Other", "其他"},
};
static_assert(std::size(kNames) == static_cast<size_t>(FundType::Other) + 1);

}  // namespace

std::string_view fund_type_name(FundType t) { return kNames[static_cast<size_t>(t)].en; }

std::string_view fund_type_name_zh(FundType t) { return kNames[static_cast<size_t>(t)].zh; }

}  // namespace quotix::fund
