#include <gtest/gtest.h>

#include "body_builder.hpp"
#include "protocol/parsers.hpp"

using namespace quotix;
using testutil::BodyBuilder;

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

    const XdXrInfo& x = (*r)[0];
    EXPECT_EQ(std::vector<uint32_t>({x.year, x.month, x.day, x.category}), std::vector<uint32_t>({2024, 1, 31, 1}));
    EXPECT_EQ(x.name, "除权除息");
    EXPECT_EQ(x.fenhong, 1.5);
    EXPECT_EQ(x.peigujia, 0.0);
    EXPECT_EQ(x.songzhuangu, 3.0);
    EXPECT_EQ(x.peigu, 0.0);
    EXPECT_FALSE(x.suogu || x.xingquanjia || x.fenshu || x.panqianliutong || x.qianzongguben ||
                 x.panhouliutong || x.houzongguben);

    EXPECT_EQ((*r)[1].suogu, 0.5);
    EXPECT_FALSE((*r)[1].fenhong || (*r)[1].xingquanjia || (*r)[1].panqianliutong);

    EXPECT_EQ((*r)[2].xingquanjia, 4.25);
    EXPECT_EQ((*r)[2].fenshu, 12.0);
    EXPECT_FALSE((*r)[2].suogu || (*r)[2].fenhong);

    EXPECT_EQ((*r)[3].panqianliutong, 100.0);
    EXPECT_EQ((*r)[3].qianzongguben, 2.0);
    EXPECT_EQ((*r)[3].panhouliutong, 0.5);
    EXPECT_EQ((*r)[3].houzongguben, 0.0);
    EXPECT_FALSE((*r)[3].fenhong || (*r)[3].suogu);

    EXPECT_EQ((*r)[4].category, 20u);
    EXPECT_EQ((*r)[4].panqianliutong, 1024.0);
    EXPECT_TRUE((*r)[4].houzongguben.has_value());

    EXPECT_EQ((*r)[5].month, 13u);
    EXPECT_EQ((*r)[5].suogu, 0.0);
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
    EXPECT_EQ(f.market, 0);
    EXPECT_EQ(f.code, "000001");
    EXPECT_EQ(f.liutongguben, static_cast<double>(0.1f));  // widened without rounding
    EXPECT_EQ(f.province, 31);
    EXPECT_EQ(f.industry, 44);
    EXPECT_EQ(f.updated_date, 20240131u);
    EXPECT_EQ(f.ipo_date, 19991110u);
    const std::pair<double, double> fields[] = {
        {f.zongguben, 1.0},   {f.guojiagu, 2.0},      {f.hgu, 6.0},             {f.zongzichan, 8.0},
        {f.gudongrenshu, 12.0}, {f.jingzichan, 16.0}, {f.touzishouyu, 21.0},    {f.cunhuo, 24.0},
        {f.weifenpeilirun, 28.0},
        {f.meigujingzichan, 29.0},  // the thirtieth value at offset 141 is dropped
    };
    for (size_t i = 0; i < std::size(fields); ++i) EXPECT_EQ(fields[i].first, fields[i].second) << "field " << i;
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
