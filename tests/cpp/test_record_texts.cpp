// Date and time texts in records are zero-padded to a minimum width and never cut.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "body_builder.hpp"
#include "constants.hpp"
#include "protocol/parse_common.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

TEST(RecordTexts, PaddingIsAMinimumWidthAndHoursKeepEveryDigit) {
    struct Case { uint64_t v; size_t width; std::string prefix, want; };
    const Case cases[] = {{0, 2, "", "00"},     {7, 2, "", "07"},     {123, 2, "", "123"},
                          {5, 4, "", "0005"},   {0, 0, "", "0"},      {9, 2, "2024-", "2024-09"},
                          {std::numeric_limits<uint64_t>::max(), 1, "", "18446744073709551615"}};
    for (const auto& c : cases) {
        std::string s = c.prefix;
        detail::append_padded(s, c.v, c.width);
        EXPECT_EQ(s, c.want) << c.v << " width " << c.width;
    }
    EXPECT_EQ(detail::hhmm(0), "00:00");
    EXPECT_EQ(detail::hhmm(570), "09:30");
    EXPECT_EQ(detail::hhmm(65535), "1092:15");
}

TEST(RecordTexts, BarDatetimes) {
    // Daily: a yyyymmdd u32. Intraday: v = (2024 - 2004) << 11 | (1 * 100 + 31) and
    // m = 65535 minutes, an hour beyond 99.
    BodyBuilder daily, intraday;
    daily.u16(1);
    daily.u32(20240105);
    intraday.u16(1);
    intraday.u16(static_cast<uint16_t>((20 << 11) | 131));
    intraday.u16(65535);
    for (auto* b : {&daily, &intraday})
        for (int i = 0; i < 12; ++i) b->u8(0);  // four zero price differences, vol and amount 0.0
    auto d = parse_security_bars(daily, KLINE_DAILY);
    auto m = parse_security_bars(intraday, KLINE_5MIN);
    ASSERT_TRUE(d.ok() && m.ok());
    ASSERT_EQ(d->size(), 1u);
    ASSERT_EQ(m->size(), 1u);
    EXPECT_EQ((*d)[0].datetime, "2024-01-05");
    EXPECT_EQ((*m)[0].datetime, "2024-01-31 1092:15");
    EXPECT_EQ((*m)[0].hour, 1092u);
}
