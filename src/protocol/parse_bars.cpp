#include "constants.hpp"
#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"

namespace quotix {

namespace {

using detail::remaining;

bool packed_date_category(uint8_t category) {
    return category == KLINE_5MIN || category == KLINE_15MIN || category == KLINE_30MIN ||
           category == KLINE_1HOUR || category == KLINE_EXHQ_1MIN || category == KLINE_1MIN;
}

// The fields common to security and index bars, and where the record's varints end.
struct BarCore {
    SecurityBar bar;
    size_t varints_end = 0;
    bool cut_short = false;
};

// Decodes the date and prices of the record at `pos`; nullopt when the date is impossible.
std::optional<BarCore> read_bar_core(Body body, size_t pos, uint8_t category, int64_t& prev_close) {
    BarCore core;
    SecurityBar& bar = core.bar;
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

}  // namespace

Result<std::vector<SecurityBar>> parse_security_bars(Body body, uint8_t category) {
    if (body.size() < 2) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data());
    std::vector<SecurityBar> bars;
    bars.reserve(detail::reserve_count(count, body, 2, 16));
    size_t pos = 2;
    int64_t prev_close = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (remaining(body, pos) < 16) break;
        auto core = read_bar_core(body, pos, category, prev_close);
        if (!core) break;
        bars.push_back(std::move(core->bar));
        if (core->cut_short) break;
        pos = core->varints_end + 8;
    }
    return bars;
}

Result<std::vector<IndexBar>> parse_index_bars(Body body, uint8_t category) {
    if (body.size() < 2) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data());
    std::vector<IndexBar> bars;
    bars.reserve(detail::reserve_count(count, body, 2, 20));
    size_t pos = 2;
    int64_t prev_close = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // 20 bytes is the shortest complete index record; waiting for more would drop a whole last bar.
        if (remaining(body, pos) < 20) break;
        auto core = read_bar_core(body, pos, category, prev_close);
        if (!core) break;
        SecurityBar& b = core->bar;
        IndexBar ib;
        ib.open = b.open;
        ib.close = b.close;
        ib.high = b.high;
        ib.low = b.low;
        ib.vol = b.vol;
        ib.amount = b.amount;
        ib.year = b.year;
        ib.month = b.month;
        ib.day = b.day;
        ib.hour = b.hour;
        ib.minute = b.minute;
        ib.datetime = std::move(b.datetime);
        if (!core->cut_short) {
            const size_t counts = core->varints_end + 8;
            if (auto up = read_u16_at(body, counts)) ib.up_count = *up;
            if (auto down = read_u16_at(body, counts + 2)) ib.down_count = *down;
        }
        bars.push_back(std::move(ib));
        if (core->cut_short) break;
        pos = core->varints_end + 12;
    }
    return bars;
}

}  // namespace quotix
