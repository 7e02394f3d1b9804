// Local minute bar files: 5-minute files (u32 prices in hundredths) and LC files (f32 prices),
// both a plain run of 32-byte records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quotix::reader {

inline constexpr size_t MIN_BAR_RECORD_SIZE = 32;

struct MinBarRecord {
    std::string date;  // YYYY-MM-DD HH:MM, wider numbers printed in full
    double open = 0, high = 0, low = 0, close = 0;
    double amount = 0;
    double volume = 0;
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// 5-minute file: prices are the stored integers divided by 100.0.
Result<std::vector<MinBarRecord>> parse_min_bar(std::span<const uint8_t> data);
// LC file: prices are the stored f32 values widened.
Result<std::vector<MinBarRecord>> parse_lc_min_bar(std::span<const uint8_t> data);

}  // namespace quotix::reader
