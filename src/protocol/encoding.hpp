// The number encodings of reply bodies: little-endian readers, the signed price varint, the
// packed volume float and the two date forms. Pure functions of the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace quotix {

using ByteSpan = std::span<const uint8_t>;

// Little-endian readers over a pointer that the caller has checked has room for the value.
inline uint16_t read_u16_le(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t read_u32_le(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline float read_f32_le(const uint8_t* p) {
    uint32_t bits = read_u32_le(p);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Bounds-checked forms: nullopt when the value does not fit in the body at `pos`.
inline bool has_bytes(ByteSpan body, size_t pos, size_t n) {
    return pos <= body.size() && body.size() - pos >= n;
}
inline std::optional<uint16_t> read_u16_at(ByteSpan body, size_t pos) {
    if (!has_bytes(body, pos, 2)) return std::nullopt;
    return read_u16_le(body.data() + pos);
}

// A decoded price varint and the position just after its last byte.
struct Varint {
    int64_t value = 0;
    size_t next = 0;
};

// Signed variable-length integer: first byte carries continue, sign and 6 magnitude bits, each
// further byte continue and 7 bits. nullopt when the body ends while another byte is asked for
// (or `pos` is at or past the end). Magnitude bits beyond 64 are dropped.
std::optional<Varint> read_price_varint(ByteSpan body, size_t pos);

// The 4-byte packed float of volumes, amounts and share counts (never negative).
double decode_volume_float(const uint8_t* p4);

struct BarDate {
    uint32_t year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

// The packed date-and-time of intraday bars; nothing is validated.
BarDate decode_bar_date(const uint8_t* p4);

struct PlainDate {
    uint32_t year = 0, month = 0, day = 0;
};

// A YYYYMMDD number split into its parts; nothing is validated.
inline PlainDate decode_plain_date(uint32_t d) { return PlainDate{d / 10000, (d % 10000) / 100, d % 100}; }

// Two's-complement addition: wire values may push a running price past the i64 range, which
// must wrap rather than be undefined.
inline int64_t wrapping_add(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

}  // namespace quotix
