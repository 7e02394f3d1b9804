// Local financial files: a 20-byte header, a directory of 11-byte entries, and one run of f32
// values per security.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quotix::reader {

inline constexpr size_t FINANCIAL_HEADER_SIZE = 20;
inline constexpr size_t FINANCIAL_ENTRY_SIZE = 11;

struct FinancialRecord {
    std::string code;       // the entry's six bytes as UTF-8, trailing NULs removed
    uint32_t report_date = 0;  // the header's value, unconverted
    std::vector<float> fields;  // record size / 4 values in stored order
};

// The records of every directory entry whose record lies inside the data, in directory order.
// Fails only when the data is shorter than the header. Entries past the directory room, records
// past the end, and records that would take the decoded total beyond the file's own size are
// left out silently.
Result<std::vector<FinancialRecord>> parse_financial(std::span<const uint8_t> data);

}  // namespace quotix::reader
