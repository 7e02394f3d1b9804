// Local daily, 5-minute and LC minute bar files: 32-byte records built by hand.
#include <gtest/gtest.h>

#include "reader/daily_bar.hpp"
#include "reader/min_bar.hpp"
#include "reader_fixture.hpp"

using namespace quotix;
using namespace quotix::reader;
using namespace fixture;

namespace {

void put_day(Bytes& b, uint32_t date, uint32_t open, uint32_t high, uint32_t low, uint32_t close, float amount,
             uint32_t volume, uint32_t reserved = 0) {
    for (uint32_t v : {date, open, high, low, close}) put_u32(b, v);
    put_f32(b, amount);
    put_u32(b, volume);
    put_u32(b, reserved);
}

constexpr uint16_t MAR_15_2024 = (20 << 11) + 315;

void put_int_bar(Bytes& b, uint16_t date, uint16_t minutes, uint32_t o, uint32_t h, uint32_t l, uint32_t c,
                 float amount, uint32_t volume, uint32_t reserved = 0) {
    put_u16(b, date);
    put_u16(b, minutes);
    for (uint32_t v : {o, h, l, c}) put_u32(b, v);
    put_f32(b, amount);
    put_u32(b, volume);
    put_u32(b, reserved);
}

}  // namespace

TEST(ReaderDailyBar, RecordsInFileOrder) {
    Bytes b;
    put_day(b, 20240315, 1234, 1250, 1200, 1240, 640.5f, 500);
    put_day(b, 20240314, 1000, 1100, 900, 1050, 0.25f, 7, 0xDEADBEEF);  // reserved bytes are ignored
    auto r = parse_daily_bar(b, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].date, "2024-03-15");
    EXPECT_EQ(std::vector<uint32_t>({(*r)[0].year, (*r)[0].month, (*r)[0].day}), std::vector<uint32_t>({2024, 3, 15}));
    expect_values(values((*r)[0]), {12.34, 12.5, 12.0, 12.4, 640.5, 500.0});
    EXPECT_EQ((*r)[1].date, "2024-03-14");
    expect_values(values((*r)[1]), {10.0, 11.0, 9.0, 10.5, 0.25, 7.0});
}

TEST(ReaderDailyBar, CoefficientScalesPricesOnly) {
    Bytes b;
    put_day(b, 20240315, 1234, 2, 4, 8, 3.5f, 12345);
    const std::pair<double, std::vector<double>> cases[] = {
        {0.01, {12.34, 0.02, 0.04, 0.08, 3.5, 12345.0}},
        {0.001, {1.234, 0.002, 0.004, 0.008, 3.5, 12345.0}},
        {0.5, {617.0, 1.0, 2.0, 4.0, 3.5, 12345.0}},
    };
    for (const auto& [coefficient, expected] : cases) {
        auto r = parse_daily_bar(b, coefficient);
        ASSERT_TRUE(r.ok());
        expect_values(values((*r)[0]), expected);
    }
}

TEST(ReaderDailyBar, DateEncodings) {
    struct Case { uint32_t value; const char* date; uint32_t year, month, day; };
    const Case cases[] = {
        {0, "2004-00-00", 2004, 0, 0},
        {(20u << 11) + 315, "2024-03-15", 2024, 3, 15},
        {20240315, "2024-03-15", 2024, 3, 15},
        {100000, "2052-16-96", 2052, 16, 96},  // the last packed value
        {100001, "0010-00-01", 10, 0, 1},      // the first decimal one
        {0xFFFFFFFFu, "429496-72-95", 429496, 72, 95},
    };
    for (const Case& c : cases) {
        Bytes b;
        put_day(b, c.value, 1, 1, 1, 1, 0, 0);
        auto r = parse_daily_bar(b, 1.0);
        ASSERT_TRUE(r.ok());
        EXPECT_EQ((*r)[0].date, c.date);
        EXPECT_EQ(std::vector<uint32_t>({(*r)[0].year, (*r)[0].month, (*r)[0].day}),
                  std::vector<uint32_t>({c.year, c.month, c.day}));
    }
}

TEST(ReaderMinBar, FiveMinuteRecords) {
    Bytes b;
    put_int_bar(b, MAR_15_2024, 575, 1234, 1250, 1200, 1240, 640.5f, 500, 0xFFFFFFFFu);  // reserved ignored
    put_int_bar(b, 0, 0, 0xFFFFFFFFu, 0, 0, 0, 0, 0xFFFFFFFFu);
    put_int_bar(b, MAR_15_2024, 1500, 1, 1, 1, 1, 0, 0);
    put_int_bar(b, 0xFFFF, 65535, 1, 1, 1, 1, 0, 0);
    auto r = parse_min_bar(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 4u);
    const MinBarRecord& m = (*r)[0];
    EXPECT_EQ(m.date, "2024-03-15 09:35");
    // The doubles nearest the decimals, from a division by 100.
    EXPECT_EQ(values(m), (std::vector<double>{12.34, 12.5, 12.0, 12.4, 640.5, 500.0}));
    EXPECT_EQ(std::vector<uint32_t>({m.year, m.month, m.day, m.hour, m.minute}),
              std::vector<uint32_t>({2024, 3, 15, 9, 35}));
    // Extremes pass through unchecked.
    EXPECT_EQ((*r)[1].date, "2004-00-00 00:00");
    EXPECT_DOUBLE_EQ((*r)[1].open, 42949672.95);
    EXPECT_EQ((*r)[1].volume, 4294967295.0);
    EXPECT_EQ((*r)[2].date, "2024-03-15 25:00");
    EXPECT_EQ((*r)[2].hour * 100 + (*r)[2].minute, 2500u);
    // 0xFFFF: year 31 + 2004, 0x7FF = 2047 -> month 20, day 47.
    EXPECT_EQ((*r)[3].date, "2035-20-47 1092:15");
}

TEST(ReaderMinBar, LcRecordKeepsSinglePrecisionValues) {
    Bytes b;
    put_u16(b, MAR_15_2024);
    put_u16(b, 575);
    for (float v : {12.34f, 12.5f, 12.0f, 12.4f, 640.5f}) put_f32(b, v);
    put_u32(b, 500);
    put_u32(b, 0);
    auto r = parse_lc_min_bar(b);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ((*r)[0].date, "2024-03-15 09:35");
    EXPECT_EQ(values((*r)[0]), (std::vector<double>{12.340000152587890625, 12.5, 12.0, 12.3999996185302734375, 640.5, 500.0}));
}
