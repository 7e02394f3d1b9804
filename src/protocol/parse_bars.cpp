#include <type_traits>

#include "core/constants.hpp"
#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"

namespace quotix {

namespace {

using detail::remaining;

bool packed_date_category(uint8_t category) {
    return category == KLINE_5MIN || category == KLINE_15MIN || category == KLINE_30MIN ||
           category == KLINE_1HOUR || category == KLINE_EXHQ_1MIN || category == KLINE_1MIN;
}

// A bar with the fields common to security and index bars filled, and where the record's
// varints end.
template <class Bar>
struct BarCore {
    Bar bar;
    size_t varints_end = 0;
    bool cut_short = false;
};

// Decodes the date and prices of the record at `pos`; nullopt when the date is impossible.
template <class Bar>
std::optional<BarCore<Bar>> read_bar_core(Body body, size_t pos, uint8_t category, int64_t& prev_close) {
    BarCore<Bar> core;
    Bar& bar = core.bar;
    const uint8_t* p = body.data() + pos;
    const bool packed = packed_date_category(category);
    if (packed) {
        BarDate d = decode_bar_date(p);
        bar.year = d.year;
        bar.month = d.month;
        bar.day = d.day;
        bar.hour = d.hour;
        bar.minute = d.minute;
    } else {
        PlainDate d = decode_plain_date(read_u32_le(p));
        bar.year = d.year;
        bar.month = d.month;
        bar.day = d.day;
    }
    if (bar.year < 1980 || bar.year > max_valid_year() || bar.month < 1 || bar.month > 12 || bar.day < 1 ||
        bar.day > 31)
        return std::nullopt;

    // "YYYY-MM-DD", and " HH:MM" after it for the packed form.
    std::string& dt = bar.datetime;
    dt.reserve(packed ? 16 : 10);
    detail::append_padded(dt, bar.year, 4);
    dt.push_back('-');
    detail::append_padded(dt, bar.month, 2);
    dt.push_back('-');
    detail::append_padded(dt, bar.day, 2);
    if (packed) {
        dt.push_back(' ');
        detail::append_padded(dt, bar.hour, 2);
        dt.push_back(':');
        detail::append_padded(dt, bar.minute, 2);
    }

    // A difference the body cuts off counts as 0, so the missing prices fall back to the open.
    detail::RecordReader r(body, pos + 4);
    const int64_t open = wrapping_add(prev_close, r.varint().value_or(0));
    const int64_t close = wrapping_add(open, r.varint().value_or(0));
    const int64_t high = wrapping_add(open, r.varint().value_or(0));
    const int64_t low = wrapping_add(open, r.varint().value_or(0));
    bar.open = static_cast<double>(open) / 1000.0;
    bar.close = static_cast<double>(close) / 1000.0;
    bar.high = static_cast<double>(high) / 1000.0;
    bar.low = static_cast<double>(low) / 1000.0;
    prev_close = close;
    core.cut_short = r.ended();
    core.varints_end = r.pos();
    if (!core.cut_short) {
        if (has_bytes(body, core.varints_end, 4)) bar.vol = decode_volume_float(body.data() + core.varints_end);
        if (has_bytes(body, core.varints_end + 4, 4))
            bar.amount = decode_volume_float(body.data() + core.varints_end + 4);
    }
    return core;
}

// Security records end with two floats after the varints (16 bytes at the least); index records
// carry the up and down counts after those (20 bytes at the least: waiting for more would drop a
// whole last bar).
template <class Bar>
Result<std::vector<Bar>> parse_bars(Body body, uint8_t category) {
    constexpr bool is_index = std::is_same_v<Bar, IndexBar>;
    constexpr size_t min_record = is_index ? 20 : 16;
    if (body.size() < 2) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data());
    std::vector<Bar> bars;
    bars.reserve(detail::reserve_count(count, body, 2, min_record));
    size_t pos = 2;
    int64_t prev_close = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (remaining(body, pos) < min_record) break;
        auto core = read_bar_core<Bar>(body, pos, category, prev_close);
        if (!core) break;
        const size_t after_floats = core->varints_end + 8;
        if constexpr (is_index) {
            if (!core->cut_short) {
                if (auto up = read_u16_at(body, after_floats)) core->bar.up_count = *up;
                if (auto down = read_u16_at(body, after_floats + 2)) core->bar.down_count = *down;
            }
        }
        bars.push_back(std::move(core->bar));
        if (core->cut_short) break;
        pos = after_floats + (is_index ? 4 : 0);
    }
    return bars;
}

}  // namespace

Result<std::vector<SecurityBar>> parse_security_bars(Body body, uint8_t category) {
    return parse_bars<SecurityBar>(body, category);
}

Result<std::vector<IndexBar>> parse_index_bars(Body body, uint8_t category) {
    return parse_bars<IndexBar>(body, category);
}

}  // namespace quotix
