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
    for (uint32_t v : {date, open, high, low, close}) put_u32(b, v);
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
