#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

TEST(LiveTicks, CompleteTicks) {
    BodyBuilder b;
    b.u16(2);
    b.u16(570).raw({0xa8, 0x0f}).raw({0x32, 0x03, 0x01, 0x00});  // 09:30, +1000, vol 50, num 3, sell 1
    b.u16(571).raw({0x45}).raw({0x0a, 0x02, 0x00, 0x81, 0x01});  // 09:31, -5, vol 10, num 2, buy 0, 65
    auto r = parse_transaction_data_with_coefficient(b, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].time, "09:30");
    EXPECT_DOUBLE_EQ((*r)[0].price, 10.0);
    EXPECT_EQ((*r)[0].vol, 50.0);
    EXPECT_EQ((*r)[0].num, 3u);
    EXPECT_EQ((*r)[0].buyorsell, 1u);
    EXPECT_EQ((*r)[0].reserved, 0u);
    EXPECT_EQ((*r)[1].time, "09:31");
    EXPECT_DOUBLE_EQ((*r)[1].price, 9.95);
    EXPECT_EQ((*r)[1].num, 2u);
    EXPECT_EQ((*r)[1].buyorsell, 0u);
    EXPECT_EQ((*r)[1].reserved, 65u);
}

// More ticks announced than sent: the list ends with the data, no invented "00:00" ticks.
TEST(LiveTicks, NoTicksPastTheData) {
    BodyBuilder b;
    b.u16(3).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00});
    auto r = parse_transaction_data_with_coefficient(b, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].time, "09:30");

    BodyBuilder bare;
    bare.u16(2);
    r = parse_transaction_data_with_coefficient(bare, 0.01);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());

    BodyBuilder most;
    most.u16(65535);
    EXPECT_TRUE(parse_transaction_data_with_coefficient(most, 0.01)->empty());
}

TEST(LiveTicks, CountLimitsTheList) {
    BodyBuilder b;
    b.u16(1).u16(570).raw({0x01, 0x01, 0x01, 0x01, 0x01}).u16(571).raw({0x01, 0x01, 0x01, 0x01, 0x01});
    EXPECT_EQ(parse_transaction_data_with_coefficient(b, 0.01)->size(), 1u);
    BodyBuilder zero;
    zero.u16(0).u16(570).raw({0x01, 0x01, 0x01, 0x01, 0x01});
    EXPECT_TRUE(parse_transaction_data_with_coefficient(zero, 0.01)->empty());
}

TEST(LiveTicks, TickCutShortEndsTheList) {
    // The second tick ends after its price difference: it is kept with zeros and ends the list.
    BodyBuilder b;
    b.u16(5).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00}).u16(572).raw({0x05, 0x81});
    auto r = parse_transaction_data_with_coefficient(b, 0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[1].time, "09:32");
    EXPECT_DOUBLE_EQ((*r)[1].price, 10.05);
    EXPECT_EQ((*r)[1].vol, 0.0);
    EXPECT_EQ((*r)[1].num, 0u);

    // A price difference cut off is not added; a lone byte gives time 00:00.
    BodyBuilder c;
    c.u16(5).u16(570).raw({0xa8, 0x0f, 0x32, 0x03, 0x01, 0x00}).u8(0x3a);
    r = parse_transaction_data_with_coefficient(c, 0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[1].time, "00:00");
    EXPECT_DOUBLE_EQ((*r)[1].price, 10.0);
}

TEST(LiveTicks, BodyTooShort) {
    BodyBuilder one;
    one.u8(3);
    auto r = parse_transaction_data_with_coefficient(one, 0.01);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2103));
    EXPECT_EQ(r.error().coded_error().message, "body too short");
}

TEST(HistoryTicks, ReadsUntilTheBodyEnds) {
    BodyBuilder b;
    b.u16(99).zeros(4);  // the count here is ignored
    b.u16(600).raw({0xa8, 0x0f}).raw({0x32, 0x01, 0x07});
    b.u16(601).raw({0x41, 0x02, 0x00, 0x00});
    auto r = parse_history_transaction_data_with_coefficient(b, 0.001);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].time, "10:00");
    EXPECT_DOUBLE_EQ((*r)[0].price, 1.0);
    EXPECT_EQ((*r)[0].vol, 50.0);
    EXPECT_EQ((*r)[0].num, 0u);
    EXPECT_EQ((*r)[0].buyorsell, 1u);
    EXPECT_EQ((*r)[0].reserved, 7u);
    EXPECT_EQ((*r)[1].time, "10:01");
    EXPECT_DOUBLE_EQ((*r)[1].price, 0.999);
    EXPECT_EQ((*r)[1].vol, 2.0);
}

// The shortest complete tick is 6 bytes: a 12-byte body holds one, and a final 6-byte tick counts.
TEST(HistoryTicks, SixByteTicksAreRead) {
    BodyBuilder twelve;
    twelve.zeros(6).u16(570).raw({0x05, 0x01, 0x00, 0x00});
    ASSERT_EQ(twelve.size(), 12u);
    auto r = parse_history_transaction_data_with_coefficient(twelve, 0.01);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].time, "09:30");
    EXPECT_DOUBLE_EQ((*r)[0].price, 0.05);
    EXPECT_EQ((*r)[0].num, 0u);

    BodyBuilder thirteen;
    thirteen.zeros(6).u16(570).raw({0x05, 0x01, 0x00, 0x81, 0x01});
    r = parse_history_transaction_data_with_coefficient(thirteen, 0.01);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].reserved, 65u);

    BodyBuilder two;
    two.zeros(6).u16(570).raw({0x05, 0x01, 0x00, 0x00}).u16(571).raw({0x05, 0x01, 0x00, 0x00});
    r = parse_history_transaction_data_with_coefficient(two, 0.01);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_DOUBLE_EQ((*r)[1].price, 0.1);
}

TEST(HistoryTicks, ShortBodiesAndCutTicks) {
    BodyBuilder eleven;
    eleven.zeros(11);
    EXPECT_TRUE(parse_history_transaction_data_with_coefficient(eleven, 0.01)->empty());
    BodyBuilder six;
    six.zeros(6);
    EXPECT_TRUE(parse_history_transaction_data_with_coefficient(six, 0.01)->empty());

    BodyBuilder five;
    five.zeros(5);
    auto r = parse_history_transaction_data_with_coefficient(five, 0.01);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2103));
    EXPECT_EQ(r.error().coded_error().message, "body too short");

    // Six bytes whose varints run off the end: one tick with the values that were read.
    BodyBuilder cut;
    cut.zeros(6).u16(570).raw({0x05, 0x81, 0x80, 0x80});
    r = parse_history_transaction_data_with_coefficient(cut, 0.01);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_DOUBLE_EQ((*r)[0].price, 0.05);
    EXPECT_EQ((*r)[0].vol, 0.0);
    EXPECT_EQ((*r)[0].buyorsell, 0u);
}
