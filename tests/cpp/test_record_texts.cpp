// The date and time texts the parsers write into records: zero-padded to a minimum width, never
// cut, whatever the wire holds.
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

namespace {

std::string padded(uint64_t v, size_t width, std::string prefix = {}) {
    detail::append_padded(prefix, v, width);
    return prefix;
}

}  // namespace

TEST(RecordTexts, PaddingIsAMinimumWidth) {
    EXPECT_EQ(padded(0, 2), "00");
    EXPECT_EQ(padded(7, 2), "07");
    EXPECT_EQ(padded(31, 2), "31");
    EXPECT_EQ(padded(123, 2), "123");
    EXPECT_EQ(padded(5, 4), "0005");
    EXPECT_EQ(padded(2024, 4), "2024");
    EXPECT_EQ(padded(0, 0), "0");
    EXPECT_EQ(padded(std::numeric_limits<uint64_t>::max(), 1), "18446744073709551615");
    EXPECT_EQ(padded(9, 2, "2024-"), "2024-09");  // appends after what is there
}

TEST(RecordTexts, HoursAndMinutes) {
    EXPECT_EQ(detail::hhmm(0), "00:00");
    EXPECT_EQ(detail::hhmm(570), "09:30");
    EXPECT_EQ(detail::hhmm(899), "14:59");
    EXPECT_EQ(detail::hhmm(65535), "1092:15");  // hours beyond 99 keep every digit
}

TEST(RecordTexts, IntradayBarWithAnHourBeyond99) {
    // Packed date: v = (2024 - 2004) << 11 | (1 * 100 + 31), m = 65535 minutes (hour 1092).
    BodyBuilder b;
    b.u16(1);
    b.u16(static_cast<uint16_t>((20 << 11) | 131));
    b.u16(65535);
    for (int i = 0; i < 4; ++i) b.u8(0);  // four zero price differences
    for (int i = 0; i < 8; ++i) b.u8(0);  // vol and amount 0.0
    auto r = parse_security_bars(b, KLINE_5MIN);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].datetime, "2024-01-31 1092:15");
    EXPECT_EQ((*r)[0].hour, 1092u);
}

TEST(RecordTexts, DailyBarDate) {
    BodyBuilder b;
    b.u16(1);
    b.u32(20240105);
    for (int i = 0; i < 12; ++i) b.u8(0);
    auto r = parse_security_bars(b, KLINE_DAILY);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].datetime, "2024-01-05");
}
