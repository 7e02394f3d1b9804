#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "net/utils.hpp"

using namespace quotix;

TEST(PriceVarint, ValuesAndPositions) {
    struct Case { std::vector<uint8_t> bytes; size_t pos; int64_t value; size_t next; };
    const Case cases[] = {
        {{0x05}, 0, 5, 1},          {{0x45}, 0, -5, 1},          {{0x3f}, 0, 63, 1},         {{0x7f}, 0, -63, 1},
        {{0x81, 0x01}, 0, 65, 2},   {{0xc1, 0x01}, 0, -65, 2},   {{0xbf, 0x7f}, 0, 8191, 2}, {{0xc0, 0x00}, 0, 0, 2},
        {{0x80, 0x80, 0x01}, 0, 8192, 3},
        {{0x00, 0x00, 0x81, 0x01, 0x05}, 2, 65, 4},
        // 0x3f then eight 0x7f groups: all 62 bits set.
        {{0xbf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 0, (int64_t{1} << 62) - 1, 9},
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, 0, -((int64_t{1} << 62) - 1), 9},
    };
    for (const Case& c : cases) {
        auto v = read_price_varint(c.bytes, c.pos);
        ASSERT_TRUE(v.has_value()) << c.value;
        EXPECT_EQ(v->value, c.value);
        EXPECT_EQ(v->next, c.next);
    }
    // Incomplete at the end of the body, or nothing left.
    const std::pair<std::vector<uint8_t>, size_t> cut[] = {{{0x81}, 0}, {{0x05, 0x81}, 1}, {{0x05}, 1}, {{0x05}, 99}, {{}, 0}};
    for (const auto& [bytes, pos] : cut) EXPECT_FALSE(read_price_varint(bytes, pos)) << pos;
    // An overlong varint is defined and consumed whole.
    std::vector<uint8_t> b(40, 0xff);
    b.push_back(0x01);
    auto v = read_price_varint(b, 0);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->next, b.size());
}

TEST(VolumeFloat, Vectors) {
    const std::pair<std::array<uint8_t, 4>, double> cases[] = {
        {{0, 0, 0, 0}, 0.0},          {{0x00, 0x00, 0x00, 0x3f}, 0.5},     {{0x00, 0x00, 0x00, 0x40}, 2.0},
        {{0x00, 0x00, 0xc8, 0x42}, 100.0}, {{0x00, 0x00, 0x10, 0x44}, 576.0}, {{0x00, 0x80, 0x00, 0x44}, 514.0},
        {{0x00, 0x00, 0x80, 0x44}, 1024.0}, {{0x00, 0x01, 0x80, 0x44}, 1024.03125}, {{0x00, 0x50, 0xc3, 0x47}, 100000.0},
        // b3 = 0: base 2^-127 plus b0 x 2^-150.
        {{0x01, 0x00, 0x00, 0x00}, std::ldexp(1.0, -127) + std::ldexp(1.0, -150)},
    };
    for (const auto& [bytes, value] : cases) EXPECT_EQ(decode_volume_float(bytes.data()), value) << value;
    const uint8_t top[] = {0xff, 0xff, 0xff, 0xff};
    double hi = decode_volume_float(top);
    EXPECT_TRUE(std::isfinite(hi));
    EXPECT_GT(hi, 0.0);
}

TEST(Dates, PackedAndPlainForms) {
    struct Case { std::array<uint8_t, 4> bytes; uint32_t year, month, day, hour, minute; };
    const Case cases[] = {
        {{0x83, 0xa0, 0x3f, 0x02}, 2024, 1, 31, 9, 35},
        {{0xcf, 0x04, 0x00, 0x00}, 2004, 12, 31, 0, 0},
        // Nothing is validated: 0xffff gives year 2035, (2047 / 100) = 20, 47, and hour 1092.
        {{0xff, 0xff, 0xff, 0xff}, 2035, 20, 47, 1092, 15},
    };
    for (const Case& c : cases) {
        BarDate d = decode_bar_date(c.bytes.data());
        EXPECT_EQ(std::vector<uint32_t>({d.year, d.month, d.day, d.hour, d.minute}),
                  std::vector<uint32_t>({c.year, c.month, c.day, c.hour, c.minute}));
    }
    const uint8_t a[] = {0x03, 0xd7, 0x34, 0x01};
    PlainDate d = decode_plain_date(read_u32_le(a));
    EXPECT_EQ(std::vector<uint32_t>({d.year, d.month, d.day}), std::vector<uint32_t>({2024, 1, 31}));
}

TEST(LittleEndian, ReadersAndBounds) {
    const std::vector<uint8_t> b = {0x34, 0x12, 0xff, 0xff, 0x00, 0x00, 0x80, 0x3f};
    EXPECT_EQ(read_u16_le(b.data()), 0x1234);
    EXPECT_EQ(read_i16_le(b.data() + 2), -1);
    EXPECT_EQ(read_u32_le(b.data()), 0xffff1234u);
    EXPECT_EQ(read_f32_le(b.data() + 4), 1.0f);
    EXPECT_EQ(read_u16_at(b, 6).value(), 0x3f80);
    EXPECT_FALSE(read_u16_at(b, 7));
    EXPECT_FALSE(read_u32_at(b, 5));
    EXPECT_FALSE(read_u32_at(b, SIZE_MAX));
}
