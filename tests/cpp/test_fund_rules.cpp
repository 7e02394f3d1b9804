// Fund-code validation and classification by market and prefix.
#include <gtest/gtest.h>

#include "fund/constants.hpp"
#include "fund/types.hpp"
#include "fund/utils.hpp"

using namespace quotix;
using namespace quotix::fund;

TEST(FundValidate, PrefixesPerMarket) {
    for (const char* code : {"500001", "510300", "50"}) EXPECT_FALSE(validate_fund_code(1, code)) << code;
    for (const char* code : {"150001", "161005", "16"}) EXPECT_FALSE(validate_fund_code(0, code)) << code;
    // Only two bytes are looked at.
    EXPECT_FALSE(validate_fund_code(1, "51xyzw-too-long"));
}

TEST(FundValidate, RefusalsCarryMarketAndCode) {
    EXPECT_EQ(validate_fund_code(0, "510300").value_or(""), "0:510300 is not a fund");
    EXPECT_EQ(validate_fund_code(1, "159919").value_or(""), "1:159919 is not a fund");
    EXPECT_EQ(validate_fund_code(2, "159919").value_or(""), "2:159919 is not a fund");
    EXPECT_EQ(validate_fund_code(1, "5").value_or(""), "1:5 is not a fund");
    EXPECT_EQ(validate_fund_code(1, "").value_or(""), "1: is not a fund");
    EXPECT_EQ(validate_fund_code(255, "510300").value_or(""), "255:510300 is not a fund");
    EXPECT_EQ(validate_fund_code(1, "600519").value_or(""), "1:600519 is not a fund");
    // Full-width digits are not the ASCII prefix.
    EXPECT_TRUE(validate_fund_code(1, "５１０３００"));
}

TEST(FundClassify, EveryPrefixRow) {
    struct Row {
        const char* code;
        FundType sh;  // market 1
        FundType sz;  // market 0
    };
    const Row rows[] = {
        {"508000", FundType::REITs, FundType::REITs},    {"510300", FundType::ETF, FundType::ETF},
        {"512880", FundType::ETF, FundType::ETF},        {"513100", FundType::ETF, FundType::ETF},
        {"515000", FundType::ETF, FundType::ETF},        {"516160", FundType::ETF, FundType::ETF},
        {"511880", FundType::Bond, FundType::Bond},      {"501050", FundType::LOF, FundType::LOF},
        {"502010", FundType::LOF, FundType::LOF},        {"506000", FundType::ETF, FundType::ETF},
        {"517000", FundType::ETF, FundType::ETF},        {"518880", FundType::ETF, FundType::ETF},
        {"519001", FundType::OpenEnd, FundType::OpenEnd}, {"159919", FundType::Other, FundType::ETF},
        {"160106", FundType::Other, FundType::LOF},      {"161005", FundType::Other, FundType::LOF},
        {"162411", FundType::Other, FundType::Structured}, {"163402", FundType::Other, FundType::Structured},
        {"164906", FundType::Other, FundType::Structured}, {"165000", FundType::Other, FundType::Other},
        {"500001", FundType::Other, FundType::Other},    {"514000", FundType::Other, FundType::Other},
        {"600519", FundType::Other, FundType::Other},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(classify_fund(1, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(0, r.code), r.sz) << r.code;
        // Beijing and unknown markets only see the Shanghai prefixes.
        EXPECT_EQ(classify_fund(2, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(9, r.code), r.sh) << r.code;
    }
}

TEST(FundClassify, ShortOrNonAsciiCodesAreOther) {
    for (uint8_t m : {0, 1, 2}) {
        EXPECT_EQ(classify_fund(m, ""), FundType::Other);
        EXPECT_EQ(classify_fund(m, "51"), FundType::Other);
        EXPECT_EQ(classify_fund(m, "15"), FundType::Other);
        EXPECT_EQ(classify_fund(m, "５１０３００"), FundType::Other);
        EXPECT_EQ(classify_fund(m, "１５９９１９"), FundType::Other);
    }
    // Three bytes are enough.
    EXPECT_EQ(classify_fund(0, "159"), FundType::ETF);
}

TEST(FundTypeNames, EnglishAndChinese) {
    struct Name {
        FundType t;
        int number;
        const char* en;
        const char* zh;
    };
    const Name names[] = {
        {FundType::ETF, 0, "ETF", "交易型开放式指数基金"},     {FundType::LOF, 1, "LOF", "上市型开放式基金"},
        {FundType::REITs, 2, "REITs", "不动产投资信托基金"},  {FundType::Structured, 3, "Structured", "分级基金"},
        {FundType::OpenEnd, 4, "OpenEnd", "开放式基金"},      {FundType::Bond, 5, "Bond", "债券基金"},
        {FundType::Money, 6, "Money", "货币基金"},            {FundType::Other, 7, "Other", "其他"},
    };
    for (const Name& n : names) {
        EXPECT_EQ(static_cast<int>(n.t), n.number);
        EXPECT_EQ(fund_type_name(n.t), n.en);
        EXPECT_EQ(fund_type_name_zh(n.t), n.zh);
    }
}

TEST(FundRecords, BuiltFromProtocolRecords) {
    SecurityInfo info;
    info.code = "159919";
    info.name = "沪深300ETF";
    info.pre_close = 3.912;
    info.volunit = 100;
    info.decimal_point = 3;
    const FundInfo f = FundInfo::from_security_info(info, 0);
    EXPECT_EQ(f.code, "159919");
    EXPECT_EQ(f.name, "沪深300ETF");
    EXPECT_EQ(f.pre_close, 3.912);
    EXPECT_EQ(f.vol_unit, 100);
    EXPECT_EQ(f.decimal_point, 3);
    EXPECT_EQ(f.fund_type, FundType::ETF);
    EXPECT_EQ(f.market, 0);

    SecurityQuote q;
    q.market = 1;
    q.code = "510300";
    q.price = 3.9;
    q.bid5 = 3.85;
    q.ask_vol5 = 1200;
    q.servertime = "14:59:59.000";
    const FundQuote fq = FundQuote::from_security_quote(q);
    EXPECT_EQ(fq.market, 1);
    EXPECT_EQ(fq.code, "510300");
    EXPECT_EQ(fq.price, 3.9);
    EXPECT_EQ(fq.bid5, 3.85);
    EXPECT_EQ(fq.ask_vol5, 1200);
    EXPECT_EQ(fq.servertime, "14:59:59.000");

    SecurityBar b;
    b.open = 1.5;
    b.minute = 35;
    b.datetime = "2024-03-15 09:35";
    const FundBar fb = FundBar::from_security_bar(b);
    EXPECT_EQ(fb.open, 1.5);
    EXPECT_EQ(fb.minute, 35u);
    EXPECT_EQ(fb.datetime, "2024-03-15 09:35");
}
