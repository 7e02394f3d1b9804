#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::BodyBuilder;
using testutil::fields;

namespace {

BodyBuilder xdxr_header(uint16_t count) {
    BodyBuilder b;
    b.zeros(9).u16(count);
    return b;
}

BodyBuilder& event(BodyBuilder& b, uint32_t date, uint8_t category) {
    return b.u8(0).text("000001").u8(0xee).u32(date).u8(category);
}

}  // namespace

TEST(Xdxr, ValuesByCategory) {
    BodyBuilder b = xdxr_header(6);
    event(b, 20240131, 1).raw({0x00, 0x00, 0xc0, 0x3f}).f32(0.0f).raw({0x00, 0x00, 0x40, 0x40}).f32(0.0f);
    event(b, 20240102, 11).f32(9.0f).f32(9.0f).f32(0.5f).f32(9.0f);
    event(b, 20240103, 13).f32(4.25f).f32(9.0f).f32(12.0f).f32(9.0f);
    event(b, 20240104, 5).raw({0x00, 0x00, 0xc8, 0x42}).raw({0, 0, 0, 0x40}).raw({0, 0, 0, 0x3f}).zeros(4);
    event(b, 20240105, 20).raw({0x00, 0x00, 0x80, 0x44}).zeros(12);
    event(b, 20241301, 12).zeros(16);
    auto r = parse_xdxr_info(b);
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(r->size(), 6u);

    // Date and category, then fenhong, peigujia, songzhuangu, peigu, suogu, xingquanjia, fenshu and the four
    // share counts: "-" where the category has no such value.
    const char* expected[] = {
        "2024 1 31 1 1.5 0 3 0 - - - - - - -",
        "2024 1 2 11 - - - - 0.5 - - - - - -",
        "2024 1 3 13 - - - - - 4.25 12 - - - -",
        "2024 1 4 5 - - - - - - - 100 2 0.5 0",
        "2024 1 5 20 - - - - - - - 1024 0 0 0",
        "2024 13 1 12 - - - - 0 - - - - - -",
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        const XdXrInfo& x = (*r)[i];
        EXPECT_EQ(fields(x.year, x.month, x.day, x.category, x.fenhong, x.peigujia, x.songzhuangu, x.peigu, x.suogu,
                         x.xingquanjia, x.fenshu, x.panqianliutong, x.qianzongguben, x.panhouliutong, x.houzongguben),
                  expected[i]);
    }
    EXPECT_EQ((*r)[0].name, "除权除息");
}

TEST(Xdxr, CategoryNames) {
    const char* expected[] = {"未知", "除权除息", "送配股上市", "非流通股上市", "未知股本变动", "股本变化",
                              "增发新股", "股份回购", "增发新股上市", "转配股上市", "可转债上市", "扩缩股",
                              "非流通股缩股", "送认购权证", "送认沽权证", "未知"};
    BodyBuilder b = xdxr_header(17);
    for (int c = 0; c <= 15; ++c) event(b, 20240101, static_cast<uint8_t>(c)).zeros(16);
    event(b, 20240101, 255).zeros(16);
    auto r = parse_xdxr_info(b);
    ASSERT_EQ(r->size(), 17u);
    for (int c = 0; c <= 15; ++c) EXPECT_EQ((*r)[c].name, expected[c]) << c;
    EXPECT_EQ((*r)[16].name, "未知");
}

TEST(Xdxr, CountsAgainstTheBody) {
    BodyBuilder b = xdxr_header(2);
    event(b, 20240131, 1).zeros(16);
    ASSERT_EQ(b.size(), 40u);
    EXPECT_EQ(parse_xdxr_info(b)->size(), 1u);
    b.zeros(28);  // a partial second event is ignored
    EXPECT_EQ(parse_xdxr_info(b)->size(), 1u);
    BodyBuilder zero = xdxr_header(0);
    event(zero, 20240131, 1).zeros(16);
    EXPECT_TRUE(parse_xdxr_info(zero)->empty());
}

TEST(FinanceInfo, FieldsAtTheirOffsets) {
    BodyBuilder b;
    b.raw({1, 0x36, 0x30, 0x30, 0x30, 0x30, 0x30, 0, 0});  // the body's own market and code
    b.f32(0.1f).u16(31).u16(44).u32(20240131).u32(19991110);
    for (int i = 0; i < 30; ++i) b.f32(static_cast<float>(i + 1));
    ASSERT_EQ(b.size(), 145u);
    auto r = parse_finance_info(b, 0, "000001");
    ASSERT_TRUE(r.ok());
    const FinanceInfo& f = *r;
    EXPECT_EQ(f.liutongguben, static_cast<double>(0.1f));  // widened without rounding
    EXPECT_EQ(fields(f.market, f.code, f.province, f.industry, f.updated_date, f.ipo_date), "0 000001 31 44 20240131 19991110");
    // The thirtieth value at offset 141 is dropped.
    EXPECT_EQ(fields(f.zongguben, f.guojiagu, f.hgu, f.zongzichan, f.gudongrenshu, f.jingzichan, f.touzishouyu, f.cunhuo,
                     f.weifenpeilirun, f.meigujingzichan),
              "1 2 6 8 12 16 21 24 28 29");
}

TEST(BlockInfoMeta, SizeAndHash) {
    BodyBuilder b;
    b.u32(123456).u8(0xff);
    for (int i = 0; i < 32; ++i) b.u8(static_cast<uint8_t>(i));
    b.u8(0xab);
    auto r = parse_block_info_meta(b);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->size, 123456u);
    EXPECT_EQ(r->hash_value, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");

    BodyBuilder hi;
    hi.u32(0xffffffff).u8(0);
    for (int i = 0; i < 32; ++i) hi.u8(static_cast<uint8_t>(0xe0 + i));
    hi.u8(0);
    r = parse_block_info_meta(hi);
    EXPECT_EQ(r->size, 0xffffffffu);
    EXPECT_EQ(r->hash_value, "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
}
