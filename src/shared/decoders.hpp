// The reply decoders the queries of both clients hand to their connections as checks. Each owns
// copies of what it reads: an asynchronous connection runs it on its own thread. They are made
// by plain functions, never by lambdas written inside the asynchronous client's coroutines: GCC
// 12 gets a coroutine lambda's captures of the coroutine's own parameters wrong.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "protocol/parsers.hpp"

namespace quotix::net {

inline auto security_bars_decoder(uint8_t category) {
    return [category](Body b) { return parse_security_bars(b, category); };
}

inline auto index_bars_decoder(uint8_t category) {
    return [category](Body b) { return parse_index_bars(b, category); };
}

inline auto finance_decoder(uint8_t market, std::string code) {
    return [market, code = std::move(code)](Body b) { return parse_finance_info(b, market, code); };
}

inline auto minute_time_decoder(uint8_t market, std::string code) {
    return [market, code = std::move(code)](Body b) -> Result<std::vector<MinuteTimePrice>> {
        return parse_history_minute_time_data(b, market, code);
    };
}

inline auto live_ticks_decoder(double coefficient) {
    return [coefficient](Body b) { return parse_transaction_data_with_coefficient(b, coefficient); };
}

inline auto history_ticks_decoder(double coefficient) {
    return [coefficient](Body b) { return parse_history_transaction_data_with_coefficient(b, coefficient); };
}

}  // namespace quotix::net
