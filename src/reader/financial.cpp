#include "reader/financial.hpp"

#include <algorithm>

#include "protocol/encoding.hpp"
#include "protocol/text.hpp"

namespace quotix::reader {

Result<std::vector<FinancialRecord>> parse_financial(std::span<const uint8_t> data) {
    if (data.size() < FINANCIAL_HEADER_SIZE) return TdxError::invalid_data("Financial file too small for header");
    const uint8_t* p = data.data();
    const uint16_t entry_count = read_u16_le(p + 6);
    std::vector<FinancialRecord> out;
    if (entry_count == 0) return out;

    const uint32_t report_date = read_u32_le(p + 2);
    const uint64_t floats = read_u32_le(p + 12) / 4;
    const uint64_t record_bytes = floats * 4;
    const size_t visited =
        std::min<size_t>(entry_count, (data.size() - FINANCIAL_HEADER_SIZE) / FINANCIAL_ENTRY_SIZE);
    out.reserve(visited);

    // Directory entries may point at the same bytes; without a cap, a small crafted file with
    // thousands of entries on one large record would decode to many times its own size. Real
    // files keep records apart, so their records never add up to more than the file.
    uint64_t budget = data.size();
    for (size_t i = 0; i < visited; ++i) {
        const uint8_t* e = p + FINANCIAL_HEADER_SIZE + FINANCIAL_ENTRY_SIZE * i;
        const uint64_t offset = read_u32_le(e + 7);
        if (offset + record_bytes > data.size() || record_bytes > budget) continue;
        budget -= record_bytes;
        FinancialRecord r;
        r.code = decode_reply_code(TextBytes(e, 6));  // lossy UTF-8, trailing NULs removed
        r.report_date = report_date;
        r.fields.reserve(static_cast<size_t>(floats));
        for (uint64_t k = 0; k < floats; ++k) r.fields.push_back(read_f32_le(p + offset + 4 * k));
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace quotix::reader
