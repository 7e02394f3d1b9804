#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "constants.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {

// 2024-01-31, open 10.0, close 10.5, high 10.8, low 9.8, vol 100.0, amount 100000.0.
const std::initializer_list<int> kRecord = {0x03, 0xd7, 0x34, 0x01, 0x90, 0x9c, 0x01, 0xb4, 0x07, 0xa0, 0x0c,
                                            0xc8, 0x03, 0x00, 0x00, 0xc8, 0x42, 0x00, 0x50, 0xc3, 0x47};

BodyBuilder with_count(uint16_t count) {
    BodyBuilder b;
    b.u16(count);
    return b;
}

template <class Bar>
std::string text(const Bar& b) {
    return testutil::fields(b.datetime, b.open, b.close, b.high, b.low, b.vol, b.amount);
}

}  // namespace

TEST(SecurityBars, DailyRecordsRunFromPreviousClose) {
    BodyBuilder b = with_count(2);
    b.raw(kRecord).u32(20240201).raw({0x00, 0x45, 0x0a, 0x4a}).raw({0, 0, 0, 0x3f}).raw({0, 0, 0, 0x40});
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const SecurityBar& bar = (*r)[0];
    EXPECT_EQ(text(bar), "2024-01-31 10 10.5 10.8 9.8 100 100000");
    EXPECT_EQ(testutil::fields(bar.year, bar.month, bar.day, bar.hour, bar.minute), "2024 1 31 0 0");
    EXPECT_EQ(text((*r)[1]), "2024-02-01 10.5 10.495 10.51 10.49 0.5 2");
}

TEST(SecurityBars, IntradayCategoriesUsePackedDate) {
    BodyBuilder b = with_count(1);
    b.raw({0x83, 0xa0, 0x3f, 0x02, 0x05, 0x00, 0x00, 0x00}).zeros(8);
    for (uint8_t cat : {KLINE_5MIN, KLINE_15MIN, KLINE_30MIN, KLINE_1HOUR, KLINE_EXHQ_1MIN, KLINE_1MIN}) {
        auto r = parse_security_bars(b, cat);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r->size(), 1u) << int(cat);
        EXPECT_EQ(text((*r)[0]), "2024-01-31 09:35 0.005 0.005 0.005 0.005 0 0");
        EXPECT_EQ((*r)[0].hour * 100 + (*r)[0].minute, 935u);
    }
}

// How many bars come back: the count, the bytes present and the dates decide.
TEST(SecurityBars, CountsBodyAndDateValidity) {
    const uint32_t max_year = max_valid_year();
    struct Case { const char* name; BodyBuilder body; uint8_t category; size_t bars; };
    const Case cases[] = {
        {"count above records", with_count(3).raw(kRecord).raw(kRecord), KLINE_DAILY, 2},
        {"count zero", with_count(0).raw(kRecord), KLINE_DAILY, 0},
        {"15 bytes cannot start a record", with_count(2).raw(kRecord).u32(20240201).zeros(11), KLINE_DAILY, 1},
        {"year before 1980", with_count(1).u32(19791231).zeros(12), KLINE_DAILY, 0},
        {"day 30 of February passes", with_count(1).u32(20240230).zeros(12), KLINE_DAILY, 1},
        {"day 0", with_count(1).u32(20240100).zeros(12), KLINE_DAILY, 0},
        {"a bad date ends the list",
         with_count(3).u32(20240102).zeros(12).u32(20241301).zeros(12).u32(20240103).zeros(12), KLINE_DAILY, 1},
        {"latest valid year",
         with_count(2).u32(max_year * 10000 + 101).zeros(12).u32((max_year + 1) * 10000 + 101).zeros(12), KLINE_DAILY, 1},
        // The daily record read as a packed date is year 2030, month 17.
        {"daily date read as packed", with_count(1).raw(kRecord), KLINE_5MIN, 0},
    };
    for (const Case& c : cases) {
        auto r = parse_security_bars(c.body, c.category);
        ASSERT_TRUE(r.ok()) << c.name;
        EXPECT_EQ(r->size(), c.bars) << c.name;
    }
}

TEST(SecurityBars, RecordCutShort) {
    // d1 = 10000 padded to nine bytes, d2 = 500 padded to three: 16 bytes end right after d2.
    BodyBuilder b = with_count(2);
    b.u32(20240131).raw({0x90, 0x9c, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}).raw({0xb4, 0x87, 0x00});
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(text((*r)[0]), "2024-01-31 10 10.5 10 10 0 0");

    // The open itself cut off: every price is the previous close (0 for the first bar).
    r = parse_security_bars(with_count(1).u32(20240131).raw({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                             0x80, 0x80, 0x80}),
                            KLINE_DAILY);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(text((*r)[0]), "2024-01-31 0 0 0 0 0 0");

    // Volume whole, amount cut short.
    r = parse_security_bars(with_count(2).u32(20240131).raw({0x81, 0x00, 2, 3, 4, 0, 0, 0xc8, 0x42, 0, 0, 0}),
                            KLINE_DAILY);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(text((*r)[0]), "2024-01-31 0.001 0.003 0.004 0.005 100 0");
}

TEST(IndexBars, CountsFollowAmount) {
    BodyBuilder b = with_count(2);
    b.raw(kRecord).u16(812).u16(1500).u32(20240201).raw({0x00, 0x00, 0x00, 0x00}).zeros(8).u16(3).u16(4);
    EXPECT_TRUE(parse_index_bars(b, KLINE_15MIN)->empty());  // packed dates: 2030-17 stops at once
    auto r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(text((*r)[0]) + " " + testutil::fields((*r)[0].up_count, (*r)[0].down_count),
              "2024-01-31 10 10.5 10.8 9.8 100 100000 812 1500");
    // The next record starts after the counts.
    EXPECT_EQ(text((*r)[1]) + " " + testutil::fields((*r)[1].up_count, (*r)[1].down_count),
              "2024-02-01 10.5 10.5 10.5 10.5 0 0 3 4");

    r = parse_index_bars(with_count(1).raw(kRecord).u16(33), KLINE_DAILY);  // the down count missing is 0
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].up_count, 33u);
    EXPECT_EQ((*r)[0].down_count, 0u);
}

// A final record of exactly 20 bytes (one-byte varints) is complete and must not be dropped.
TEST(IndexBars, ShortestCompleteLastRecordIsKept) {
    BodyBuilder b = with_count(2);
    b.raw(kRecord).u16(1).u16(2);
    b.u32(20240201).raw({0x05, 0x01, 0x02, 0x43}).raw({0, 0, 0xc8, 0x42}).raw({0, 0, 0, 0x40}).u16(7).u16(9);
    auto r = parse_index_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const IndexBar& last = (*r)[1];
    EXPECT_EQ(text(last) + " " + testutil::fields(last.up_count, last.down_count),
              "2024-02-01 10.505 10.506 10.507 10.502 100 2 7 9");
    // 19 bytes are too few to start one.
    EXPECT_TRUE(parse_index_bars(with_count(1).u32(20240201).raw({0x05, 0x01, 0x02, 0x43}).zeros(11), KLINE_DAILY)->empty());
}
