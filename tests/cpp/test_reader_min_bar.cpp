// Local 5-minute and LC minute bar files: 32-byte records built by hand.
#include <gtest/gtest.h>

#include "reader/min_bar.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

namespace {

constexpr uint16_t MAR_15_2024 = (20 << 11) + 315;

void put_head(Bytes& b, uint16_t date, uint16_t minutes) {
    put_u16(b, date);
    put_u16(b, minutes);
}

void put_int_bar(Bytes& b, uint16_t date, uint16_t minutes, uint32_t o, uint32_t h, uint32_t l, uint32_t c,
                 float amount, uint32_t volume, uint32_t reserved = 0) {
    put_head(b, date, minutes);
    for (uint32_t v : {o, h, l, c}) put_u32(b, v);
    put_f32(b, amount);
    put_u32(b, volume);
    put_u32(b, reserved);
}

void put_lc_bar(Bytes& b, uint16_t date, uint16_t minutes, float o, float h, float l, float c, float amount,
                uint32_t volume) {
    put_head(b, date, minutes);
    for (float v : {o, h, l, c}) put_f32(b, v);
    put_f32(b, amount);
    put_u32(b, volume);
    put_u32(b, 0);
}

}  // namespace

TEST(ReaderMinBar, FiveMinuteRecord) {
    Bytes b;
    put_int_bar(b, MAR_15_2024, 575, 1234, 1250, 1200, 1240, 640.5f, 500);
    auto r = parse_min_bar(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    const MinBarRecord& m = (*r)[0];
    EXPECT_EQ(m.date, "2024-03-15 09:35");
    EXPECT_EQ(m.open, 12.34);  // the double nearest 12.34, from a division by 100
    EXPECT_EQ(m.high, 12.5);
    EXPECT_EQ(m.low, 12.0);
    EXPECT_EQ(m.close, 12.4);
    EXPECT_EQ(m.amount, 640.5);
    EXPECT_EQ(m.volume, 500.0);
    EXPECT_EQ(m.year, 2024u);
    EXPECT_EQ(m.month, 3u);
    EXPECT_EQ(m.day, 15u);
    EXPECT_EQ(m.hour, 9u);
    EXPECT_EQ(m.minute, 35u);
}

TEST(ReaderMinBar, LcRecordKeepsSinglePrecisionValues) {
    Bytes b;
    put_lc_bar(b, MAR_15_2024, 575, 12.34f, 12.5f, 12.0f, 12.4f, 640.5f, 500);
    auto r = parse_lc_min_bar(b);
    ASSERT_TRUE(r.ok());
    const MinBarRecord& m = (*r)[0];
    EXPECT_EQ(m.date, "2024-03-15 09:35");
    EXPECT_EQ(m.open, 12.340000152587890625);
    EXPECT_EQ(m.high, 12.5);
    EXPECT_EQ(m.low, 12.0);
    EXPECT_EQ(m.close, 12.3999996185302734375);
    EXPECT_EQ(m.amount, 640.5);
    EXPECT_EQ(m.volume, 500.0);
}

TEST(ReaderMinBar, ExtremesPassThrough) {
    Bytes b;
    put_int_bar(b, 0, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0xFFFFFFFFu);
    put_int_bar(b, MAR_15_2024, 1500, 1, 1, 1, 1, 0, 0);
    put_int_bar(b, 0xFFFF, 65535, 1, 1, 1, 1, 0, 0);
    auto r = parse_min_bar(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0].date, "2004-00-00 00:00");
    EXPECT_DOUBLE_EQ((*r)[0].open, 42949672.95);
    EXPECT_EQ((*r)[0].volume, 4294967295.0);
    EXPECT_EQ((*r)[1].hour, 25u);
    EXPECT_EQ((*r)[1].minute, 0u);
    EXPECT_EQ((*r)[1].date, "2024-03-15 25:00");
    // 0xFFFF: year 31 + 2004, 0x7FF = 2047 -> month 20, day 47.
    EXPECT_EQ((*r)[2].date, "2035-20-47 1092:15");
}

TEST(ReaderMinBar, ReservedBytesAndOrder) {
    Bytes b;
    put_int_bar(b, MAR_15_2024, 580, 1, 2, 3, 4, 0, 9, 0xFFFFFFFFu);
    put_int_bar(b, MAR_15_2024, 575, 5, 6, 7, 8, 0, 10, 0);
    auto r = parse_min_bar(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].date, "2024-03-15 09:40");
    EXPECT_EQ((*r)[0].close, 0.04);
    EXPECT_EQ((*r)[1].date, "2024-03-15 09:35");
    EXPECT_EQ((*r)[1].open, 0.05);
}

TEST(ReaderMinBar, SizesThatAreNotWholeRecords) {
    for (auto parse : {&parse_min_bar, &parse_lc_min_bar}) {
        auto empty = parse({});
        ASSERT_TRUE(empty.ok());
        EXPECT_TRUE(empty->empty());
    }
    for (size_t n : {31u, 33u}) {
        auto m = parse_min_bar(Bytes(n, 0));
        ASSERT_FALSE(m.ok());
        EXPECT_EQ(m.error().kind(), TdxError::Kind::InvalidData);
        EXPECT_EQ(m.error().display(),
                  "Invalid data: Min bar file size " + std::to_string(n) + " is not a multiple of 32");
        auto l = parse_lc_min_bar(Bytes(n, 0));
        ASSERT_FALSE(l.ok());
        EXPECT_EQ(l.error().display(),
                  "Invalid data: LC min bar file size " + std::to_string(n) + " is not a multiple of 32");
    }
}

TEST(ReaderMinBar, FromPath) {
    Bytes b;
    put_int_bar(b, MAR_15_2024, 575, 1234, 1250, 1200, 1240, 640.5f, 500);
    put_int_bar(b, MAR_15_2024, 580, 1, 2, 3, 4, 0, 9);
    TempFile f(b);
    auto r = parse_min_bar_file(f.path());
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].open, 12.34);
    EXPECT_EQ((*r)[1].date, "2024-03-15 09:40");
    auto lc = parse_lc_min_bar_file(f.path());  // same bytes read as floats: still 2 records
    ASSERT_TRUE(lc.ok());
    EXPECT_EQ(lc->size(), 2u);

    TempFile empty(Bytes{});
    auto e = parse_lc_min_bar_file(empty.path());
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(e->empty());

    b.resize(33);
    TempFile cut(b);
    auto c = parse_lc_min_bar_file(cut.path());
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().display(), "Invalid data: LC min bar file size 33 is not a multiple of 32");
}
