// Builds reply bodies byte by byte for the parser tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace testutil {

struct BodyBuilder {
    std::vector<uint8_t> bytes;

    BodyBuilder& raw(std::initializer_list<int> bs) {
        for (int b : bs) bytes.push_back(static_cast<uint8_t>(b));
        return *this;
    }
    BodyBuilder& u8(uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    BodyBuilder& u16(uint16_t v) { return raw({v & 0xff, v >> 8}); }
    BodyBuilder& u32(uint32_t v) {
        return raw({int(v & 0xff), int((v >> 8) & 0xff), int((v >> 16) & 0xff), int(v >> 24)});
    }
    BodyBuilder& f32(float f) {
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        return u32(bits);
    }
    BodyBuilder& text(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    BodyBuilder& zeros(size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }
    // The price varint: sign in bit 6 of the first byte, 6 then 7 magnitude bits per byte.
    BodyBuilder& vi(int64_t v) {
        uint64_t mag = v < 0 ? uint64_t(0) - uint64_t(v) : uint64_t(v);
        uint8_t first = static_cast<uint8_t>(mag & 0x3f) | (v < 0 ? 0x40 : 0);
        mag >>= 6;
        if (mag) first |= 0x80;
        bytes.push_back(first);
        while (mag) {
            uint8_t b = static_cast<uint8_t>(mag & 0x7f);
            mag >>= 7;
            if (mag) b |= 0x80;
            bytes.push_back(b);
        }
        return *this;
    }
    size_t size() const { return bytes.size(); }
    operator const std::vector<uint8_t>&() const { return bytes; }
    operator std::span<const uint8_t>() const { return bytes; }
};

}  // namespace testutil
