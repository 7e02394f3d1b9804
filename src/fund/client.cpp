#include "fund/client.hpp"

#include "core/error_codes.hpp"
#include "fund/utils.hpp"

namespace quotix::fund {

Result<std::vector<MinuteTimePrice>> TdxHqFundClient::get_fund_history_minute_time_data(
    uint8_t market, std::string_view code, uint32_t date) {
    if (auto refusal = validate_fund_code(market, code))
        return TdxError::coded(codes::FUND_CODE_NOT_SUPPORTED, "Invalid fund code: " + *refusal);
    return client.get_history_minute_time_data(market, code, date);
}

}  // namespace quotix::fund
