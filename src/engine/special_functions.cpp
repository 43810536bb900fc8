#include "engine/special_functions.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/lanes.hpp"

namespace segmora::engine {

namespace {

// Shifts x up to at least kShift by the recurrences before the asymptotic series.
constexpr double kShift = 10.0;
constexpr double kHalfLog2Pi = 0.91893853320467274178;

}  // namespace

double log_gamma(double x) noexcept {
    if (!(x > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    double product = 1.0;  // x (x + 1) ... up to the shifted argument
    while (x < kShift) {
        product *= x;
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    // Stirling: 1/(12x) - 1/(360x^3) + 1/(1260x^5) - 1/(1680x^7) + 1/(1188x^9) - 691/(360360x^11) + 1/(156x^13)
    const double series =
        (1.0 / 12.0 +
         f * (-1.0 / 360.0 + f * (1.0 / 1260.0 + f * (-1.0 / 1680.0 + f * (1.0 / 1188.0 + f * (-691.0 / 360360.0 + f / 156.0)))))) /
        x;
    return (x - 0.5) * std::log(x) - x + kHalfLog2Pi + series - std::log(product);
}

double digamma(double x) noexcept {
    if (!(x > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    double shifted = 0.0;
    while (x < kShift) {
        shifted -= 1.0 / x;
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    // -1/(12x^2) + 1/(120x^4) - 1/(252x^6) + 1/(240x^8) - 1/(132x^10) + 691/(32760x^12) - 1/(12x^14)
    const double series =
        f * (-1.0 / 12.0 +
             f * (1.0 / 120.0 + f * (-1.0 / 252.0 + f * (1.0 / 240.0 + f * (-1.0 / 132.0 + f * (691.0 / 32760.0 - f / 12.0))))));
    return shifted + std::log(x) - 0.5 / x + series;
}

double trigamma(double x) noexcept {
    if (!(x > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    double shifted = 0.0;
    while (x < kShift) {
        shifted += 1.0 / (x * x);
        x += 1.0;
    }
    const double f = 1.0 / (x * x);
    // 1/x + 1/(2x^2) + 1/(6x^3) - 1/(30x^5) + 1/(42x^7) - 1/(30x^9) + 5/(66x^11) - 691/(2730x^13) + 7/(6x^15)
    const double series =
        (1.0 + f * (1.0 / 6.0 + f * (-1.0 / 30.0 + f * (1.0 / 42.0 + f * (-1.0 / 30.0 + f * (5.0 / 66.0 + f * (-691.0 / 2730.0 + f * 7.0 / 6.0))))))) / x;
    return shifted + series + 0.5 * f;
}

namespace {

// Terms of a hypergeometric series beyond this are not summed (z within about
// 1e-6 of 1); the partial sum is returned.
constexpr long kMaxTerms = 20'000'000;

// `sum` plus the terms after `term` (the term of index `first`), each
// term_{n+1} = term_n (a + n)(b + n) z / ((c + n)(n + 1)), until what is left
// is below 1e-17 of the sum.
double hypergeometric_tail(double a, double b, double c, double z, long first, double term, double sum) noexcept {
    // The ratio exceeds 1 only on one interval of n (z (a + n)(b + n) - (c + n)(n + 1) is a
    // downward parabola for z < 1); past its vertex and the factors' roots, a ratio below 1
    // stays below 1, and what is left of the series is at most term * ratio / (1 - ratio).
    const double settled = std::max({0.0, -a, -b, -c, (z * (a + b) - c - 1.0) / (2.0 * (1.0 - z))});
    for (long n = first; n < kMaxTerms; ++n) {
        const double dn = static_cast<double>(n);
        const double ratio = (a + dn) * (b + dn) / ((c + dn) * (dn + 1.0)) * z;
        term *= ratio;
        sum += term;
        if (term == 0.0 || !std::isfinite(sum)) break;
        const double shrink = std::fabs(ratio);
        if (shrink < 1.0 && dn >= settled && std::fabs(term) <= 1e-17 * (1.0 - shrink) * std::fabs(sum)) break;
    }
    return sum;
}

}  // namespace

double hyp2f1(double a, double b, double c, double z) noexcept {
    if (std::isnan(a) || std::isnan(b) || std::isnan(c) || !(z < 1.0)) return std::numeric_limits<double>::quiet_NaN();
    if (c <= 0.0 && c == std::floor(c)) return std::numeric_limits<double>::quiet_NaN();
    if (z == 0.0) return 1.0;
    if (z < 0.0) {  // Pfaff: (1 - z)^(-a) 2F1(a, c - b; c; z / (z - 1)), argument in (0, 1)
        const double w = z / (z - 1.0);
        return std::exp(-a * std::log1p(-z)) * hypergeometric_tail(a, c - b, c, w, 0, 1.0, 1.0);
    }
    return hypergeometric_tail(a, b, c, z, 0, 1.0, 1.0);
}

double hyp2f1_rest_over_b(double a, double b, double c, double z) noexcept {
    if (z == 0.0) return 0.0;
    return hypergeometric_tail(a, b, c, z, 1, a * z, a * z);
}

// ---- arrays ----

namespace {

using lanes::f64x4;

template <f64x4 (*Kernel)(const f64x4&)>
SEGMORA_INLINE void apply(const double* in, double* out, std::size_t n, double filler) noexcept {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) lanes::store4(out + i, Kernel(lanes::load4(in + i)));
    if (i < n) {
        double tail[4] = {filler, filler, filler, filler};
        std::memcpy(tail, in + i, (n - i) * sizeof(double));
        const f64x4 v = Kernel(lanes::load4(tail));
        std::memcpy(tail, &v, sizeof tail);
        std::memcpy(out + i, tail, (n - i) * sizeof(double));
    }
}

}  // namespace

SEGMORA_TARGET_CLONES void log_array(const double* in, double* out, std::size_t n) noexcept {
    apply<lanes::log_kernel>(in, out, n, 1.0);
}

SEGMORA_TARGET_CLONES void exp_array(const double* in, double* out, std::size_t n) noexcept {
    apply<lanes::exp_kernel>(in, out, n, 0.0);
}

SEGMORA_TARGET_CLONES void log1p_array(const double* in, double* out, std::size_t n) noexcept {
    apply<lanes::log1p_kernel>(in, out, n, 0.0);
}

}  // namespace segmora::engine
