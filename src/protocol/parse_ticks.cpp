#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"

namespace quotix {

namespace {

// One tick from `pos`: u16 minutes, then the varints. Live ticks carry `num`, history ticks do not.
TickData read_tick(Body body, size_t& pos, int64_t& running, double coefficient, bool with_num, bool& cut_short) {
    TickData t;
    detail::RecordReader r(body, pos);
    t.time = detail::hhmm(r.u16().value_or(0));
    if (auto diff = r.varint()) running = wrapping_add(running, *diff);
    t.vol = static_cast<double>(r.varint().value_or(0));
    if (with_num) t.num = static_cast<uint32_t>(static_cast<uint64_t>(r.varint().value_or(0)));
    t.buyorsell = static_cast<uint32_t>(static_cast<uint64_t>(r.varint().value_or(0)));
    t.reserved = static_cast<uint32_t>(static_cast<uint64_t>(r.varint().value_or(0)));
    t.price = static_cast<double>(running) * coefficient;
    cut_short = r.ended();
    pos = r.pos();
    return t;
}

}  // namespace

Result<std::vector<TickData>> parse_transaction_data_with_coefficient(Body body, double coefficient) {
    if (body.size() < 2) return detail::body_too_short();
    const uint16_t count = read_u16_le(body.data());
    std::vector<TickData> ticks;
    ticks.reserve(detail::reserve_count(count, body, 2, 7));
    size_t pos = 2;
    int64_t running = 0;
    for (uint32_t i = 0; i < count; ++i) {
        // Ticks past the end of the data would be invented: the list ends with the data.
        if (pos >= body.size()) break;
        bool cut_short = false;
        ticks.push_back(read_tick(body, pos, running, coefficient, true, cut_short));
        if (cut_short) break;
    }
    return ticks;
}

Result<std::vector<TickData>> parse_history_transaction_data_with_coefficient(Body body, double coefficient) {
    if (body.size() < 6) return detail::body_too_short();
    std::vector<TickData> ticks;
    ticks.reserve((body.size() - 6) / 6 + 1);
    size_t pos = 6;
    int64_t running = 0;
    // The shortest complete tick is 6 bytes (u16 and four one-byte varints).
    while (detail::remaining(body, pos) >= 6) {
        bool cut_short = false;
        ticks.push_back(read_tick(body, pos, running, coefficient, false, cut_short));
        if (cut_short) break;
    }
    return ticks;
}

}  // namespace quotix
