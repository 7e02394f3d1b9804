// Little-endian field reads for the local file parsers. Callers check bounds first.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quotix::reader::le {

inline uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline float f32(const uint8_t* p) { return std::bit_cast<float>(u32(p)); }

}  // namespace quotix::reader::le
