// Fund-code validation and classification by market and prefix.
#include <gtest/gtest.h>

#include "fund/constants.hpp"
#include "fund/types.hpp"
#include "fund/utils.hpp"

using namespace quotix;
using namespace quotix::fund;

TEST(FundValidate, PrefixesPerMarket) {
    struct Case { uint8_t market; const char* code; const char* refusal; };  // nullptr: a fund
    const Case cases[] = {
        {1, "500001", nullptr}, {1, "510300", nullptr}, {1, "50", nullptr},
        {1, "51xyzw-too-long", nullptr},  // only two bytes are looked at
        {0, "150001", nullptr}, {0, "161005", nullptr}, {0, "16", nullptr},
        {0, "510300", "0:510300 is not a fund"}, {1, "159919", "1:159919 is not a fund"},
        {2, "159919", "2:159919 is not a fund"}, {1, "5", "1:5 is not a fund"}, {1, "", "1: is not a fund"},
        {255, "510300", "255:510300 is not a fund"}, {1, "600519", "1:600519 is not a fund"},
        {1, "５１０３００", "1:５１０３００ is not a fund"},  // full-width digits are not the ASCII prefix
    };
    for (const Case& c : cases)
        EXPECT_EQ(validate_fund_code(c.market, c.code).value_or("fund"), c.refusal ? c.refusal : "fund") << c.code;
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
        {"600519", FundType::Other, FundType::Other},    {"159", FundType::Other, FundType::ETF},  // three bytes are enough
        // Short or non-ASCII codes.
        {"", FundType::Other, FundType::Other},          {"51", FundType::Other, FundType::Other},
        {"15", FundType::Other, FundType::Other},        {"５１０３００", FundType::Other, FundType::Other},
        {"１５９９１９", FundType::Other, FundType::Other},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(classify_fund(1, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(0, r.code), r.sz) << r.code;
        // Beijing and unknown markets only see the Shanghai prefixes.
        EXPECT_EQ(classify_fund(2, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(9, r.code), r.sh) << r.code;
    }
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
    info.code = "159919", info.name = "沪深300ETF", info.pre_close = 3.912, info.volunit = 100, info.decimal_point = 3;
    const FundInfo f = FundInfo::from_security_info(info, 0);
    EXPECT_EQ(f.fund_type, FundType::ETF);  // classified for the market given
    EXPECT_EQ(f.market, 0);
    EXPECT_EQ(f.name, "沪深300ETF");
    EXPECT_EQ(f.vol_unit, 100);
    EXPECT_EQ(f.decimal_point, 3);

    SecurityQuote q;
    q.market = 1, q.code = "510300", q.bid5 = 3.85, q.ask_vol5 = 1200, q.servertime = "14:59:59.000";
    const FundQuote fq = FundQuote::from_security_quote(q);
    EXPECT_EQ(fq.code, "510300");
    EXPECT_EQ(fq.bid5, 3.85);
    EXPECT_EQ(fq.ask_vol5, 1200);
    EXPECT_EQ(fq.servertime, "14:59:59.000");
}
