#include "block/client.hpp"

#include <algorithm>
#include <string>

namespace quotix::block {

bool is_category_allowed(uint8_t category) {
    return category != KLINE_EXHQ_1MIN && category != KLINE_1MIN;
}

Status check_category(uint8_t category) {
    if (is_category_allowed(category)) return ok_status();
    return TdxError::invalid_data("category=" + std::to_string(category) +
                                  " (1min/扩展1min) is not allowed for block queries");
}

BlockKlineLimit kline_limit(uint8_t category) {
    switch (category) {
        case KLINE_5MIN:
        case KLINE_15MIN:
        case KLINE_30MIN: return {50, 200};
        case KLINE_1HOUR: return {200, MAX_KLINE_COUNT};
        default: return {100, MAX_KLINE_COUNT};
    }
}

uint16_t effective_count(uint8_t category, uint16_t count) {
    const BlockKlineLimit limit = kline_limit(category);
    if (count == 0) return limit.default_count;
    return std::min(count, limit.max_count);
}

}  // namespace quotix::block
