#include <string>

#include "protocol/coefficient.hpp"
#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"
#include "protocol/text.hpp"

namespace quotix {

namespace {

std::string make_servertime(int64_t raw) {
    const uint64_t value = static_cast<uint64_t>(raw);
    if (value == 0) return "reversed_bytes0:0";
    const std::string d = std::to_string(value);
    if (d.size() <= 7) return d;
    // HHMMSSmmmm: hours, then minutes, then the last four digits as they are.
    return d.substr(0, d.size() - 6) + ":" + d.substr(d.size() - 6, 2) + ":" + d.substr(d.size() - 4);
}

uint32_t low32(std::optional<int64_t> v) { return static_cast<uint32_t>(static_cast<uint64_t>(v.value_or(0))); }
double as_volume(std::optional<int64_t> v) { return static_cast<double>(v.value_or(0)); }

}  // namespace

Result<std::vector<SecurityQuote>> parse_security_quotes(Body body) {
    if (body.size() < 4) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data() + 2);
    std::vector<SecurityQuote> quotes;
    quotes.reserve(detail::reserve_count(count, body, 4, 30));
    size_t pos = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (detail::remaining(body, pos) < 30) break;
        SecurityQuote q;
        const uint8_t* p = body.data() + pos;
        q.market = p[0];
        q.code = decode_reply_code(body.subspan(pos + 1, 6));
        q.active1 = read_u16_le(p + 7);
        const double c = get_security_coefficient(q.market, q.code);

        detail::RecordReader r(body, pos + 9);
        const int64_t price = r.varint().value_or(0);
        // Prices are differences from the last price; one the body cuts off counts as 0.
        auto rel = [&](std::optional<int64_t> diff) {
            return static_cast<double>(wrapping_add(price, diff.value_or(0))) * c;
        };
        q.price = static_cast<double>(price) * c;
        q.last_close = rel(r.varint());
        q.open = rel(r.varint());
        q.high = rel(r.varint());
        q.low = rel(r.varint());
        const int64_t raw_time = r.varint().value_or(0);
        q.reversed_bytes0 = low32(raw_time);
        q.servertime = make_servertime(raw_time);
        q.reversed_bytes1 = low32(r.varint());
        q.vol = as_volume(r.varint());
        q.cur_vol = as_volume(r.varint());
        q.amount = r.volume_float().value_or(0.0);
        q.s_vol = as_volume(r.varint());
        q.b_vol = as_volume(r.varint());
        q.reversed_bytes2 = low32(r.varint());
        q.reversed_bytes3 = low32(r.varint());
        double* bids[] = {&q.bid1, &q.bid2, &q.bid3, &q.bid4, &q.bid5};
        double* asks[] = {&q.ask1, &q.ask2, &q.ask3, &q.ask4, &q.ask5};
        double* bid_vols[] = {&q.bid_vol1, &q.bid_vol2, &q.bid_vol3, &q.bid_vol4, &q.bid_vol5};
        double* ask_vols[] = {&q.ask_vol1, &q.ask_vol2, &q.ask_vol3, &q.ask_vol4, &q.ask_vol5};
        for (int level = 0; level < 5; ++level) {
            *bids[level] = rel(r.varint());
            *asks[level] = rel(r.varint());
            *bid_vols[level] = as_volume(r.varint());
            *ask_vols[level] = as_volume(r.varint());
        }
        q.reversed_bytes4 = r.u16().value_or(0);
        q.reversed_bytes5 = low32(r.varint());
        q.reversed_bytes6 = low32(r.varint());
        q.reversed_bytes7 = low32(r.varint());
        q.reversed_bytes8 = low32(r.varint());
        q.reversed_bytes9 = static_cast<int16_t>(r.u16().value_or(0));
        q.active2 = r.u16().value_or(0);
        quotes.push_back(std::move(q));
        if (r.ended()) break;
        pos = r.pos();
    }
    return quotes;
}

}  // namespace quotix
