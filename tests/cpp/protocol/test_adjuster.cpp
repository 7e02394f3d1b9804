// Forward and backward adjustment and the factor report, with expected prices worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "protocol/adjuster.hpp"
#include "record_text.hpp"

using namespace quotix;
using testutil::fields;

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

std::string prices_text(const std::vector<SecurityBar>& bars) {
    return testutil::records(bars, [](const SecurityBar& b) { return fields(b.open, b.close, b.high, b.low); });
}

// One row per event (date, close before, the four parts, both factors), then " = " and the products.
std::string report_text(const FqFactorReport& r) {
    return testutil::records(r.factors, [](const FqFactor& f) {
               return fields(f.date, f.close_before, f.div_per_share, f.bonus_ratio, f.rights_ratio, f.rights_price,
                             f.qfq_factor, f.hfq_factor);
           }) + " = " + fields(r.cumulative_qfq, r.cumulative_hfq);
}

struct Case { const char* name; std::vector<SecurityBar> bars, context; std::vector<XdXrInfo> events;
              const char *forward, *backward, *report; };

}  // namespace

// Forward scales the bars before an event by its factor, backward divides those on and after it; every
// mode other than 0 and 2 is forward, and 0 leaves the bars as they are. Adjusted prices come back rounded.
TEST(AdjusterScenarios, PricesAndReportByHand) {
    const std::vector<SecurityBar> ctx = {flat(20240103, 30.0), flat(20240104, 20.0), flat(20240108, 19.0)};
    XdXrInfo bonus_only = event(20240102, 0.0, 10.0), dividend_only = event(20240103, 5.0);
    bonus_only.fenhong.reset(), bonus_only.peigu.reset(), bonus_only.peigujia.reset();
    dividend_only.songzhuangu.reset(), dividend_only.peigu.reset(), dividend_only.peigujia.reset();
    const Case cases[] = {
        // A 0.5-per-share dividend the day after a close of 10.0: (10.0 - 0.5) / 10.0 = 0.95; 9.5 / 0.95 = 10,
        // 9.6 -> 10.10526.., 9.7 -> 10.21052.., 9.4 -> 9.89473..
        {"cash dividend", {bar(20240101, 10.2, 10.0, 10.4, 9.8), bar(20240102, 10.0, 10.0, 10.2, 9.9),
          bar(20240103, 9.5, 9.6, 9.7, 9.4), bar(20240104, 9.6004, 9.6, 9.6, 9.6)}, {}, {event(20240103, 5.0)},
         "9.69 9.5 9.88 9.31 | 9.5 9.5 9.69 9.405 | 9.5 9.6 9.7 9.4 | 9.6 9.6 9.6 9.6",
         "10.2 10 10.4 9.8 | 10 10 10.2 9.9 | 10 10.105 10.211 9.895 | 10.106 10.105 10.105 10.105",
         "20240103 10 0.5 0 0 0 0.95 1.05263157894737 = 0.95 1.05263157894737"},
        // (8 x 0.1 + (10 - 0.5)) / ((0.2 + 1 + 0.1) x 10) = 10.3 / 13. Given newest first, reported oldest
        // first; the later event's close before is 0.0, which makes its factor 1.
        {"dividend, bonus and rights", {flat(20240101, 11.0), flat(20240102, 10.0), flat(20240104, 0.0), flat(20240106, 1.0)},
         {}, {event(20240105, 0.0), event(20240103, 5.0, 2.0, 1.0, 8.0)},
         "8.715 8.715 8.715 8.715 | 7.923 7.923 7.923 7.923 | 0 0 0 0 | 1 1 1 1",
         "11 11 11 11 | 10 10 10 10 | 0 0 0 0 | 1.262 1.262 1.262 1.262",
         "20240103 10 0.5 0.2 0.1 8 0.792307692307692 1.2621359223301 | 20240105 0 0 0 0 0 1 1 = "
         "0.792307692307692 1.2621359223301"},
        // Factor 1 - 1e-11 is too close to 1 to apply; applied, it would round 2.0625 down to 2.062. Halves
        // round away from zero.
        {"product within tolerance", {bar(20240101, 2.0625, 1.0, 10.00049, 1.0), flat(20240102, 1.0)}, {},
         {event(20240102, 1e-10)}, "2.063 1 10 1 | 1 1 1 1", "2.063 1 10 1 | 1 1 1 1",
         "20240102 1 1e-11 0 0 0 0.99999999999 1.00000000001 = 0.99999999999 1.00000000001"},
        // The close before an event ahead of the bars is the last earlier context close: (20 - 1) / 20.
        {"close from the context", {flat(20240110, 19.0), flat(20240111, 19.5)}, ctx, {event(20240105, 10.0)},
         "19 19 19 19 | 19.5 19.5 19.5 19.5", "20 20 20 20 | 20.526 20.526 20.526 20.526",
         "20240105 20 1 0 0 0 0.95 1.05263157894737 = 0.95 1.05263157894737"},
        // With no bars the report still finds the close in the context.
        {"no bars", {}, ctx, {event(20240105, 10.0)}, "", "", "20240105 20 1 0 0 0 0.95 1.05263157894737 = 0.95 1.05263157894737"},
        // Values an event lacks count as 0: a 1-for-1 bonus alone halves the price, a dividend of 0.5
        // alone takes it from 5 to 4.5.
        {"absent values", {flat(20240101, 10.0), flat(20240102, 5.0), flat(20240103, 4.5)}, {},
         {bonus_only, dividend_only}, "4.5 4.5 4.5 4.5 | 4.5 4.5 4.5 4.5 | 4.5 4.5 4.5 4.5",
         "10 10 10 10 | 10 10 10 10 | 10 10 10 10",
         "20240102 10 0 1 0 0 0.5 2 | 20240103 5 0.5 0 0 0 0.9 1.11111111111111 = 0.45 2.22222222222222"},
        // An event on the first bar's date takes its close from the context alone.
        {"event on the first bar", {flat(20240110, 5.0)}, {flat(20240109, 20.0)}, {event(20240110, 10.0)},
         "5 5 5 5", "5.263 5.263 5.263 5.263", "20240110 20 1 0 0 0 0.95 1.05263157894737 = 0.95 1.05263157894737"},
        // An event after the last bar takes that bar's close: all scaled forward, none backward (rounded only).
        {"after the last bar", {flat(20240101, 12.0001), flat(20240102, 10.0)}, {}, {event(20240201, 5.0)},
         "11.4 11.4 11.4 11.4 | 9.5 9.5 9.5 9.5", "12 12 12 12 | 10 10 10 10",
         "20240201 10 0.5 0 0 0 0.95 1.05263157894737 = 0.95 1.05263157894737"},
        // A dividend of 1.0 (0.9) and a 1-for-1 bonus (0.5) on one date: each applies once, 10 x 0.5 x 0.9.
        {"two events on one date", {flat(20240101, 10.0), flat(20240102, 10.0)}, {},
         {event(20240102, 10.0), event(20240102, 0.0, 10.0)}, "4.5 4.5 4.5 4.5 | 10 10 10 10",
         "10 10 10 10 | 22.222 22.222 22.222 22.222",
         "20240102 10 1 0 0 0 0.9 1.11111111111111 | 20240102 10 0 1 0 0 0.5 2 = 0.45 2.22222222222222"},
        // A 10.0 dividend on a 10.0 close gives a factor of 0: backward must not divide by it.
        {"zero factor", {flat(20240101, 10.0), flat(20240102, 3.0)}, {}, {event(20240102, 100.0)},
         "0 0 0 0 | 3 3 3 3", "10 10 10 10 | 3 3 3 3", "20240102 10 10 0 0 0 0 1 = 0 1"},
        // Nothing to apply leaves the bars bit for bit, not even rounded: no earlier close anywhere, or
        // only events of other categories.
        {"non-finite factors", {flat(20240101, 10.0), flat(20240102, 10.0), flat(20240103, 10.0)}, {},
         {event(20240102, 10.0), event(20240103, std::numeric_limits<double>::infinity()),
          event(20240103, std::numeric_limits<double>::quiet_NaN())},
         "9 9 9 9 | 10 10 10 10 | 10 10 10 10", "10 10 10 10 | 11.111 11.111 11.111 11.111 | 11.111 11.111 11.111 11.111",
         "20240102 10 1 0 0 0 0.9 1.11111111111111 | 20240103 10 inf 0 0 0 1 1 | 20240103 10 nan 0 0 0 1 1 = "
         "0.9 1.11111111111111"},
        {"no events", {flat(20240110, 10.0004)}, {}, {}, "10.0004 10.0004 10.0004 10.0004",
         "10.0004 10.0004 10.0004 10.0004", " = 1 1"},
        {"no earlier close", {flat(20240110, 10.0004)}, {flat(20240106, 9.0)}, {event(20240105, 10.0)},
         "10.0004 10.0004 10.0004 10.0004", "10.0004 10.0004 10.0004 10.0004", " = 1 1"},
        {"other categories", {flat(20240102, 10.0), flat(20240104, 9.6004)}, {},
         {event(20240103, 5.0, 0, 0, 0, 2), event(20240103, 5.0, 0, 0, 0, 11)}, "10 10 10 10 | 9.6004 9.6004 9.6004 9.6004",
         "10 10 10 10 | 9.6004 9.6004 9.6004 9.6004", " = 1 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::pair<uint8_t, std::string> modes[] = {
            {1, c.forward}, {7, c.forward}, {2, c.backward}, {0, prices_text(c.bars)}};
        for (const auto& [mode, prices] : modes) {
            auto bars = c.bars;
            adjust_security_bars(bars, c.context, c.events, mode);
            EXPECT_EQ(prices_text(bars), prices) << "mode " << int(mode);
        }
        EXPECT_EQ(report_text(calc_fq_factors(c.bars, c.context, c.events)), c.report);
    }
}

