#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "net/utils.hpp"

using namespace quotix;

namespace {
std::optional<Varint> varint(std::vector<uint8_t> b, size_t pos = 0) { return read_price_varint(b, pos); }
double vfloat(std::vector<uint8_t> b) { return decode_volume_float(b.data()); }
}  // namespace

TEST(PriceVarint, SingleAndMultiByteValues) {
    struct Case { std::vector<uint8_t> bytes; int64_t value; };
    const Case cases[] = {
        {{0x05}, 5},          {{0x45}, -5},          {{0x3f}, 63},          {{0x7f}, -63},
        {{0x81, 0x01}, 65},   {{0xc1, 0x01}, -65},   {{0xbf, 0x7f}, 8191},  {{0x80, 0x80, 0x01}, 8192},
        {{0xc0, 0x00}, 0},
    };
    for (const auto& c : cases) {
        auto v = varint(c.bytes);
        ASSERT_TRUE(v.has_value());
        EXPECT_EQ(v->value, c.value);
        EXPECT_EQ(v->next, c.bytes.size());
    }
}

TEST(PriceVarint, PositionAdvancesFromOffset) {
    auto v = varint({0x00, 0x00, 0x81, 0x01, 0x05}, 2);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->value, 65);
    EXPECT_EQ(v->next, 4u);
}

TEST(PriceVarint, IncompleteAtEndOfBody) {
    EXPECT_FALSE(varint({0x81}));
    EXPECT_FALSE(varint({0x05, 0x81}, 1));
    EXPECT_FALSE(varint({0x05}, 1));   // nothing left
    EXPECT_FALSE(varint({0x05}, 99));  // past the end
    EXPECT_FALSE(varint({}));
}

TEST(PriceVarint, NineBytesFillSixtyTwoBits) {
    // 0x3f then eight 0x7f groups with continue bits: all 62 bits set.
    std::vector<uint8_t> b = {0xbf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f};
    auto v = varint(b);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->value, (int64_t{1} << 62) - 1);
    b[0] = 0xff;  // negative
    EXPECT_EQ(varint(b)->value, -((int64_t{1} << 62) - 1));
}

TEST(PriceVarint, OverlongVarintIsDefinedAndConsumed) {
    std::vector<uint8_t> b(40, 0xff);
    b.push_back(0x01);
    auto v = varint(b);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->next, b.size());
}

TEST(VolumeFloat, Vectors) {
    EXPECT_EQ(vfloat({0, 0, 0, 0}), 0.0);
    EXPECT_EQ(vfloat({0x00, 0x00, 0x00, 0x3f}), 0.5);
    EXPECT_EQ(vfloat({0x00, 0x00, 0x00, 0x40}), 2.0);
    EXPECT_EQ(vfloat({0x00, 0x00, 0xc8, 0x42}), 100.0);
    EXPECT_EQ(vfloat({0x00, 0x00, 0x10, 0x44}), 576.0);
    EXPECT_EQ(vfloat({0x00, 0x80, 0x00, 0x44}), 514.0);
    EXPECT_EQ(vfloat({0x00, 0x00, 0x80, 0x44}), 1024.0);
    EXPECT_EQ(vfloat({0x00, 0x01, 0x80, 0x44}), 1024.03125);
    EXPECT_EQ(vfloat({0x00, 0x50, 0xc3, 0x47}), 100000.0);
}

TEST(VolumeFloat, ExtremesStayFiniteAndNonNegative) {
    double hi = vfloat({0xff, 0xff, 0xff, 0xff});
    EXPECT_TRUE(std::isfinite(hi));
    EXPECT_GT(hi, 0.0);
    // b3 = 0: base 2^-127 plus b0 x 2^-150.
    EXPECT_EQ(vfloat({0x01, 0x00, 0x00, 0x00}), std::ldexp(1.0, -127) + std::ldexp(1.0, -150));
}

TEST(BarDate, PackedForm) {
    const uint8_t a[] = {0x83, 0xa0, 0x3f, 0x02};
    BarDate d = decode_bar_date(a);
    EXPECT_EQ(d.year, 2024u);
    EXPECT_EQ(d.month, 1u);
    EXPECT_EQ(d.day, 31u);
    EXPECT_EQ(d.hour, 9u);
    EXPECT_EQ(d.minute, 35u);

    const uint8_t b[] = {0xcf, 0x04, 0x00, 0x00};
    d = decode_bar_date(b);
    EXPECT_EQ(d.year, 2004u);
    EXPECT_EQ(d.month, 12u);
    EXPECT_EQ(d.day, 31u);
    EXPECT_EQ(d.hour, 0u);
    EXPECT_EQ(d.minute, 0u);

    // Nothing is validated: 0xffff gives year 2035, (2047 / 100) = 20, 47, and hour 1092.
    const uint8_t c[] = {0xff, 0xff, 0xff, 0xff};
    d = decode_bar_date(c);
    EXPECT_EQ(d.year, 2035u);
    EXPECT_EQ(d.month, 20u);
    EXPECT_EQ(d.day, 47u);
    EXPECT_EQ(d.hour, 1092u);
    EXPECT_EQ(d.minute, 15u);
}

TEST(PlainDate, YyyymmddForm) {
    const uint8_t a[] = {0x03, 0xd7, 0x34, 0x01};
    PlainDate d = decode_plain_date(read_u32_le(a));
    EXPECT_EQ(d.year, 2024u);
    EXPECT_EQ(d.month, 1u);
    EXPECT_EQ(d.day, 31u);
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
