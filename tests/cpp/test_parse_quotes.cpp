#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

namespace {

BodyBuilder header(uint16_t count) {
    BodyBuilder b;
    b.raw({0xb1, 0xcb}).u16(count);
    return b;
}

// One whole record; `levels` limits the bid/ask table so a test can cut the body there.
void quote_record(BodyBuilder& b, uint8_t market, const std::string& code, int64_t raw_time = 14302541,
                  int levels = 5, bool tail = true) {
    b.u8(market).text(code).u16(0x0102);
    b.raw({0xa8, 0x0f});  // P = 1000
    b.raw({0x4a});        // last close  -10
    b.raw({0x05});        // open        +5
    b.raw({0x14});        // high        +20
    b.raw({0x4f});        // low         -15
    b.vi(raw_time);
    b.raw({0x07});                               // reversed_bytes1
    b.raw({0xb9, 0xc0, 0x01});                   // vol 12345
    b.raw({0xa4, 0x01});                         // cur_vol 100
    b.raw({0x00, 0x50, 0xc3, 0x47});             // amount 100000.0
    b.raw({0x98, 0x09}).raw({0xbc, 0x0a});       // s_vol 600, b_vol 700
    b.raw({0x02, 0x03});                         // reversed_bytes2, 3
    for (int level = 1; level <= levels; ++level)
        b.vi(-level).vi(level).vi(10 * level).vi(10 * level + 1);
    if (!tail) return;
    b.u16(0x1234);
    b.raw({0x05, 0x06, 0x07, 0x08});
    b.raw({0xfe, 0xff});  // i16 -2
    b.u16(0x0304);
}

}  // namespace

TEST(SecurityQuotes, WholeRecord) {
    BodyBuilder b = header(1);
    quote_record(b, 1, "600000");
    auto r = parse_security_quotes(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 1u);
    const SecurityQuote& q = (*r)[0];
    EXPECT_EQ(q.market, 1);
    EXPECT_EQ(q.code, "600000");
    EXPECT_EQ(q.active1, 0x0102);
    EXPECT_DOUBLE_EQ(q.price, 10.0);
    EXPECT_DOUBLE_EQ(q.last_close, 9.9);
    EXPECT_DOUBLE_EQ(q.open, 10.05);
    EXPECT_DOUBLE_EQ(q.high, 10.2);
    EXPECT_DOUBLE_EQ(q.low, 9.85);
    EXPECT_EQ(q.reversed_bytes0, 14302541u);
    EXPECT_EQ(q.servertime, "14:30:2541");
    EXPECT_EQ(q.reversed_bytes1, 7u);
    EXPECT_EQ(q.vol, 12345.0);
    EXPECT_EQ(q.cur_vol, 100.0);
    EXPECT_EQ(q.amount, 100000.0);
    EXPECT_EQ(q.s_vol, 600.0);
    EXPECT_EQ(q.b_vol, 700.0);
    EXPECT_EQ(q.reversed_bytes2, 2u);
    EXPECT_EQ(q.reversed_bytes3, 3u);
    EXPECT_DOUBLE_EQ(q.bid1, 9.99);
    EXPECT_DOUBLE_EQ(q.ask1, 10.01);
    EXPECT_DOUBLE_EQ(q.bid5, 9.95);
    EXPECT_DOUBLE_EQ(q.ask5, 10.05);
    EXPECT_EQ(q.bid_vol1, 10.0);
    EXPECT_EQ(q.ask_vol1, 11.0);
    EXPECT_EQ(q.bid_vol3, 30.0);
    EXPECT_EQ(q.ask_vol5, 51.0);
    EXPECT_EQ(q.reversed_bytes4, 0x1234u);
    EXPECT_EQ(q.reversed_bytes5, 5u);
    EXPECT_EQ(q.reversed_bytes8, 8u);
    EXPECT_EQ(q.reversed_bytes9, -2);
    EXPECT_EQ(q.active2, 0x0304);
}

TEST(SecurityQuotes, CoefficientPerRecord) {
    BodyBuilder b = header(2);
    quote_record(b, 1, "510300");
    quote_record(b, 1, "600000");
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_DOUBLE_EQ((*r)[0].price, 1.0);
    EXPECT_DOUBLE_EQ((*r)[0].last_close, 0.99);
    EXPECT_DOUBLE_EQ((*r)[1].price, 10.0);
    EXPECT_DOUBLE_EQ((*r)[1].last_close, 9.9);
    EXPECT_EQ((*r)[1].active2, 0x0304);
}

