// Rules by market, code and clock: price units, fund codes, block bar limits, the trading phase and
// the exchange's date.
#include <gtest/gtest.h>

#include <string>

#include "async/trading_phase.hpp"
#include "block/client.hpp"
#include "core/constants.hpp"
#include "client_fixture.hpp"
#include "fund/client.hpp"
#include "fund/types.hpp"
#include "fund/utils.hpp"
#include "protocol/coefficient.hpp"
#include "record_text.hpp"

using namespace quotix;
using namespace quotix::fund;
using std::chrono::milliseconds;
using testutil::fields;

TEST(SecurityCoefficient, ByMarketAndPrefix) {
    struct Case { uint8_t market; const char* code; double expected; };
    const Case cases[] = {
        {0, "000001", 0.01},   {0, "159915", 0.001}, {0, "128130", 0.0001}, {0, "100213", 0.0001},
        {0, "131810", 0.0001}, {0, "900901", 0.01},  {0, "1", 0.01},        {1, "600000", 0.01},
        {1, "900901", 0.001},  {1, "510300", 0.001}, {1, "519674", 0.00001}, {1, "113001", 0.0001},
        {1, "6", 0.01},        {2, "159915", 0.01},
    };
    for (const auto& c : cases) EXPECT_EQ(get_security_coefficient(c.market, c.code), c.expected) << c.code;
}

TEST(FundRules, ValidateAndClassify) {
    struct Check { uint8_t market; const char* code; const char* refusal; };  // nullptr: a fund
    const Check checks[] = {
        {1, "510300", nullptr}, {1, "50", nullptr}, {0, "161005", nullptr}, {0, "510300", "0:510300 is not a fund"},
        {2, "159919", "2:159919 is not a fund"}, {1, "5", "1:5 is not a fund"},
    };
    for (const Check& c : checks)
        EXPECT_EQ(validate_fund_code(c.market, c.code).value_or("fund"), c.refusal ? c.refusal : "fund") << c.code;
    // Every market sees the Shanghai prefixes; only Shenzhen sees its own.
    using enum FundType;
    struct Row { const char* code; FundType sh, sz; };
    const Row rows[] = {{"508000", REITs, REITs}, {"512880", ETF, ETF},       {"511880", Bond, Bond},
                        {"502010", LOF, LOF},     {"506001", ETF, ETF},         {"517090", ETF, ETF},
                        {"518880", ETF, ETF},     {"519001", OpenEnd, OpenEnd}, {"159919", Other, ETF},
                        {"161005", Other, LOF},   {"164906", Other, Structured}, {"514000", Other, Other},
                        {"15", Other, Other}};
    for (const Row& r : rows) {
        EXPECT_EQ(classify_fund(1, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(2, r.code), r.sh) << r.code;
        EXPECT_EQ(classify_fund(0, r.code), r.sz) << r.code;
    }
    SecurityInfo info;
    info.code = "159919";
    EXPECT_EQ(FundInfo::from_security_info(info, 0).fund_type, FundType::ETF);  // classified for the market given
    // The fund client refuses a code that is no fund before any request.
    TdxHqFundClient client(quotix::testing::loopback_seams({}));
    EXPECT_EQ(client.get_fund_history_minute_time_data(0, "510300", 20240628).error().display(),
              "[E1103] fund code not supported in this context: Invalid fund code: 0:510300 is not a fund");
    std::string names;
    for (int t = 0; t <= 7; ++t)
        names += std::string(fund_type_name(FundType(t))) + " " + std::string(fund_type_name_zh(FundType(t))) + "|";
    EXPECT_EQ(names, "ETF 交易型开放式指数基金|LOF 上市型开放式基金|REITs 不动产投资信托基金|Structured 分级基金|"
                     "OpenEnd 开放式基金|Bond 债券基金|Money 货币基金|Other 其他|");
}

TEST(BlockLimits, DefaultForZeroClampsSilentlyAndRefusesOneMinute) {
    struct Case { uint8_t category; uint16_t asked, effective; };
    const Case cases[] = {{0, 0, 50}, {3, 0, 200}, {4, 0, 100}, {0, 500, 200}, {3, 1000, 800}, {4, 300, 300}};
    for (const Case& c : cases) EXPECT_EQ(block::effective_count(c.category, c.asked), c.effective) << int(c.category);
    EXPECT_TRUE(block::check_category(9).ok() && !block::check_category(7).ok() && !block::check_category(8).ok());
}

// Times are UTC; the exchange keeps UTC+8, so 09:30-15:00 there is 01:30-07:00 here and its Saturday
// starts on Friday 16:00 UTC. Each phase has its request rate, spaced in whole milliseconds up to 200 a second.
TEST(TradingPhase, SessionWeekendAndRate) {
    constexpr int64_t WED = 1719360000;  // 2024-06-26 00:00:00 UTC
    constexpr int64_t FRI = WED + 2 * 86400, SUN = WED + 4 * 86400;
    const std::pair<int64_t, const char*> cases[] = {
        {WED + 5400, "trading"}, {WED + 25200, "trading"}, {WED + 5399, "prepost"}, {WED + 25201, "prepost"},
        {FRI + 57599, "prepost"}, {FRI + 57600, "closed"}, {SUN + 57599, "closed"}, {SUN + 57600, "prepost"},
    };
    for (const auto& [t, phase] : cases) EXPECT_EQ(net::detect_trading_phase(t), phase) << t;
    EXPECT_EQ(fields(*net::phase_rps("trading"), *net::phase_rps("prepost"), *net::phase_rps("closed")), "50 100 200");
    EXPECT_FALSE(net::phase_rps("Trading"));
    const std::pair<uint32_t, int> rates[] = {{0, 0}, {3, 333}, {200, 5}, {UINT32_MAX, 5}};
    for (auto [rps, ms] : rates) EXPECT_EQ(net::interval_for_rps(rps), milliseconds(ms)) << rps;
}

TEST(ExchangeDate, TodayIsTheDateAtUtcPlus8) {
    // Seconds since 1970 of 16:00 UTC on 2026-12-31, 2000-02-28 and 2100-02-28 (no leap day in 2100).
    EXPECT_EQ(yyyymmdd_at(1798732800), 20270101u);
    EXPECT_EQ(yyyymmdd_at(1798732800 - 1), 20261231u);
    EXPECT_EQ(yyyymmdd_at(951753600), 20000229u);
    EXPECT_EQ(yyyymmdd_at(4107513600), 21000301u);
    EXPECT_EQ(max_valid_year_at(1780272000), 2036u);  // 2026-06-01
    // A clock before 1970 counts as 1970.
    EXPECT_EQ(yyyymmdd_at(-1), 19700101u);
    EXPECT_EQ(max_valid_year_at(-1), 1980u);
}
