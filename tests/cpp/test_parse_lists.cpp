#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {

void list_entry(BodyBuilder& b, const std::string& code, std::initializer_list<int> name8) {
    b.text(code).u16(100).raw(name8).raw({0xaa, 0xbb, 0xcc, 0xdd}).u8(2).raw({0x00, 0x00, 0xc8, 0x42}).zeros(4);
}

}  // namespace

TEST(SecurityList, Entries) {
    BodyBuilder b;
    b.u16(2);
    list_entry(b, "000001", {0xc6, 0xbd, 0xb0, 0xb2, 0xd2, 0xf8, 0xd0, 0xd0});
    list_entry(b, std::string("88\xff" "001", 6), {0xef, 0xbb, 0xbf, 0x41, 0x42, 0x00, 0x00, 0x00});
    auto r = parse_security_list(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].code, "000001");
    EXPECT_EQ((*r)[0].volunit, 100);
    EXPECT_EQ((*r)[0].name, "平安银行");
    EXPECT_EQ((*r)[0].decimal_point, 2);
    EXPECT_EQ((*r)[0].pre_close, 100.0);
    EXPECT_EQ((*r)[1].code, "88\xef\xbf\xbd" "001");
    EXPECT_EQ((*r)[1].name, "AB");
}

TEST(SecurityList, PartialEntryIgnored) {
    BodyBuilder b;
    b.u16(5);
    for (int i = 0; i < 3; ++i) list_entry(b, "600000", {0x41, 0, 0, 0, 0, 0, 0, 0});
    b.zeros(11);
    ASSERT_EQ(b.size(), 100u);
    auto r = parse_security_list(b);
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[2].name, "A");

    BodyBuilder zero;
    zero.u16(0);
    list_entry(zero, "600000", {0x41, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(parse_security_list(zero)->empty());

    BodyBuilder one;
    one.u8(1);
    auto e = parse_security_list(one);
    ASSERT_FALSE(e.ok());
    EXPECT_TRUE(e.error().is_coded(2103));
    EXPECT_EQ(e.error().coded_error().message, "body too short");
}

TEST(MinuteTime, RunningPriceAndAverageNewestFirst) {
    BodyBuilder b;
    b.zeros(6).raw({0x0a, 0x00, 0x05}).raw({0x01, 0x00, 0x03});
    auto m = parse_history_minute_time_data(b, 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[0].time, "09:32");
    EXPECT_DOUBLE_EQ(m[0].price, 0.11);
    EXPECT_EQ(m[0].vol, 3.0);
    EXPECT_DOUBLE_EQ(m[0].avg_price, 0.10375);
    EXPECT_EQ(m[1].time, "09:31");
    EXPECT_DOUBLE_EQ(m[1].price, 0.10);
    EXPECT_EQ(m[1].vol, 5.0);
    EXPECT_DOUBLE_EQ(m[1].avg_price, 0.10);
}

TEST(MinuteTime, CoefficientFromMarketAndCode) {
    BodyBuilder b;
    b.zeros(6).raw({0xa8, 0x0f, 0x00, 0x00});
    auto m = parse_history_minute_time_data(b, 1, "510300");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_DOUBLE_EQ(m[0].price, 1.0);
    EXPECT_DOUBLE_EQ(m[0].avg_price, 1.0);  // no volume yet: the price itself
}

TEST(MinuteTime, LabelsOfTheDay) {
    BodyBuilder b;
    b.zeros(6);
    for (int i = 0; i < 241; ++i) b.raw({0, 0, 0});
    auto m = parse_history_minute_time_data(b, 0, "000001");
    ASSERT_EQ(m.size(), 241u);
    // Newest first: index k of the list is record 240 - k.
    EXPECT_EQ(m[0].time, "15:01");    // record 240
    EXPECT_EQ(m[1].time, "15:00");    // record 239
    EXPECT_EQ(m[120].time, "13:01");  // record 120
    EXPECT_EQ(m[121].time, "11:30");  // record 119
    EXPECT_EQ(m[240].time, "09:31");  // record 0
}

TEST(MinuteTime, CutShortRecordsEndTheList) {
    BodyBuilder price_cut;
    price_cut.zeros(6).raw({0x0a, 0x00, 0x05}).raw({0x81});
    auto m = parse_history_minute_time_data(price_cut, 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_DOUBLE_EQ(m[0].price, 0.10);  // running price unchanged
    EXPECT_EQ(m[0].vol, 0.0);
    EXPECT_DOUBLE_EQ(m[0].avg_price, 0.10);

    BodyBuilder vol_cut;
    vol_cut.zeros(6).raw({0x0a, 0x00, 0x05}).raw({0x01, 0x00});
    m = parse_history_minute_time_data(vol_cut, 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_DOUBLE_EQ(m[0].price, 0.11);  // its price difference was complete
    EXPECT_EQ(m[0].vol, 0.0);

    BodyBuilder six;
    six.zeros(6);
    EXPECT_TRUE(parse_history_minute_time_data(six, 1, "600000").empty());
    EXPECT_TRUE(parse_history_minute_time_data({}, 1, "600000").empty());
}
