#include "reader/daily_bar.hpp"

#include <cstdio>

#include "protocol/encoding.hpp"
#include "reader/read_file.hpp"

namespace quotix::reader {
namespace {

// Values up to 100000 are the packed bar date (applied to the whole 32-bit value); larger ones
// are decimal YYYYMMDD.
void decode_date(uint32_t v, DailyBarRecord& r) {
    if (v <= 100000) {
        r.year = (v >> 11) + 2004;
        const uint32_t rest = v & 0x7FF;
        r.month = rest / 100;
        r.day = rest % 100;
    } else {
        const PlainDate d = decode_plain_date(v);
        r.year = d.year;
        r.month = d.month;
        r.day = d.day;
    }
}

std::string date_text(uint32_t year, uint32_t month, uint32_t day) {
    char buf[48];
    const int n = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", year, month, day);
    return std::string(buf, static_cast<size_t>(n));
}

}  // namespace

Result<std::vector<DailyBarRecord>> parse_daily_bar(std::span<const uint8_t> data, double coefficient) {
    QTX_TRY(check_whole_records(data.size(), DAILY_BAR_RECORD_SIZE, "Daily bar"));
    const size_t n = data.size() / DAILY_BAR_RECORD_SIZE;
    std::vector<DailyBarRecord> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = data.data() + i * DAILY_BAR_RECORD_SIZE;
        DailyBarRecord r;
        decode_date(read_u32_le(p), r);
        r.date = date_text(r.year, r.month, r.day);
        r.open = static_cast<double>(read_u32_le(p + 4)) * coefficient;
        r.high = static_cast<double>(read_u32_le(p + 8)) * coefficient;
        r.low = static_cast<double>(read_u32_le(p + 12)) * coefficient;
        r.close = static_cast<double>(read_u32_le(p + 16)) * coefficient;
        r.amount = static_cast<double>(read_f32_le(p + 20));
        r.volume = static_cast<double>(read_u32_le(p + 24));
        // Bytes 28..31 are reserved.
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace quotix::reader
