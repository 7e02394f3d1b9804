#include "reader/min_bar.hpp"

#include <cstdio>

#include "protocol/encoding.hpp"
#include "reader/read_file.hpp"

namespace quotix::reader {
namespace {

enum class PriceFormat { Hundredths, Float };

double price(const uint8_t* p, PriceFormat fmt) {
    // A division, not a multiplication by 0.01: 1234 must give the double nearest 12.34.
    if (fmt == PriceFormat::Hundredths) return static_cast<double>(read_u32_le(p)) / 100.0;
    return static_cast<double>(read_f32_le(p));
}

Result<std::vector<MinBarRecord>> parse(std::span<const uint8_t> data, PriceFormat fmt, const char* what) {
    QTX_TRY(check_whole_records(data.size(), MIN_BAR_RECORD_SIZE, what));
    const size_t n = data.size() / MIN_BAR_RECORD_SIZE;
    std::vector<MinBarRecord> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = data.data() + i * MIN_BAR_RECORD_SIZE;
        MinBarRecord r;
        // The same packed date and minutes-of-day as the protocol's intraday bars.
        const BarDate when = decode_bar_date(p);
        r.year = when.year;
        r.month = when.month;
        r.day = when.day;
        r.hour = when.hour;
        r.minute = when.minute;
        r.open = price(p + 4, fmt);
        r.high = price(p + 8, fmt);
        r.low = price(p + 12, fmt);
        r.close = price(p + 16, fmt);
        r.amount = static_cast<double>(read_f32_le(p + 20));
        r.volume = static_cast<double>(read_u32_le(p + 24));
        char buf[64];
        const int len = std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u", r.year, r.month, r.day, r.hour,
                                      r.minute);
        r.date.assign(buf, static_cast<size_t>(len));
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace

Result<std::vector<MinBarRecord>> parse_min_bar(std::span<const uint8_t> data) {
    return parse(data, PriceFormat::Hundredths, "Min bar");
}

Result<std::vector<MinBarRecord>> parse_lc_min_bar(std::span<const uint8_t> data) {
    return parse(data, PriceFormat::Float, "LC min bar");
}

}  // namespace quotix::reader
