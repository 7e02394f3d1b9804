// The block (sector) client's own rules for K-line requests: which categories it serves and how
// many bars it asks for in each. Block bars are always requested on the Shanghai market.
#pragma once

#include <cstdint>

#include "core/constants.hpp"
#include "core/error.hpp"

namespace quotix::block {

// Block codes live on the Shanghai market only.
inline constexpr uint8_t BLOCK_MARKET = MARKET_SH;

struct BlockKlineLimit {
    uint16_t default_count;  // used when the caller asks for 0 bars
    uint16_t max_count;      // larger requests are cut to it
};

// The 1-minute categories (7 and 8) carry no block data worth the traffic.
bool is_category_allowed(uint8_t category);

// InvalidData "category={} (1min/扩展1min) is not allowed for block queries" for 7 and 8.
Status check_category(uint8_t category);

// Minute categories 0 to 2: 50 / 200; the hour category 3: 200 / 800; everything else (days and
// longer, and any unknown category, which is passed to the server unchanged): 100 / 800.
// Meaningless for the refused categories, which get the last row.
BlockKlineLimit kline_limit(uint8_t category);

// The count actually asked for: the category's default for 0, else at most its maximum.
uint16_t effective_count(uint8_t category, uint16_t count);

}  // namespace quotix::block
