#include <algorithm>

#include "protocol/coefficient.hpp"
#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"
#include "protocol/text.hpp"

namespace quotix {

Result<uint16_t> parse_security_count(Body body) {
    if (body.size() < 2) return detail::body_too_short("body too short for count");
    return read_u16_le(body.data());
}

Result<std::vector<SecurityInfo>> parse_security_list(Body body) {
    if (body.size() < 2) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data());
    const size_t entries = std::min<size_t>(count, (body.size() - 2) / 29);
    std::vector<SecurityInfo> list;
    list.reserve(entries);
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = 2 + 29 * i;
        const uint8_t* p = body.data() + at;
        SecurityInfo info;
        info.code = decode_reply_code(body.subspan(at, 6));
        info.volunit = read_u16_le(p + 6);
        info.name = decode_name_text(body.subspan(at + 8, 8));
        info.decimal_point = p[20];
        info.pre_close = decode_volume_float(p + 21);
        list.push_back(std::move(info));
    }
    return list;
}

std::vector<MinuteTimePrice> parse_history_minute_time_data(Body body, uint8_t market, std::string_view code) {
    std::vector<MinuteTimePrice> out;
    if (body.size() < 7) return out;
    const double c = get_security_coefficient(market, code);
    out.reserve((body.size() - 6) / 3 + 1);
    size_t pos = 6;
    int64_t running = 0;
    double amount_sum = 0.0, volume_sum = 0.0;
    for (uint64_t i = 0; pos < body.size(); ++i) {
        detail::RecordReader r(body, pos);
        if (auto diff = r.varint()) running = wrapping_add(running, *diff);
        double vol = 0.0;
        if (r.skip_varint()) vol = static_cast<double>(r.varint().value_or(0));
        MinuteTimePrice m;
        m.price = static_cast<double>(running) * c;
        m.vol = vol;
        // Morning minutes 09:31-11:30, then afternoon 13:01 on; the label depends on the index alone.
        m.time = detail::hhmm(i < 120 ? i + 571 : i + 661);
        amount_sum += m.price * vol;
        volume_sum += vol;
        m.avg_price = volume_sum > 0.0 ? amount_sum / volume_sum : m.price;
        out.push_back(std::move(m));
        if (r.ended()) break;
        pos = r.pos();
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace quotix
