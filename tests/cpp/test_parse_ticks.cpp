#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {
std::string text(const TickData& t) { return testutil::fields(t.time, t.price, t.vol, t.num, t.buyorsell, t.reserved); }
BodyBuilder announced(uint16_t count) {
    BodyBuilder b;
    b.u16(count);
    return b;
}
// History bodies start with a count that is ignored and four more header bytes.
BodyBuilder history() {
    BodyBuilder b;
    b.raw({0, 0, 0, 0, 0, 0});
    return b;
}
}  // namespace

TEST(LiveTicks, CompleteTicks) {
    BodyBuilder b = announced(2);
    b.u16(570).raw({0xa8, 0x0f}).raw({0x32, 0x03, 0x01, 0x00});  // 09:30, +1000, vol 50, num 3, sell 1
    b.u16(571).raw({0x45}).raw({0x0a, 0x02, 0x00, 0x81, 0x01});  // 09:31, -5, vol 10, num 2, buy 0, 65
    auto r = parse_transaction_data_with_coefficient(b, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(text((*r)[0]), "09:30 10 50 3 1 0");
    EXPECT_EQ(text((*r)[1]), "09:31 9.95 10 2 0 65");
}

// The list ends with the count or with the data, whichever comes first: no invented "00:00" ticks.
TEST(LiveTicks, NoTicksPastTheDataOrTheCount) {
    const std::pair<BodyBuilder, size_t> cases[] = {
        {announced(3).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00}), 1},
        {announced(2), 0},
        {announced(65535), 0},
        {announced(1).u16(570).raw({1, 1, 1, 1, 1}).u16(571).raw({1, 1, 1, 1, 1}), 1},
        {announced(0).u16(570).raw({1, 1, 1, 1, 1}), 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto r = parse_transaction_data_with_coefficient(cases[i].first, 0.01);
        ASSERT_TRUE(r.ok());
        ASSERT_EQ(r->size(), cases[i].second) << "case " << i;
        if (!r->empty()) {
            EXPECT_EQ((*r)[0].time, "09:30");
        }
    }
}

TEST(LiveTicks, TickCutShortEndsTheList) {
    // The second tick ends after its price difference: it is kept with zeros and ends the list.
    auto r = parse_transaction_data_with_coefficient(
        announced(5).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00}).u16(572).raw({0x05, 0x81}), 0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(text((*r)[1]), "09:32 10.05 0 0 0 0");

    // A price difference cut off is not added; a lone byte gives time 00:00.
    r = parse_transaction_data_with_coefficient(announced(5).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00}).u8(0x3a),
                                                0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(text((*r)[1]), "00:00 10 0 0 0 0");
}

TEST(HistoryTicks, ReadsUntilTheBodyEnds) {
    BodyBuilder b = history();
    b.u16(600).raw({0xa8, 0x0f}).raw({0x32, 0x01, 0x07});
    b.u16(601).raw({0x41, 0x02, 0x00, 0x00});
    auto r = parse_history_transaction_data_with_coefficient(b, 0.001);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ(text((*r)[0]), "10:00 1 50 0 1 7");
    EXPECT_EQ(text((*r)[1]), "10:01 0.999 2 0 0 0");
}

// The shortest complete tick is 6 bytes: a 12-byte body holds one, and a final 6-byte tick counts.
TEST(HistoryTicks, SixByteTicksAreRead) {
    BodyBuilder twelve = history().u16(570).raw({0x05, 0x01, 0x00, 0x00});
    ASSERT_EQ(twelve.size(), 12u);
    auto r = parse_history_transaction_data_with_coefficient(twelve, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(text((*r)[0]), "09:30 0.05 1 0 0 0");

    r = parse_history_transaction_data_with_coefficient(history().u16(570).raw({0x05, 0x01, 0x00, 0x81, 0x01}), 0.01);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].reserved, 65u);

    r = parse_history_transaction_data_with_coefficient(
        history().u16(570).raw({0x05, 0x01, 0x00, 0x00}).u16(571).raw({0x05, 0x01, 0x00, 0x00}), 0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_DOUBLE_EQ((*r)[1].price, 0.1);

    EXPECT_TRUE(parse_history_transaction_data_with_coefficient(history().zeros(5), 0.01)->empty());

    // Six bytes whose varints run off the end: one tick with the values that were read.
    r = parse_history_transaction_data_with_coefficient(history().u16(570).raw({0x05, 0x81, 0x80, 0x80}), 0.01);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(text((*r)[0]), "09:30 0.05 0 0 0 0");
}
