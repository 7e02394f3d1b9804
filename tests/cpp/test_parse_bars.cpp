#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "constants.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {

// 2024-01-31, open 10.0, close 10.5, high 10.8, low 9.8, vol 100.0, amount 100000.0.
const std::vector<int> kRecord = {0x03, 0xd7, 0x34, 0x01, 0x90, 0x9c, 0x01, 0xb4, 0x07, 0xa0, 0x0c,
                                  0xc8, 0x03, 0x00, 0x00, 0xc8, 0x42, 0x00, 0x50, 0xc3, 0x47};

BodyBuilder with_count(uint16_t count) {
    BodyBuilder b;
    b.u16(count);
    return b;
}
void add(BodyBuilder& b, const std::vector<int>& v) {
    for (int x : v) b.u8(static_cast<uint8_t>(x));
}

}  // namespace

TEST(SecurityBars, DailyRecord) {
    BodyBuilder b = with_count(1);
    add(b, kRecord);
    ASSERT_EQ(b.size(), 23u);
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    const SecurityBar& bar = (*r)[0];
    EXPECT_DOUBLE_EQ(bar.open, 10.0);
    EXPECT_DOUBLE_EQ(bar.close, 10.5);
    EXPECT_DOUBLE_EQ(bar.high, 10.8);
    EXPECT_DOUBLE_EQ(bar.low, 9.8);
    EXPECT_EQ(bar.vol, 100.0);
    EXPECT_EQ(bar.amount, 100000.0);
    EXPECT_EQ(bar.year, 2024u);
    EXPECT_EQ(bar.month, 1u);
    EXPECT_EQ(bar.day, 31u);
    EXPECT_EQ(bar.hour, 0u);
    EXPECT_EQ(bar.minute, 0u);
    EXPECT_EQ(bar.datetime, "2024-01-31");
}

TEST(SecurityBars, PricesRunFromPreviousClose) {
    BodyBuilder b = with_count(2);
    add(b, kRecord);
    b.u32(20240201).raw({0x00, 0x45, 0x0a, 0x4a}).raw({0, 0, 0, 0x3f}).raw({0, 0, 0, 0x40});
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const SecurityBar& second = (*r)[1];
    EXPECT_DOUBLE_EQ(second.open, 10.5);
    EXPECT_DOUBLE_EQ(second.close, 10.495);
    EXPECT_DOUBLE_EQ(second.high, 10.51);
    EXPECT_DOUBLE_EQ(second.low, 10.49);
    EXPECT_EQ(second.vol, 0.5);
    EXPECT_EQ(second.amount, 2.0);
    EXPECT_EQ(second.datetime, "2024-02-01");
}

TEST(SecurityBars, IntradayCategoriesUsePackedDate) {
    BodyBuilder b = with_count(1);
    b.raw({0x83, 0xa0, 0x3f, 0x02, 0x05, 0x00, 0x00, 0x00}).zeros(8);
    for (uint8_t cat : {KLINE_5MIN, KLINE_15MIN, KLINE_30MIN, KLINE_1HOUR, KLINE_EXHQ_1MIN, KLINE_1MIN}) {
        auto r = parse_security_bars(b, cat);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r->size(), 1u) << int(cat);
        EXPECT_EQ((*r)[0].datetime, "2024-01-31 09:35");
        EXPECT_EQ((*r)[0].hour, 9u);
        EXPECT_EQ((*r)[0].minute, 35u);
        EXPECT_DOUBLE_EQ((*r)[0].open, 0.005);
    }
    // The daily record read as a packed date is year 2030, month 17: no bars.
    BodyBuilder d = with_count(1);
    add(d, kRecord);
    EXPECT_TRUE(parse_security_bars(d, KLINE_5MIN)->empty());
}

TEST(SecurityBars, CountsAgainstBody) {
    BodyBuilder b = with_count(3);
    add(b, kRecord);
    add(b, kRecord);
    EXPECT_EQ(parse_security_bars(b, KLINE_DAILY)->size(), 2u);

    BodyBuilder zero = with_count(0);
    add(zero, kRecord);
    EXPECT_TRUE(parse_security_bars(zero, KLINE_DAILY)->empty());

    // 15 bytes left is too few to start a record.
    BodyBuilder short_tail = with_count(2);
    add(short_tail, kRecord);
    short_tail.u32(20240201).zeros(11);
    EXPECT_EQ(parse_security_bars(short_tail, KLINE_DAILY)->size(), 1u);
}

TEST(SecurityBars, DateValidity) {
    BodyBuilder early = with_count(1);
    early.u32(19791231).zeros(12);
    EXPECT_TRUE(parse_security_bars(early, KLINE_DAILY)->empty());

    BodyBuilder feb30 = with_count(1);
    feb30.u32(20240230).zeros(12);
    ASSERT_EQ(parse_security_bars(feb30, KLINE_DAILY)->size(), 1u);

    // A bad date ends the list after the good bars.
    BodyBuilder mid = with_count(3);
    mid.u32(20240102).zeros(12).u32(20241301).zeros(12).u32(20240103).zeros(12);
    EXPECT_EQ(parse_security_bars(mid, KLINE_DAILY)->size(), 1u);

    BodyBuilder day0 = with_count(1);
    day0.u32(20240100).zeros(12);
    EXPECT_TRUE(parse_security_bars(day0, KLINE_DAILY)->empty());

    const uint32_t max_year = max_valid_year();
    BodyBuilder latest = with_count(2);
    latest.u32(max_year * 10000 + 101).zeros(12).u32((max_year + 1) * 10000 + 101).zeros(12);
    EXPECT_EQ(parse_security_bars(latest, KLINE_DAILY)->size(), 1u);
}

