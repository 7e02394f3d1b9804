// The fund client's core: one pooled client, plus the fund-code check of its past-day minute-time
// query. Every other fund operation lives in the Python fund class.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "net/client.hpp"
#include "protocol/types.hpp"

namespace quotix::fund {

class TdxHqFundClient {
public:
    TdxHqFundClient() = default;
    // Tests give the client loopback tables.
    explicit TdxHqFundClient(net::ClientSeams seams) : client(std::move(seams)) {}

    net::TdxHqClient client;

    // Coded 1103 "Invalid fund code: {}" without any request when the code is not a fund code of
    // the market; otherwise the pooled client's history minute-time query.
    Result<std::vector<MinuteTimePrice>> get_fund_history_minute_time_data(uint8_t market,
                                                                           std::string_view code,
                                                                           uint32_t date);
};

}  // namespace quotix::fund