// Event values are wire f32s and a bar may hold any double: however large the factors, or the prices
// they scale, every adjusted price and every figure of the report stays finite, each hfq the reciprocal
// of its qfq, and the oldest bar forward still agrees with the report's product.
TEST(AdjusterScenarios, HugeFactorsAndPricesStayFinite) {
    std::vector<SecurityBar> month;
    std::vector<XdXrInfo> ten_huge;  // (10 + 3.4e37) / 10 each: finite alone, past the double range together
    for (uint32_t day = 1; day <= 30; ++day) month.push_back(flat(20240100 + day, 10.0));
    for (uint32_t day = 3; day <= 30; day += 3) ten_huge.push_back(event(20240100 + day, double(-3.4e38f)));
    const struct { const char* name; std::vector<SecurityBar> bars; std::vector<XdXrInfo> events; } cases[] = {
        {"ten huge dividends", month, ten_huge},
        // A factor of 1e9 on a price of 1e300, and a price too large to take x 1000 for its rounding.
        {"huge price, huge factor", {flat(20240101, 1e300), flat(20240102, 1.0)}, {event(20240103, -1e10)}},
        {"rounding a huge price", {flat(20240101, 1e306), flat(20240102, 10.0)}, {event(20240102, 5.0)}},
    };
    auto reciprocal = [](double q) { return std::fabs(q) > 1e-10 ? 1.0 / q : 1.0; };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const FqFactorReport report = calc_fq_factors(c.bars, {}, c.events);
        for (const FqFactor& f : report.factors) {
            EXPECT_TRUE(std::isfinite(f.qfq_factor)) << f.date;
            EXPECT_EQ(f.hfq_factor, reciprocal(f.qfq_factor)) << f.date;
        }
        EXPECT_TRUE(std::isfinite(report.cumulative_qfq));
        EXPECT_EQ(report.cumulative_hfq, reciprocal(report.cumulative_qfq));
        for (uint8_t mode : {1, 2}) {
            auto bars = c.bars;
            adjust_security_bars(bars, {}, c.events, mode);
            for (const SecurityBar& b : bars)
                EXPECT_TRUE(std::isfinite(b.open) && std::isfinite(b.close) && std::isfinite(b.high) && std::isfinite(b.low))
                    << "mode " << int(mode) << ": " << prices_text({b});
            if (mode == 1) {
                EXPECT_DOUBLE_EQ(bars.front().close, round_fq_price(c.bars.front().close * report.cumulative_qfq));
            }
        }
    }
}
