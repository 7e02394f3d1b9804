// Local daily bar files: a plain run of 32-byte records, no header, no count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quotix::reader {

inline constexpr size_t DAILY_BAR_RECORD_SIZE = 32;

struct DailyBarRecord {
    std::string date;  // YYYY-MM-DD, wider numbers printed in full
    double open = 0, high = 0, low = 0, close = 0;
    double amount = 0;
    double volume = 0;
    uint32_t year = 0, month = 0, day = 0;
};

// One record per 32 bytes, in file order; prices are the stored integers times `coefficient`.
// Fails only when the length is not a whole number of records.
Result<std::vector<DailyBarRecord>> parse_daily_bar(std::span<const uint8_t> data, double coefficient);

}  // namespace quotix::reader
