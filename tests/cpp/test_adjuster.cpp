// Forward and backward adjustment and the factor report, with expected prices worked out by hand.
#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <vector>

#include "protocol/adjuster.hpp"
#include "record_text.hpp"

using namespace quotix;

namespace {

SecurityBar bar(uint32_t yyyymmdd, double open, double close, double high, double low) {
    SecurityBar b;
    b.year = yyyymmdd / 10000, b.month = yyyymmdd / 100 % 100, b.day = yyyymmdd % 100;
    b.open = open, b.close = close, b.high = high, b.low = low;
    return b;
}

SecurityBar flat(uint32_t yyyymmdd, double price) { return bar(yyyymmdd, price, price, price, price); }

XdXrInfo event(uint32_t yyyymmdd, double fenhong, double songzhuangu = 0, double peigu = 0, double peigujia = 0,
               uint32_t category = 1) {
    XdXrInfo e;
    e.year = yyyymmdd / 10000, e.month = yyyymmdd / 100 % 100, e.day = yyyymmdd % 100;
    e.category = category, e.fenhong = fenhong, e.songzhuangu = songzhuangu, e.peigu = peigu, e.peigujia = peigujia;
    return e;
}

void expect_prices(const SecurityBar& b, double open, double close, double high, double low) {
    EXPECT_EQ((std::array{b.open, b.close, b.high, b.low}), (std::array{open, close, high, low}));
}

// Every price of every bar, bars separated by "|".
std::string prices_text(const std::vector<SecurityBar>& bars) {
    std::string s;
    for (const SecurityBar& b : bars) s += (s.empty() ? "" : " | ") + testutil::fields(b.open, b.close, b.high, b.low);
    return s;
}

// Bars around a 0.5-per-share cash dividend on 2024-01-03, the day before closing at 10.0.
std::vector<SecurityBar> dividend_bars() {
    return {bar(20240101, 10.2, 10.0, 10.4, 9.8), bar(20240102, 10.0, 10.0, 10.2, 9.9),
            bar(20240103, 9.5, 9.6, 9.7, 9.4), bar(20240104, 9.6004, 9.6, 9.6, 9.6)};
}

// A 1.0 dividend (factor 0.9) on 2024-01-02, then events whose cash dividend is inf and NaN.
std::vector<SecurityBar> nonfinite_bars() { return {flat(20240101, 10.0), flat(20240102, 10.0), flat(20240103, 10.0)}; }
std::vector<XdXrInfo> nonfinite_events() {
    return {event(20240102, 10.0), event(20240103, std::numeric_limits<double>::infinity()),
            event(20240103, std::numeric_limits<double>::quiet_NaN())};
}

}  // namespace

TEST(AdjusterRounding, HalvesAwayFromZero) {
    const std::pair<double, double> cases[] = {{2.0625, 2.063}, {-2.0625, -2.063}, {9.99949, 9.999}, {2.0624, 2.062}, {0.0, 0.0}};
    for (auto [raw, rounded] : cases) EXPECT_EQ(round_fq_price(raw), rounded) << raw;
}

// factor = (10.0 - 0.5) / 10.0 = 0.95: forward scales the bars before the event, backward divides
// those on and after it; every mode other than 0 and 2 is forward. All prices come back rounded.
TEST(AdjusterModes, CashDividendInsideBars) {
    using Prices = std::array<double, 4>;
    const Prices forward[] = {{9.69, 9.5, 9.88, 9.31}, {9.5, 9.5, 9.69, 9.405}, {9.5, 9.6, 9.7, 9.4}, {9.6, 9.6, 9.6, 9.6}};
    // 9.5 / 0.95 = 10, 9.6 -> 10.10526.., 9.7 -> 10.21052.., 9.4 -> 9.89473..
    const Prices backward[] = {{10.2, 10.0, 10.4, 9.8}, {10.0, 10.0, 10.2, 9.9}, {10.0, 10.105, 10.211, 9.895},
                               {10.106, 10.105, 10.105, 10.105}};
    for (uint8_t mode : {1, 7, 2}) {
        auto bars = dividend_bars();
        adjust_security_bars(bars, {}, std::vector<XdXrInfo>{event(20240103, 5.0)}, mode);
        for (size_t i = 0; i < bars.size(); ++i) {
            const Prices& p = mode == 2 ? backward[i] : forward[i];
            SCOPED_TRACE(testing::Message() << "mode " << int(mode) << " bar " << i);
            expect_prices(bars[i], p[0], p[1], p[2], p[3]);
        }
    }
}