TEST(SecurityQuotes, ServerTimeText) {
    const std::pair<int64_t, const char*> cases[] = {
        {0, "reversed_bytes0:0"}, {9302541, "9302541"}, {14302541, "14:30:2541"}, {143025410, "143:02:5410"},
    };
    for (auto [raw, text] : cases) {
        BodyBuilder b = header(1);
        quote_record(b, 0, "000001", raw);
        auto r = parse_security_quotes(b);
        ASSERT_EQ(r->size(), 1u);
        EXPECT_EQ((*r)[0].servertime, text) << raw;
    }
    // A negative varint is written as its unsigned 64-bit value; the field keeps the low 32 bits.
    BodyBuilder b = header(1);
    quote_record(b, 0, "000001", -1);
    auto r = parse_security_quotes(b);
    EXPECT_EQ((*r)[0].servertime, "18446744073709:55:1615");
    EXPECT_EQ((*r)[0].reversed_bytes0, 0xffffffffu);
}

TEST(SecurityQuotes, CodeFieldText) {
    BodyBuilder b = header(2);
    quote_record(b, 0, std::string("00001\0", 6));
    quote_record(b, 0, std::string("\0" "00001", 6));
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 2u);
    EXPECT_EQ((*r)[0].code, "00001");
    EXPECT_EQ((*r)[1].code, std::string("\0" "00001", 6));
}

TEST(SecurityQuotes, RecordCutAfterLevelThree) {
    BodyBuilder b = header(2);
    quote_record(b, 1, "600000", 14302541, 3, false);
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 1u);
    const SecurityQuote& q = (*r)[0];
    EXPECT_DOUBLE_EQ(q.bid3, 9.97);
    EXPECT_EQ(q.ask_vol3, 31.0);
    EXPECT_DOUBLE_EQ(q.bid4, 10.0);
    EXPECT_DOUBLE_EQ(q.ask4, 10.0);
    EXPECT_DOUBLE_EQ(q.bid5, 10.0);
    EXPECT_DOUBLE_EQ(q.ask5, 10.0);
    EXPECT_EQ(q.bid_vol4, 0.0);
    EXPECT_EQ(q.ask_vol5, 0.0);
    EXPECT_EQ(q.reversed_bytes4, 0u);
    EXPECT_EQ(q.reversed_bytes5, 0u);
    EXPECT_EQ(q.reversed_bytes9, 0);
    EXPECT_EQ(q.active2, 0);
}

TEST(SecurityQuotes, PriceCutOff) {
    // 30 bytes: the header fields, then a price varint that never ends.
    BodyBuilder b = header(1);
    b.u8(1).text("600000").u16(5);
    for (int i = 0; i < 21; ++i) b.u8(0x80);
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 1u);
    const SecurityQuote& q = (*r)[0];
    EXPECT_EQ(q.active1, 5);
    EXPECT_EQ(q.price, 0.0);
    EXPECT_EQ(q.bid1, 0.0);
    EXPECT_EQ(q.servertime, "reversed_bytes0:0");
}

TEST(SecurityQuotes, AmountCutShort) {
    // Everything up to cur_vol, then only 3 bytes of amount: amount and what follows are 0.
    BodyBuilder b = header(1);
    b.u8(1).text("600000").u16(0).raw({0xa8, 0x0f, 0x4a, 0x05, 0x14, 0x4f, 0x07, 0x07, 0x09});
    b.raw({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00});  // cur_vol 1 in nine bytes
    b.raw({0x00, 0x50, 0xc3});
    ASSERT_GE(b.size() - 4, 30u);
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ((*r)[0].cur_vol, 1.0);
    EXPECT_EQ((*r)[0].amount, 0.0);
    EXPECT_EQ((*r)[0].s_vol, 0.0);
    EXPECT_DOUBLE_EQ((*r)[0].bid1, 10.0);
}

TEST(SecurityQuotes, CountsAndShortBodies) {
    BodyBuilder four = header(1);
    EXPECT_TRUE(parse_security_quotes(four)->empty());

    BodyBuilder zero = header(0);
    quote_record(zero, 1, "600000");
    EXPECT_TRUE(parse_security_quotes(zero)->empty());

    // 29 bytes after a whole record start nothing.
    BodyBuilder tail = header(2);
    quote_record(tail, 1, "600000");
    tail.zeros(29);
    EXPECT_EQ(parse_security_quotes(tail)->size(), 1u);

    BodyBuilder three;
    three.raw({0, 0, 1});
    auto r = parse_security_quotes(three);
    ASSERT_FALSE(r.ok());
    EXPECT_TRUE(r.error().is_coded(2103));
    EXPECT_EQ(r.error().coded_error().message, "body too short");
}
