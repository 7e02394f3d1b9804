#include "protocol/adjuster.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "core/constants.hpp"

namespace quotix {
namespace {

constexpr double EPSILON = 1e-10;

constexpr double price_scale() {
    double s = 1.0;
    for (uint32_t i = 0; i < FQ_PRICE_PRECISION; ++i) s *= 10.0;
    return s;
}

uint32_t bar_date(const SecurityBar& b) { return b.year * 10000u + b.month * 100u + b.day; }
uint32_t event_date(const XdXrInfo& e) { return e.year * 10000u + e.month * 100u + e.day; }

// One category-1 event with its factor, or none when no bar closes before it.
struct Event {
    uint32_t date = 0;
    FactorParts parts;
    std::optional<double> preclose;
    double factor = 1.0;
};

// The close of the last bar dated before `date`: among `bars` when the first bar is earlier,
// otherwise among `context`, searched from its newest bar.
std::optional<double> close_before(std::span<const SecurityBar> bars, std::span<const SecurityBar> context,
                                   uint32_t date) {
    if (!bars.empty() && bar_date(bars.front()) < date) {
        size_t i = 0;
        while (i + 1 < bars.size() && bar_date(bars[i + 1]) < date) ++i;
        return bars[i].close;
    }
    for (size_t i = context.size(); i-- > 0;) {
        if (bar_date(context[i]) < date) return context[i].close;
    }
    return std::nullopt;
}

// How many binary orders of magnitude the applied factors may span together, given the prices
// they are to scale: one below the double range once the largest price is taken out.
double factor_budget(std::span<const SecurityBar> bars) {
    double largest = 1.0;
    for (const SecurityBar& b : bars)
        for (double v : {b.open, b.close, b.high, b.low})
            if (std::isfinite(v)) largest = std::max(largest, std::fabs(v));
    return (std::numeric_limits<double>::max_exponent - 2) - std::log2(largest);
}

// Every factor is finite on its own, but a run of huge (or tiny) ones carries a product past
// the double range: forward prices turn inf, backward ones collapse to 0, the report's product
// turns inf. The walks multiply in different orders (forward from the newest event, backward and
// the report from the oldest, backward by reciprocals), so the bound must hold for any partial
// product: the applied factors' |log2| may sum to no more than the budget, and one that would
// pass it counts as 1, as a non-finite factor does. Deciding here, once per event, keeps the bars
// and the report in agreement. Real factors cost a fraction of a bit each and never reach it.
void bound_factors(std::vector<Event>& events, double budget) {
    double spent = 0.0;
    for (Event& e : events) {
        // Backward never inverts such a factor (hfq_factor counts it as 1); forward and the
        // report it can only shrink, so it cannot overflow anything.
        if (std::fabs(e.factor) <= EPSILON) continue;
        const double cost = std::fabs(std::log2(std::fabs(e.factor)));
        if (spent + cost > budget) {
            e.factor = 1.0;
        } else {
            spent += cost;
        }
    }
}

std::vector<Event> collect_events(std::span<const SecurityBar> bars, std::span<const SecurityBar> context,
                                  std::span<const XdXrInfo> xdxr) {
    std::vector<Event> events;
    for (const XdXrInfo& x : xdxr) {
        if (x.category != 1) continue;
        Event e;
        e.date = event_date(x);
        e.parts = factor_parts(x);
        events.push_back(e);
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.date < b.date; });
    for (Event& e : events) {
        e.preclose = close_before(bars, context, e.date);
        if (e.preclose) e.factor = qfq_factor(e.parts, *e.preclose);
    }
    bound_factors(events, factor_budget(bars));
    return events;
}

void scale_bar(SecurityBar& b, double p) {
    b.high *= p;
    b.low *= p;
    b.open *= p;
    b.close *= p;
}

}  // namespace

FactorParts factor_parts(const XdXrInfo& event) {
    FactorParts p;
    p.div_per_share = event.fenhong ? *event.fenhong / 10.0 : 0.0;
    p.bonus_ratio = event.songzhuangu ? *event.songzhuangu / 10.0 : 0.0;
    p.rights_ratio = event.peigu ? *event.peigu / 10.0 : 0.0;
    p.rights_price = event.peigujia ? *event.peigujia : 0.0;
    return p;
}