// Adjusted prices worked out by hand, one scenario a row.
TEST(AdjusterScenarios, PricesByHand) {
    struct Case {
        const char* name;
        std::vector<SecurityBar> bars, context;
        std::vector<XdXrInfo> events;
        uint8_t mode;
        const char* prices;
    };
    const std::vector<SecurityBar> ctx = {flat(20240103, 30.0), flat(20240104, 20.0), flat(20240108, 19.0)};
    const Case cases[] = {
        // fenhong 50 on a 10.0 close: factor 0.5, exact in binary, so 4.125 lands on 2.0625 exactly.
        {"half at the third decimal after scaling", {bar(20240101, 4.125, 10.0, 4.125, -4.125), flat(20240102, 1.0)}, {},
         {event(20240102, 50.0)}, 1, "2.063 5 2.063 -2.063 | 1 1 1 1"},
        // Factor 1 - 1e-11 is too close to 1 to apply; applied, it would round 2.0625 down to 2.062.
        {"product within tolerance", {bar(20240101, 2.0625, 1.0, 10.00049, 1.0), flat(20240102, 1.0)}, {},
         {event(20240102, 1e-10)}, 1, "2.063 1 10 1 | 1 1 1 1"},
        // The close before an event ahead of the bars is the last earlier context close: (20 - 1) / 20.
        {"context, forward", {flat(20240110, 19.0), flat(20240111, 19.5)}, ctx, {event(20240105, 10.0)}, 1,
         "19 19 19 19 | 19.5 19.5 19.5 19.5"},
        {"context, backward", {flat(20240110, 19.0), flat(20240111, 19.5)}, ctx, {event(20240105, 10.0)}, 2,
         "20 20 20 20 | 20.526 20.526 20.526 20.526"},
        // An event after the last bar takes that bar's close: all scaled forward, none backward (rounded only).
        {"after the last bar, forward", {flat(20240101, 12.0), flat(20240102, 10.0)}, {}, {event(20240201, 5.0)}, 1,
         "11.4 11.4 11.4 11.4 | 9.5 9.5 9.5 9.5"},
        {"after the last bar, backward", {flat(20240101, 12.0001), flat(20240102, 10.0)}, {}, {event(20240201, 5.0)}, 2,
         "12 12 12 12 | 10 10 10 10"},
        // A dividend of 1.0 (0.9) and a 1-for-1 bonus (0.5) on one date: each applies once, 10 x 0.5 x 0.9.
        {"two events on one date, forward", {flat(20240101, 10.0), flat(20240102, 10.0)}, {},
         {event(20240102, 10.0), event(20240102, 0.0, 10.0)}, 1, "4.5 4.5 4.5 4.5 | 10 10 10 10"},
        {"two events on one date, backward", {flat(20240101, 10.0), flat(20240102, 10.0)}, {},
         {event(20240102, 10.0), event(20240102, 0.0, 10.0)}, 2, "10 10 10 10 | 22.222 22.222 22.222 22.222"},
        // A 10.0 dividend on a 10.0 close gives a factor of 0: backward must not divide by it.
        {"zero factor, forward", {flat(20240101, 10.0), flat(20240102, 3.0)}, {}, {event(20240102, 100.0)}, 1,
         "0 0 0 0 | 3 3 3 3"},
        {"zero factor, backward", {flat(20240101, 10.0), flat(20240102, 3.0)}, {}, {event(20240102, 100.0)}, 2,
         "10 10 10 10 | 3 3 3 3"},
        // Wire f32 values of inf or NaN give factors that count as 1; the older dividend still applies.
        {"non-finite factors, forward", nonfinite_bars(), {}, nonfinite_events(), 1, "9 9 9 9 | 10 10 10 10 | 10 10 10 10"},
        {"non-finite factors, backward", nonfinite_bars(), {}, nonfinite_events(), 2,
         "10 10 10 10 | 11.111 11.111 11.111 11.111 | 11.111 11.111 11.111 11.111"},
        // No earlier close anywhere for the only event: nothing is scaled and nothing rounded.
        {"no earlier close, forward", {flat(20240110, 10.0004)}, {flat(20240106, 9.0)}, {event(20240105, 10.0)}, 1,
         "10.0004 10.0004 10.0004 10.0004"},
        {"no earlier close, backward", {flat(20240110, 10.0004)}, {flat(20240106, 9.0)}, {event(20240105, 10.0)}, 2,
         "10.0004 10.0004 10.0004 10.0004"},
    };
    for (const Case& c : cases) {
        auto bars = c.bars;
        adjust_security_bars(bars, c.context, c.events, c.mode);
        EXPECT_EQ(prices_text(bars), c.prices) << c.name;
    }
}

TEST(AdjusterReport, CloseBeforeFromContext) {
    const std::vector<SecurityBar> context = {flat(20240103, 30.0), flat(20240104, 20.0), flat(20240108, 19.0)};
    const auto report = calc_fq_factors(std::vector<SecurityBar>{flat(20240110, 19.0)}, context,
                                        std::vector<XdXrInfo>{event(20240105, 10.0)});
    ASSERT_EQ(report.factors.size(), 1u);
    EXPECT_EQ(report.factors[0].close_before, 20.0);
    // An event on the first bar's date takes its close from the context alone.
    const std::vector<XdXrInfo> same_day = {event(20240110, 10.0)};
    const auto with = calc_fq_factors(std::vector<SecurityBar>{flat(20240110, 5.0)},
                                      std::vector<SecurityBar>{flat(20240109, 20.0)}, same_day);
    ASSERT_EQ(with.factors.size(), 1u);
    EXPECT_EQ(with.factors[0].close_before, 20.0);
    EXPECT_TRUE(calc_fq_factors(std::vector<SecurityBar>{flat(20240110, 5.0)}, {}, same_day).factors.empty());
}

