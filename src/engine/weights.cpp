#include "engine/weights.hpp"

#include <cmath>

#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

// The stretch of doubles around a value that share one spacing 2^exponent:
// one binade of one sign, or every value below 2^-1021 in magnitude (the
// subnormals and the lowest binade, both signs, zero included). Inside it a
// double is m x 2^exponent for an integer m; [lo, hi] keeps two steps of the
// grid clear of the stretch's edges, where the spacing changes.
struct Grid {
    int exponent = 0;
    std::int64_t lo = 0, hi = 0;
    bool operator==(const Grid&) const = default;
};

constexpr std::int64_t k52 = std::int64_t{1} << 52;
constexpr std::int64_t k53 = std::int64_t{1} << 53;

Grid grid_of(double v) noexcept {
    if (std::fabs(v) < 0x1p-1021) return {-1074, -k53 + 3, k53 - 3};
    const int exponent = std::ilogb(v) - 52;
    if (v > 0) return {exponent, k52 + 2, k53 - 3};
    return {exponent, -k53 + 3, -k52 - 2};
}

}  // namespace

// On one grid, s + x rounds to s plus round(x / spacing) steps, a tie going to
// the even neighbour; once a sum is even (after any tie), every later tie adds
// the same number of steps too. So after three plain additions that stay on
// one grid, away from its edges, each further addition adds what the third
// did, for as many additions as keep the sum away from the edges.
double add_repeated(double s, double x, std::uint64_t w) noexcept {
    constexpr std::uint64_t kPlain = 8;
    while (w > 0) {
        if (w <= kPlain) {
            for (; w > 0; --w) s += x;
            return s;
        }
        const double t1 = s + x, t2 = t1 + x, t3 = t2 + x;
        w -= 3;
        s = t3;
        // A sum that no longer moves (x lost in rounding, or infinite) stays.
        if (t3 == t2 || !std::isfinite(t3)) return t3;
        const Grid g = grid_of(t1);
        if (!(grid_of(t2) == g && grid_of(t3) == g)) continue;
        const auto m2 = static_cast<std::int64_t>(std::ldexp(t2, -g.exponent));
        const auto m3 = static_cast<std::int64_t>(std::ldexp(t3, -g.exponent));
        if (m2 < g.lo || m2 > g.hi || m3 < g.lo || m3 > g.hi) continue;
        const std::int64_t step = m3 - m2;
        const auto room = static_cast<std::uint64_t>(step > 0 ? (g.hi - m3) / step : (m3 - g.lo) / -step);
        const std::uint64_t n = room < w ? room : w;
        s = std::ldexp(static_cast<double>(m3 + static_cast<std::int64_t>(n) * step), g.exponent);
        w -= n;
    }
    return s;
}

RowWeights::RowWeights(std::span<const double> weights, std::size_t n) : w_(weights) {
    if (weights.size() != n)
        throw SegmoraError::data_validation(
            format("sample_weight has {} entries but data has {} rows", weights.size(), n));
    bool any = false;
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = weights[i];
        if (!(v >= 0.0) || !std::isfinite(v))
            throw SegmoraError::data_validation(format("sample_weight must be finite and >= 0, got {} at row {}", v, i));
        if (v > 0.0) {
            any = true;
            last_ = i;
        }
        all_ones_ = all_ones_ && v == 1.0;
        whole_ = whole_ && v == std::floor(v) && v <= 0x1p53;
        total += v;
    }
    if (!any) throw SegmoraError::data_validation("sample_weight is zero for every row");
    if (whole_) {
        // Counts of rows up to 2^53 stay exact as doubles.
        constexpr std::uint64_t kMaxCopies = std::uint64_t{1} << 53;
        copies_.resize(n);
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < n && whole_; ++i) {
            copies_[i] = static_cast<std::uint64_t>(weights[i]);
            sum += copies_[i];
            whole_ = sum <= kMaxCopies;
        }
    }
    if (!whole_) {
        copies_.clear();
        if (!std::isfinite(total)) throw SegmoraError::data_validation("sample_weight sums past the double range");
    }
}

}  // namespace segmora::engine
