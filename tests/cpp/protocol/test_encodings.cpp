// The two number encodings under every reply decoder: the price varint and the packed volume float. Dates,
// padded texts and bounded reads are seen through the parsers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "protocol/encoding.hpp"

using namespace quotix;

// Each row: bytes, start, value and the position after it; a next of 0 is no value (cut at the body's end).
TEST(PriceVarint, ValuesAndPositions) {
    struct Case { std::vector<uint8_t> bytes; size_t pos; int64_t value; size_t next; };
    const Case cases[] = {
        {{0x05}, 0, 5, 1},        {{0x45}, 0, -5, 1},        {{0x7f}, 0, -63, 1},        {{0x81, 0x01}, 0, 65, 2},
        {{0xc1, 0x01}, 0, -65, 2}, {{0x80, 0x80, 0x01}, 0, 8192, 3}, {{0x00, 0x00, 0x81, 0x01, 0x05}, 2, 65, 4},
        // 0x3f then eight 0x7f groups: all 62 bits set.
        {{0xbf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 0, (int64_t{1} << 62) - 1, 9},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 0, -((int64_t{1} << 62) - 1), 9},
        {{0x81}, 0, 0, 0}, {{0x05, 0x81}, 1, 0, 0}, {{0x05}, 1, 0, 0}, {{}, 0, 0, 0},
    };
    for (const Case& c : cases) {
        auto v = read_price_varint(c.bytes, c.pos);
        EXPECT_EQ(v ? std::pair(v->value, v->next) : std::pair(int64_t{0}, size_t{0}), std::pair(c.value, c.next));
    }
    // Past 64 bits the groups are dropped, and the varint is still consumed whole.
    std::vector<uint8_t> overlong(40, 0xff);
    overlong.push_back(0x01);
    EXPECT_EQ(read_price_varint(overlong, 0)->next, overlong.size());
}

TEST(VolumeFloat, Vectors) {
    const std::pair<std::array<uint8_t, 4>, double> cases[] = {
        {{0, 0, 0, 0}, 0.0},           {{0x00, 0x00, 0x00, 0x3f}, 0.5},      {{0x00, 0x00, 0x10, 0x44}, 576.0},
        {{0x00, 0x80, 0x00, 0x44}, 514.0}, {{0x00, 0x01, 0x80, 0x44}, 1024.03125}, {{0x00, 0x50, 0xc3, 0x47}, 100000.0},
        // b3 = 0: base 2^-127 plus b0 x 2^-150.
        {{0x01, 0x00, 0x00, 0x00}, std::ldexp(1.0, -127) + std::ldexp(1.0, -150)},
    };
    for (const auto& [bytes, value] : cases) EXPECT_EQ(decode_volume_float(bytes.data()), value) << value;
    const uint8_t top[] = {0xff, 0xff, 0xff, 0xff};
    EXPECT_TRUE(std::isfinite(decode_volume_float(top)));
}
