// Local daily bar files: 32-byte records built by hand.
#include <gtest/gtest.h>

#include "reader/daily_bar.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

namespace {

void put_day(Bytes& b, uint32_t date, uint32_t open, uint32_t high, uint32_t low, uint32_t close, float amount,
             uint32_t volume, uint32_t reserved = 0) {
    put_u32(b, date);
    put_u32(b, open);
    put_u32(b, high);
    put_u32(b, low);
    put_u32(b, close);
    put_f32(b, amount);
    put_u32(b, volume);
    put_u32(b, reserved);
}

Bytes one_day(uint32_t date) {
    Bytes b;
    put_day(b, date, 1, 1, 1, 1, 0, 0);
    return b;
}

std::string date_of(uint32_t v) {
    auto r = parse_daily_bar(one_day(v), 0.01);
    return r.ok() && r->size() == 1 ? (*r)[0].date : "<error>";
}

}  // namespace

TEST(ReaderDailyBar, TwoRecordsInFileOrder) {
    Bytes b;
    put_day(b, 20240315, 1234, 1250, 1200, 1240, 640.5f, 500);
    put_day(b, 20240314, 1000, 1100, 900, 1050, 0.25f, 7);
    auto r = parse_daily_bar(b, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const DailyBarRecord& a = (*r)[0];
    EXPECT_EQ(a.date, "2024-03-15");
    EXPECT_EQ(a.year, 2024u);
    EXPECT_EQ(a.month, 3u);
    EXPECT_EQ(a.day, 15u);
    EXPECT_DOUBLE_EQ(a.open, 12.34);
    EXPECT_DOUBLE_EQ(a.high, 12.5);
    EXPECT_DOUBLE_EQ(a.low, 12.0);
    EXPECT_DOUBLE_EQ(a.close, 12.4);
    EXPECT_EQ(a.amount, 640.5);
    EXPECT_EQ(a.volume, 500.0);
    EXPECT_EQ((*r)[1].date, "2024-03-14");
    EXPECT_EQ((*r)[1].amount, 0.25);
    EXPECT_EQ((*r)[1].volume, 7.0);
}

TEST(ReaderDailyBar, CoefficientScalesPricesOnly) {
    Bytes b;
    put_day(b, 20240315, 1234, 2, 4, 8, 3.5f, 12345);
    auto cents = parse_daily_bar(b, 0.01);
    auto mills = parse_daily_bar(b, 0.001);
    auto halves = parse_daily_bar(b, 0.5);
    ASSERT_TRUE(cents.ok() && mills.ok() && halves.ok());
    EXPECT_DOUBLE_EQ((*cents)[0].open, 12.34);
    EXPECT_DOUBLE_EQ((*mills)[0].open, 1.234);
    EXPECT_EQ((*halves)[0].open, 617.0);
    EXPECT_EQ((*halves)[0].close, 4.0);
    for (const auto* r : {&*cents, &*mills, &*halves}) {
        EXPECT_EQ((*r)[0].amount, 3.5);
        EXPECT_EQ((*r)[0].volume, 12345.0);
        EXPECT_EQ((*r)[0].date, "2024-03-15");
    }
}

TEST(ReaderDailyBar, DateEncodings) {
    EXPECT_EQ(date_of(0), "2004-00-00");
    EXPECT_EQ(date_of((20u << 11) + 315), "2024-03-15");
    EXPECT_EQ(date_of(20240315), "2024-03-15");
    EXPECT_EQ(date_of(100000), "2052-16-96");  // the last packed value
    EXPECT_EQ(date_of(100001), "0010-00-01");  // the first decimal one
    EXPECT_EQ(date_of(0xFFFFFFFFu), "429496-72-95");
    auto r = parse_daily_bar(one_day(0xFFFFFFFFu), 1.0);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ((*r)[0].year, 429496u);
    EXPECT_EQ((*r)[0].month, 72u);
    EXPECT_EQ((*r)[0].day, 95u);
}

TEST(ReaderDailyBar, ReservedBytesAreIgnored) {
    Bytes a, b;
    put_day(a, 20240315, 1, 2, 3, 4, 5.0f, 6, 0);
    put_day(b, 20240315, 1, 2, 3, 4, 5.0f, 6, 0xDEADBEEF);
    auto ra = parse_daily_bar(a, 0.01), rb = parse_daily_bar(b, 0.01);
    ASSERT_TRUE(ra.ok() && rb.ok());
    EXPECT_EQ((*ra)[0].date, (*rb)[0].date);
    EXPECT_EQ((*ra)[0].close, (*rb)[0].close);
    EXPECT_EQ((*ra)[0].volume, (*rb)[0].volume);
}

TEST(ReaderDailyBar, SizesThatAreNotWholeRecords) {
    auto empty = parse_daily_bar({}, 0.01);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
    for (size_t n : {1u, 31u, 33u, 63u}) {
        auto r = parse_daily_bar(Bytes(n, 0), 0.01);
        ASSERT_FALSE(r.ok()) << n;
        EXPECT_EQ(r.error().kind(), TdxError::Kind::InvalidData);
        EXPECT_EQ(r.error().display(),
                  "Invalid data: Daily bar file size " + std::to_string(n) + " is not a multiple of 32");
    }
}

TEST(ReaderDailyBar, FromPath) {
    Bytes b;
    put_day(b, 20240315, 1234, 1250, 1200, 1240, 640.5f, 500);
    put_day(b, 41275, 1, 2, 3, 4, 5.0f, 6);
    TempFile f(b);
    auto from_file = parse_daily_bar_file(f.path(), 0.01);
    auto from_bytes = parse_daily_bar(b, 0.01);
    ASSERT_TRUE(from_file.ok() && from_bytes.ok());
    ASSERT_EQ(from_file->size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ((*from_file)[i].date, (*from_bytes)[i].date);
        EXPECT_EQ((*from_file)[i].open, (*from_bytes)[i].open);
        EXPECT_EQ((*from_file)[i].volume, (*from_bytes)[i].volume);
    }

    TempFile empty(Bytes{});
    auto e = parse_daily_bar_file(empty.path(), 0.01);
    ASSERT_TRUE(e.ok());
    EXPECT_TRUE(e->empty());

    b.pop_back();
    TempFile cut(b);
    auto c = parse_daily_bar_file(cut.path(), 0.01);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error().display(), "Invalid data: Daily bar file size 63 is not a multiple of 32");
}
