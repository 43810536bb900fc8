// Two-sample drift tests with p-values, and binned stability measures.
//
// Samples arrive sorted ascending without NaN (drop_nan_and_sort makes them so;
// a missing value is never part of a sample) and non-empty; counts arrive as
// aligned rows, one entry per category or bin. Results:
//   - ks_test: the two-sided Kolmogorov-Smirnov statistic max |Fb - Fc| and its
//     p-value, exact (lattice paths) when neither sample has more than 10,000
//     values, else from the Kolmogorov distribution of the effective size
//     round(nb nc / (nb + nc));
//   - chi_square_test: the test of homogeneity of the 2 x C table of two count
//     rows (categories counted on neither side left out);
//   - wasserstein: the area between the two empirical CDFs;
//   - quantile_edges / bin_counts: the baseline's quantile cut points and the
//     counts per bin [edge_{k-1}, edge_k), open at both ends;
//   - population_stability_index (proportions floored at kPsiFloor) and
//     jensen_shannon_distance (base 2, in [0, 1]) over such counts.
// Everything is a pure function of its inputs, exact to the last few ulps where
// a closed form exists; long loops on the calling thread poll for interrupts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace segmora::engine {

struct TestResult {
    double statistic = 0.0;
    double p_value = 1.0;
};

// Samples larger than this (on either side) take the asymptotic KS p-value.
inline constexpr std::size_t kKsExactUpTo = 10000;

// The merged walk over both samples runs on up to `workers` threads (two at
// most, and only for large samples); the result is the same for any count.
TestResult ks_test(std::span<const double> baseline, std::span<const double> current, std::size_t workers = 2);

// Over the last copy of every value in the merged order of sorted b and c (no
// NaN), with i and j counting the values of each side <= it: the widest exact
// gap |i nc - j nb|, and the largest |i / nb - j / nc| in floating point among
// the places that reach it. nb >= b.size() and nc >= c.size() may count values
// beyond b and c that sort after all of them (NaNs, say). The walk is cut into
// stretches at even steps of the merged order, walked side by side; with
// `workers` >= 2 and large samples, half of them on each of two threads. Long
// walks poll for interrupts.
struct CdfGap {
    std::uint64_t widest = 0;
    double statistic = 0.0;
};
CdfGap widest_cdf_gap(std::span<const double> b, std::span<const double> c, std::uint64_t nb, std::uint64_t nc,
                      std::size_t workers = 1);

// P(D >= h / lcm(m, n)) for the two-sided statistic D of samples of m and n
// values drawn from one continuous distribution: the share of monotone lattice
// paths from (0, 0) to (m, n) that reach |i n - j m| >= h gcd(m, n).
double ks_exact_p(std::uint64_t m, std::uint64_t n, std::uint64_t h);

// P(D_n >= d) for the two-sided one-sample statistic D_n of n values: exact
// (Durbin's matrix) where it is cheap, Pelz and Good's expansion in the middle
// of the range, twice the one-sided upper tail far out (Simard and L'Ecuyer's
// choice of method by n and n d^2).
double kolmogorov_sf(std::uint64_t n, double d);

// P(X >= x) for a chi-square variable with `dof` > 0 degrees of freedom: the
// regularised upper incomplete gamma function Q(dof / 2, x / 2).
double chi_square_sf(double x, double dof);

// Rows of equal length; each must have a positive total.
TestResult chi_square_test(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current);

double wasserstein(std::span<const double> baseline, std::span<const double> current);

// Quantiles of `sorted` at k / bins (k = 1 .. bins - 1) by linear interpolation
// between order statistics, equal ones merged.
std::vector<double> quantile_edges(std::span<const double> sorted, std::size_t bins);

// How many values of `sorted` fall in each of the edges.size() + 1 bins.
std::vector<std::uint64_t> bin_counts(std::span<const double> sorted, std::span<const double> edges);

// Smallest proportion a bin counts with in the stability index (an empty bin
// would make it infinite).
inline constexpr double kPsiFloor = 1e-4;

// Sum over bins of (c - b) ln(c / b), b and c the proportions, each at least kPsiFloor.
double population_stability_index(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current);

// Square root of the Jensen-Shannon divergence (base 2) of the two proportions.
double jensen_shannon_distance(std::span<const std::uint64_t> baseline, std::span<const std::uint64_t> current);

}  // namespace segmora::engine