TEST(SecurityBars, RecordCutInsidePrices) {
    // d1 = 10000 padded to nine bytes, d2 = 500 padded to three: 16 bytes end right after d2.
    BodyBuilder b = with_count(2);
    b.u32(20240131).raw({0x90, 0x9c, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}).raw({0xb4, 0x87, 0x00});
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    const SecurityBar& bar = (*r)[0];
    EXPECT_DOUBLE_EQ(bar.open, 10.0);
    EXPECT_DOUBLE_EQ(bar.close, 10.5);
    EXPECT_DOUBLE_EQ(bar.high, 10.0);
    EXPECT_DOUBLE_EQ(bar.low, 10.0);
    EXPECT_EQ(bar.vol, 0.0);
    EXPECT_EQ(bar.amount, 0.0);

    // The open itself cut off: every price is the previous close (0 for the first bar).
    BodyBuilder c = with_count(1);
    c.u32(20240131).raw({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80});
    r = parse_security_bars(c, KLINE_DAILY);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].open, 0.0);
    EXPECT_EQ((*r)[0].close, 0.0);
}

TEST(SecurityBars, VolumesCutShort) {
    BodyBuilder b = with_count(2);
    b.u32(20240131).raw({0x81, 0x00, 2, 3, 4}).raw({0, 0, 0xc8, 0x42}).raw({0, 0, 0});
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].vol, 100.0);
    EXPECT_EQ((*r)[0].amount, 0.0);
}

TEST(SecurityBars, BodyTooShort) {
    for (std::vector<uint8_t> body : {std::vector<uint8_t>{}, std::vector<uint8_t>{1}}) {
        auto r = parse_security_bars(body, KLINE_DAILY);
        ASSERT_FALSE(r.ok());
        EXPECT_TRUE(r.error().is_coded(2103));
        EXPECT_EQ(r.error().coded_error().message, "body too short");
        EXPECT_FALSE(parse_index_bars(body, KLINE_DAILY).ok());
    }
}

TEST(IndexBars, CountsFollowAmount) {
    BodyBuilder b = with_count(1);
    add(b, kRecord);
    b.u16(812).u16(1500);
    auto r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_DOUBLE_EQ((*r)[0].close, 10.5);
    EXPECT_EQ((*r)[0].amount, 100000.0);
    EXPECT_EQ((*r)[0].up_count, 812u);
    EXPECT_EQ((*r)[0].down_count, 1500u);
    EXPECT_EQ((*r)[0].datetime, "2024-01-31");
}

// A final record of exactly 20 bytes (one-byte varints) is complete and must not be dropped.
TEST(IndexBars, ShortestCompleteLastRecordIsKept) {
    BodyBuilder b = with_count(2);
    add(b, kRecord);
    b.u16(1).u16(2);
    b.u32(20240201).raw({0x05, 0x01, 0x02, 0x43}).raw({0, 0, 0xc8, 0x42}).raw({0, 0, 0, 0x40}).u16(7).u16(9);
    auto r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const IndexBar& last = (*r)[1];
    EXPECT_DOUBLE_EQ(last.open, 10.505);
    EXPECT_DOUBLE_EQ(last.close, 10.506);
    EXPECT_DOUBLE_EQ(last.high, 10.507);
    EXPECT_DOUBLE_EQ(last.low, 10.502);
    EXPECT_EQ(last.vol, 100.0);
    EXPECT_EQ(last.amount, 2.0);
    EXPECT_EQ(last.up_count, 7u);
    EXPECT_EQ(last.down_count, 9u);

    // 19 bytes are too few to start one.
    BodyBuilder c = with_count(1);
    c.u32(20240201).raw({0x05, 0x01, 0x02, 0x43}).zeros(11);
    EXPECT_TRUE(parse_index_bars(c, KLINE_DAILY)->empty());
}

TEST(IndexBars, MissingDownCountIsZero) {
    BodyBuilder b = with_count(1);
    add(b, kRecord);
    b.u16(33);
    auto r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].up_count, 33u);
    EXPECT_EQ((*r)[0].down_count, 0u);
}

TEST(IndexBars, NextRecordSkipsTheCounts) {
    BodyBuilder b = with_count(2);
    add(b, kRecord);
    b.u16(1).u16(2);
    b.u32(20240201).raw({0x00, 0x00, 0x00, 0x00}).zeros(8).u16(3).u16(4);
    auto r = parse_index_bars(b, KLINE_15MIN);  // packed dates: 2030-17 stops at once
    EXPECT_TRUE(r->empty());
    r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_DOUBLE_EQ((*r)[1].open, 10.5);
    EXPECT_EQ((*r)[1].up_count, 3u);
    EXPECT_EQ((*r)[1].down_count, 4u);
}