double qfq_factor(const FactorParts& parts, double preclose) {
    const double d = parts.div_per_share, b = parts.bonus_ratio, r = parts.rights_ratio, p = parts.rights_price;
    const double c = preclose;
    const double numerator = p * r + (c - d);
    const double denominator = ((b + 1.0) + r) * c;
    if (std::fabs(denominator) < EPSILON || std::fabs(c) < EPSILON) return 1.0;
    // The event values are wire f32s and may be inf or NaN; such a factor would turn every price
    // it reaches into inf, or (NaN) hide every older event behind a product that never differs
    // from 1, so it counts as no adjustment at all.
    const double factor = numerator / denominator;
    return std::isfinite(factor) ? factor : 1.0;
}

double hfq_factor(double qfq) { return std::isfinite(qfq) && std::fabs(qfq) > EPSILON ? 1.0 / qfq : 1.0; }

double round_fq_price(double value) {
    constexpr double scale = price_scale();
    // A value too large to scale is a whole number already, nothing to round.
    const double scaled = value * scale;
    if (!std::isfinite(scaled)) return value;
    return std::round(scaled) / scale;
}

void adjust_security_bars(std::span<SecurityBar> bars, std::span<const SecurityBar> context,
                          std::span<const XdXrInfo> xdxr, uint8_t fq) {
    if (fq == 0 || bars.empty() || xdxr.empty()) return;
    const std::vector<Event> events = collect_events(bars, context, xdxr);
    // Without a single usable event the bars stay exactly as the server sent them.
    if (std::none_of(events.begin(), events.end(), [](const Event& e) { return e.preclose.has_value(); })) return;

    // Each event contributes its own factor once, so the bars always agree with calc_fq_factors,
    // also when two events share a date. An event without a close before keeps the factor 1.
    double product = 1.0;
    if (fq == FQ_HFQ) {
        size_t cursor = 0;
        for (SecurityBar& bar : bars) {
            const uint32_t date = bar_date(bar);
            while (cursor < events.size() && events[cursor].date <= date) {
                // Same guard as the report's hfq_factor: a zero factor must not become inf or NaN.
                product *= hfq_factor(events[cursor].factor);
                ++cursor;
            }
            if (std::fabs(product - 1.0) > EPSILON) scale_bar(bar, product);
        }
    } else {
        size_t cursor = events.size();
        for (size_t i = bars.size(); i-- > 0;) {
            SecurityBar& bar = bars[i];
            const uint32_t date = bar_date(bar);
            while (cursor > 0 && events[cursor - 1].date > date) {
                product *= events[cursor - 1].factor;
                --cursor;
            }
            if (std::fabs(product - 1.0) > EPSILON) scale_bar(bar, product);
        }
    }
    for (SecurityBar& bar : bars) {
        bar.open = round_fq_price(bar.open);
        bar.close = round_fq_price(bar.close);
        bar.high = round_fq_price(bar.high);
        bar.low = round_fq_price(bar.low);
    }
}

FqFactorReport calc_fq_factors(std::span<const SecurityBar> bars, std::span<const SecurityBar> context,
                               std::span<const XdXrInfo> xdxr) {
    FqFactorReport report;
    for (const Event& e : collect_events(bars, context, xdxr)) {
        if (!e.preclose) continue;
        FqFactor row;
        row.date = e.date;
        row.close_before = *e.preclose;
        row.qfq_factor = e.factor;
        row.hfq_factor = hfq_factor(e.factor);
        row.div_per_share = e.parts.div_per_share;
        row.bonus_ratio = e.parts.bonus_ratio;
        row.rights_ratio = e.parts.rights_ratio;
        row.rights_price = e.parts.rights_price;
        report.factors.push_back(row);
        report.cumulative_qfq *= e.factor;
    }
    report.cumulative_hfq = hfq_factor(report.cumulative_qfq);
    return report;
}

}  // namespace quotix