// Events with no effect leave the bars bit for bit: not even rounded.
TEST(AdjusterEvents, NothingToApplyLeavesBarsUnrounded) {
    const auto original = dividend_bars();
    const std::vector<XdXrInfo> dividend = {event(20240103, 5.0)};
    const std::vector<XdXrInfo> others = {event(20240103, 5.0, 0, 0, 0, 2), event(20240103, 5.0, 0, 0, 0, 11)};
    const std::pair<std::vector<XdXrInfo>, uint8_t> cases[] = {{others, 1}, {{}, 1}, {dividend, 0}};
    for (const auto& [events, mode] : cases) {
        auto bars = dividend_bars();
        adjust_security_bars(bars, {}, events, mode);
        for (size_t i = 0; i < bars.size(); ++i)
            expect_prices(bars[i], original[i].open, original[i].close, original[i].high, original[i].low);
    }
    // The only event has no earlier close anywhere: no report row either.
    const std::vector<SecurityBar> context = {flat(20240106, 9.0)};
    const std::vector<XdXrInfo> early = {event(20240105, 10.0)};
    const std::vector<SecurityBar> late = {flat(20240110, 10.0004), flat(20240111, 10.0004)};
    std::vector<SecurityBar> none;
    adjust_security_bars(none, {}, dividend, 1);
    EXPECT_TRUE(none.empty());
    for (const auto& report : {calc_fq_factors(original, {}, others), calc_fq_factors(late, context, early),
                               calc_fq_factors({}, {}, {})}) {
        EXPECT_TRUE(report.factors.empty());
        EXPECT_EQ(report.cumulative_qfq, 1.0);
        EXPECT_EQ(report.cumulative_hfq, 1.0);
    }
}

// Two events on one date each report their own factor; a zero factor reports 1 backward, and a
// non-finite one 1 both ways.
TEST(AdjusterReport, SameDateAndZeroFactors) {
    const std::vector<SecurityBar> raw = {flat(20240101, 10.0), flat(20240102, 10.0)};
    auto report = calc_fq_factors(raw, {}, std::vector<XdXrInfo>{event(20240102, 10.0), event(20240102, 0.0, 10.0)});
    ASSERT_EQ(report.factors.size(), 2u);
    EXPECT_EQ(testutil::fields(report.factors[0].qfq_factor, report.factors[1].qfq_factor, report.cumulative_qfq),
              "0.9 0.5 0.45");
    report = calc_fq_factors(std::vector<SecurityBar>{flat(20240101, 10.0)}, {},
                             std::vector<XdXrInfo>{event(20240102, 100.0)});
    ASSERT_EQ(report.factors.size(), 1u);
    EXPECT_EQ(testutil::fields(report.factors[0].qfq_factor, report.factors[0].hfq_factor, report.cumulative_qfq,
                               report.cumulative_hfq),
              "0 1 0 1");
    // Non-finite factors count as 1 in the rows and the products.
    report = calc_fq_factors(nonfinite_bars(), {}, nonfinite_events());
    ASSERT_EQ(report.factors.size(), 3u);
    EXPECT_EQ(testutil::fields(report.factors[1].qfq_factor, report.factors[1].hfq_factor, report.factors[2].qfq_factor,
                               report.factors[2].hfq_factor, report.cumulative_qfq),
              "1 1 1 1 0.9");
}

TEST(AdjusterReport, RowsCarryPartsAndAreSortedByDate) {
    // Given newest first; reported oldest first.
    const std::vector<XdXrInfo> events = {event(20240105, 0.0, 0.0, 0.0, 0.0, 1), event(20240103, 5.0, 2.0, 1.0, 8.0)};
    const std::vector<SecurityBar> bars = {flat(20240101, 11.0), flat(20240102, 10.0), flat(20240104, 0.0),
                                           flat(20240106, 1.0)};
    const auto report = calc_fq_factors(bars, {}, events);
    ASSERT_EQ(report.factors.size(), 2u);
    const FqFactor& a = report.factors[0];
    EXPECT_EQ(testutil::fields(a.date, a.close_before, a.div_per_share, a.bonus_ratio, a.rights_ratio, a.rights_price),
              "20240103 10 0.5 0.2 0.1 8");
    // (8 x 0.1 + (10 - 0.5)) / ((0.2 + 1 + 0.1) x 10) = 10.3 / 13
    EXPECT_NEAR(a.qfq_factor, 10.3 / 13.0, 1e-15);
    EXPECT_NEAR(a.hfq_factor, 13.0 / 10.3, 1e-14);
    // The second event's close before is 0.0: factor 1.0.
    const FqFactor& b = report.factors[1];
    EXPECT_EQ(testutil::fields(b.date, b.close_before, b.qfq_factor), "20240105 0 1");
    EXPECT_EQ(report.cumulative_qfq, a.qfq_factor);
    EXPECT_EQ(report.cumulative_hfq, 1.0 / a.qfq_factor);
}
