#include "reader/financial.hpp"

#include <algorithm>

#include "reader/le_read.hpp"
#include "reader/read_file.hpp"

namespace quotix::reader {
namespace {

void append_replacement(std::string& out) { out += "\xEF\xBF\xBD"; }

// UTF-8 with each maximal invalid subsequence replaced by one U+FFFD.
std::string decode_utf8_lossy(std::span<const uint8_t> s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            out += static_cast<char>(b);
            ++i;
            continue;
        }
        size_t len = 0;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            len = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            len = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            append_replacement(out);
            ++i;
            continue;
        }
        size_t j = 1;
        for (; j < len && i + j < s.size(); ++j) {
            const uint8_t c = s[i + j];
            const uint8_t min = j == 1 ? lo : 0x80, max = j == 1 ? hi : 0xBF;
            if (c < min || c > max) break;
        }
        if (j == len) {
            out.append(reinterpret_cast<const char*>(s.data() + i), len);
        } else {
            append_replacement(out);
        }
        i += j;
    }
    while (!out.empty() && out.back() == '\0') out.pop_back();
    return out;
}

}  // namespace

Result<std::vector<FinancialRecord>> parse_financial(std::span<const uint8_t> data) {
    if (data.size() < FINANCIAL_HEADER_SIZE) return TdxError::invalid_data("Financial file too small for header");
    const uint8_t* p = data.data();
    const uint16_t entry_count = le::u16(p + 6);
    std::vector<FinancialRecord> out;
    if (entry_count == 0) return out;

    const uint32_t report_date = le::u32(p + 2);
    const uint64_t floats = le::u32(p + 12) / 4;
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
        const uint64_t offset = le::u32(e + 7);
        if (offset + record_bytes > data.size() || record_bytes > budget) continue;
        budget -= record_bytes;
        FinancialRecord r;
        r.code = decode_utf8_lossy(std::span<const uint8_t>(e, 6));
        r.report_date = report_date;
        r.fields.reserve(static_cast<size_t>(floats));
        for (uint64_t k = 0; k < floats; ++k) r.fields.push_back(le::f32(p + offset + 4 * k));
        out.push_back(std::move(r));
    }
    return out;
}

Result<std::vector<FinancialRecord>> parse_financial_file(const std::string& path) {
    auto bytes = read_file_bytes(path);
    if (!bytes.ok()) return std::move(bytes).error();
    return parse_financial(*bytes);
}

}  // namespace quotix::reader
