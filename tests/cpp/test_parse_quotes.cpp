#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::BodyBuilder;
using testutil::fields;

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

TEST(SecurityQuotes, WholeRecordsWithTheirOwnCoefficient) {
    BodyBuilder b = header(2);
    quote_record(b, 1, "600000");
    quote_record(b, 1, "510300");
    auto r = parse_security_quotes(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 2u);
    const SecurityQuote& q = (*r)[0];
    EXPECT_EQ(fields(q.market, q.code, q.active1, q.price, q.last_close, q.open, q.high, q.low, q.reversed_bytes0,
                     q.servertime, q.reversed_bytes1),
              "1 600000 258 10 9.9 10.05 10.2 9.85 14302541 14:30:2541 7");
    EXPECT_EQ(fields(q.vol, q.cur_vol, q.amount, q.s_vol, q.b_vol, q.reversed_bytes2, q.reversed_bytes3),
              "12345 100 100000 600 700 2 3");
    EXPECT_EQ(fields(q.bid1, q.ask1, q.bid_vol1, q.ask_vol1, q.bid3, q.bid_vol3, q.bid5, q.ask5, q.ask_vol5),
              "9.99 10.01 10 11 9.97 30 9.95 10.05 51");
    EXPECT_EQ(fields(q.reversed_bytes4, q.reversed_bytes5, q.reversed_bytes8, q.reversed_bytes9, q.active2),
              "4660 5 8 -2 772");
    EXPECT_EQ(fields((*r)[1].price, (*r)[1].last_close, (*r)[1].active2), "1 0.99 772");
}

TEST(SecurityQuotes, ServerTimeAndCodeText) {
    // A negative varint is written as its unsigned 64-bit value; the field keeps the low 32 bits.
    const std::pair<int64_t, const char*> cases[] = {
        {0, "reversed_bytes0:0"}, {9302541, "9302541"}, {14302541, "14:30:2541"}, {143025410, "143:02:5410"},
        {-1, "18446744073709:55:1615"},
    };
    BodyBuilder b = header(std::size(cases));
    for (auto [raw, text] : cases) quote_record(b, 0, "000001", raw);
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ((*r)[i].servertime, cases[i].second);
    EXPECT_EQ((*r)[4].reversed_bytes0, 0xffffffffu);

    BodyBuilder c = header(2);
    quote_record(c, 0, std::string("00001\0", 6));
    quote_record(c, 0, std::string("\0" "00001", 6));
    r = parse_security_quotes(c);
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
    EXPECT_EQ(fields(q.bid3, q.ask_vol3, q.bid4, q.ask4, q.bid5, q.ask5, q.bid_vol4, q.ask_vol5), "9.97 31 10 10 10 10 0 0");
    EXPECT_EQ(fields(q.reversed_bytes4, q.reversed_bytes5, q.reversed_bytes9, q.active2), "0 0 0 0");
}

TEST(SecurityQuotes, PriceOrAmountCutOff) {
    // 30 bytes: the header fields, then a price varint that never ends.
    BodyBuilder b = header(1);
    b.u8(1).text("600000").u16(5);
    for (int i = 0; i < 21; ++i) b.u8(0x80);
    auto r = parse_security_quotes(b);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(fields((*r)[0].active1, (*r)[0].price, (*r)[0].bid1, (*r)[0].servertime), "5 0 0 reversed_bytes0:0");

    // Everything up to cur_vol, then only 3 bytes of amount: amount and what follows are 0.
    BodyBuilder c = header(1);
    c.u8(1).text("600000").u16(0).raw({0xa8, 0x0f, 0x4a, 0x05, 0x14, 0x4f, 0x07, 0x07, 0x09});
    c.raw({0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00});  // cur_vol 1 in nine bytes
    c.raw({0x00, 0x50, 0xc3});
    ASSERT_GE(c.size() - 4, 30u);
    r = parse_security_quotes(c);
    ASSERT_EQ(r->size(), 1u);
    EXPECT_EQ(fields((*r)[0].cur_vol, (*r)[0].amount, (*r)[0].s_vol, (*r)[0].bid1), "1 0 0 10");
}

TEST(SecurityQuotes, CountsAgainstTheBody) {
    BodyBuilder zero = header(0);
    quote_record(zero, 1, "600000");
    EXPECT_TRUE(parse_security_quotes(zero)->empty());
    EXPECT_TRUE(parse_security_quotes(header(1))->empty());
    // 29 bytes after a whole record start nothing.
    BodyBuilder tail = header(2);
    quote_record(tail, 1, "600000");
    tail.zeros(29);
    EXPECT_EQ(parse_security_quotes(tail)->size(), 1u);
}
