#include "protocol/encoding.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

namespace quotix {

std::optional<Varint> read_price_varint(ByteSpan body, size_t pos) {
    if (pos >= body.size()) return std::nullopt;
    uint8_t first = body[pos];
    bool negative = (first & 0x40) != 0;
    uint64_t magnitude = first & 0x3F;
    unsigned shift = 6;
    bool more = (first & 0x80) != 0;
    ++pos;
    while (more) {
        if (pos >= body.size()) return std::nullopt;
        uint8_t b = body[pos++];
        if (shift < 64) magnitude |= static_cast<uint64_t>(b & 0x7F) << shift;
        shift += 7;
        more = (b & 0x80) != 0;
    }
    // Negation in unsigned arithmetic: defined for every magnitude, and -0 is 0.
    uint64_t bits = negative ? (uint64_t{0} - magnitude) : magnitude;
    return Varint{static_cast<int64_t>(bits), pos};
}

namespace {

// 2^k as a double, built from its bits: exact, and far cheaper than ldexp, which every volume and
// amount of every record would otherwise call five times. Valid for normal exponents only; the
// packed float needs -150..383.
double pow2(int k) { return std::bit_cast<double>(static_cast<uint64_t>(k + 1023) << 52); }

}  // namespace

double decode_volume_float(const uint8_t* p) {
    const int b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    if (b0 == 0 && b1 == 0 && b2 == 0 && b3 == 0) return 0.0;
    const int e = 2 * b3;  // 0..510
    // Each term is a small integer times a power of two, so every product below is exact.
    const double base = pow2(e - 127);
    double t2, t1, t0;
    if (b2 >= 128) {
        t2 = base + static_cast<double>(b2 - 128) * pow2(e - 133);
        t1 = static_cast<double>(b1) * pow2(e - 141);
        t0 = static_cast<double>(b0) * pow2(e - 149);
    } else {
        t2 = static_cast<double>(b2) * pow2(e - 134);
        t1 = static_cast<double>(b1) * pow2(e - 142);
        t0 = static_cast<double>(b0) * pow2(e - 150);
    }
    return base + t2 + t1 + t0;
}

BarDate decode_bar_date(const uint8_t* p) {
    const uint32_t v = read_u16_le(p);
    const uint32_t m = read_u16_le(p + 2);
    BarDate d;
    d.year = (v >> 11) + 2004;
    d.month = (v % 2048) / 100;
    d.day = (v % 2048) % 100;
    d.hour = m / 60;
    d.minute = m % 60;
    return d;
}

}  // namespace quotix
