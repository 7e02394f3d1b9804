#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::BodyBuilder;

using testutil::fields;

namespace {

void list_entry(BodyBuilder& b, const std::string& code, std::initializer_list<int> name8) {
    b.text(code).u16(100).raw(name8).raw({0xaa, 0xbb, 0xcc, 0xdd}).u8(2).raw({0x00, 0x00, 0xc8, 0x42}).zeros(4);
}

std::string text(const MinuteTimePrice& m) { return fields(m.time, m.price, m.vol, m.avg_price); }

// A minute-time body: six header bytes, then the records.
std::vector<uint8_t> minutes(std::initializer_list<uint8_t> records) {
    std::vector<uint8_t> b(6 + records.size(), 0);
    std::copy(records.begin(), records.end(), b.begin() + 6);
    return b;
}

}  // namespace

TEST(SecurityList, EntriesAndCounts) {
    BodyBuilder b;
    b.u16(2);
    list_entry(b, "000001", {0xc6, 0xbd, 0xb0, 0xb2, 0xd2, 0xf8, 0xd0, 0xd0});
    list_entry(b, std::string("88\xff" "001", 6), {0xef, 0xbb, 0xbf, 0x41, 0x42, 0x00, 0x00, 0x00});
    auto r = parse_security_list(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const SecurityInfo& e = (*r)[i];
        EXPECT_EQ(fields(e.code, e.volunit, e.name, e.decimal_point, e.pre_close),
                  i == 0 ? "000001 100 平安银行 2 100" : "88\xef\xbf\xbd" "001 100 AB 2 100");
    }

    // Five announced, three whole and a partial one present.
    BodyBuilder partial;
    partial.u16(5);
    for (int i = 0; i < 3; ++i) list_entry(partial, "600000", {0x41, 0, 0, 0, 0, 0, 0, 0});
    partial.zeros(11);
    ASSERT_EQ(parse_security_list(partial)->size(), 3u);
    BodyBuilder zero;
    zero.u16(0);
    list_entry(zero, "600000", {0x41, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(parse_security_list(zero)->empty());
}

TEST(MinuteTime, RunningPriceAndAverageNewestFirst) {
    auto m = parse_history_minute_time_data(minutes({0x0a, 0x00, 0x05, 0x01, 0x00, 0x03}), 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(text(m[0]), "09:32 0.11 3 0.10375");
    EXPECT_EQ(text(m[1]), "09:31 0.1 5 0.1");

    // The coefficient follows market and code; with no volume yet the average is the price itself.
    m = parse_history_minute_time_data(minutes({0xa8, 0x0f, 0x00, 0x00}), 1, "510300");
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(text(m[0]), "09:31 1 0 1");
}

TEST(MinuteTime, LabelsOfTheDay) {
    BodyBuilder b;
    b.zeros(6 + 241 * 3);
    auto m = parse_history_minute_time_data(b, 0, "000001");
    ASSERT_EQ(m.size(), 241u);
    // Newest first: index k of the list is record 240 - k.
    const std::pair<size_t, const char*> labels[] = {{0, "15:01"}, {1, "15:00"}, {120, "13:01"}, {121, "11:30"}, {240, "09:31"}};
    for (auto [k, time] : labels) EXPECT_EQ(m[k].time, time) << k;
}

TEST(MinuteTime, CutShortRecordsEndTheList) {
    auto m = parse_history_minute_time_data(minutes({0x0a, 0x00, 0x05, 0x81}), 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(text(m[0]), "09:32 0.1 0 0.1");  // running price unchanged

    m = parse_history_minute_time_data(minutes({0x0a, 0x00, 0x05, 0x01, 0x00}), 1, "600000");
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(text(m[0]), "09:32 0.11 0 0.1");  // its price difference was complete

    EXPECT_TRUE(parse_history_minute_time_data(std::vector<uint8_t>(6, 0), 1, "600000").empty());
    EXPECT_TRUE(parse_history_minute_time_data({}, 1, "600000").empty());
}
