// Forward (前复权) and backward (后复权) price adjustment of K-line bars from ex-rights and
// ex-dividend events, and the per-event factor report. Pure computation: no I/O, no errors.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/types.hpp"

namespace quotix {

// The four values of one ex-rights event that enter its adjustment factor.
struct FactorParts {
    double div_per_share = 0;  // fenhong / 10
    double bonus_ratio = 0;    // songzhuangu / 10
    double rights_ratio = 0;   // peigu / 10
    double rights_price = 0;   // peigujia
};

// One row of the factor report.
struct FqFactor {
    uint32_t date = 0;  // YYYYMMDD
    double close_before = 0;
    double qfq_factor = 1;
    double hfq_factor = 1;
    double div_per_share = 0;
    double bonus_ratio = 0;
    double rights_ratio = 0;
    double rights_price = 0;
};

struct FqFactorReport {
    std::vector<FqFactor> factors;  // ascending date; one date's events in event-list order
    double cumulative_qfq = 1.0;
    double cumulative_hfq = 1.0;
};

// The event's values with absent ones taken as 0.
FactorParts factor_parts(const XdXrInfo& event);

// Forward factor of an event whose last earlier close is `preclose`; 1.0 when the close or the
// denominator is (nearly) zero, or when the factor is not finite.
double qfq_factor(const FactorParts& parts, double preclose);

// The reciprocal of a forward factor, 1.0 for a (nearly) zero or non-finite one.
double hfq_factor(double qfq);

// value x 1000 rounded to an integer, halves away from zero, then / 1000; a value too large to
// take x 1000 comes back as it is.
double round_fq_price(double value);

// Rewrites open, close, high and low of `bars` (oldest first) in place: fq 0 leaves them alone,
// 2 adjusts backward, any other value forward. `context` holds older bars, oldest first, used
// only to find the close before events on or before the first bar. A factor that would carry the
// applied factors' product, or a price scaled by it, out of the double range counts as 1, here
// and in the report alike.
void adjust_security_bars(std::span<SecurityBar> bars, std::span<const SecurityBar> context,
                          std::span<const XdXrInfo> xdxr, uint8_t fq);

// The factor of every category-1 event that has an earlier close, without touching any bar.
FqFactorReport calc_fq_factors(std::span<const SecurityBar> bars, std::span<const SecurityBar> context,
                               std::span<const XdXrInfo> xdxr);

}  // namespace quotix
