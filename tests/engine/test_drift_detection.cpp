// Drift statistics the Python surface cannot see: the summaries stored in each
// FeatureDrift, the NaN order of the sorts, and the merge walk against a direct
// per-value count.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include "engine/drift_detection.hpp"

namespace segmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The statistic by definition: for every value, count both samples' values <= it
// (NaN counted as larger than every number and equal to NaN).
double ks_by_counting(const std::vector<double>& b, const std::vector<double>& c) {
    if (b.empty() || c.empty()) return 0.0;
    auto le = [](double x, double v) { return std::isnan(v) || (!std::isnan(x) && x <= v); };
    auto cdf = [&](const std::vector<double>& xs, double v) {
        std::size_t n = 0;
        for (double x : xs) n += le(x, v);
        return static_cast<double>(n) / static_cast<double>(xs.size());
    };
    double d = 0.0;
    for (const auto* sample : {&b, &c})
        for (double v : *sample) d = std::fmax(d, std::fabs(cdf(b, v) - cdf(c, v)));
    return d;
}

TEST(DriftKs, MergeWalkEqualsCountingWithTiesAndNaN) {
    std::mt19937_64 gen(7);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t nb = 1 + gen() % 600, nc = 1 + gen() % 600;  // both sides of the radix threshold
        auto draw = [&](std::size_t n) {
            std::vector<double> xs(n);
            for (double& x : xs) {
                const auto r = gen() % 40;
                x = r == 0 ? kNaN : r == 1 ? -0.0 : static_cast<double>(static_cast<int>(r) - 20) / 4.0;
            }
            return xs;
        };
        const auto b = draw(nb), c = draw(nc);
        ASSERT_EQ(DriftDetector::kolmogorov_smirnov(b, c), ks_by_counting(b, c)) << trial;
    }
}

TEST(DriftSort, RadixAndComparisonSortsAgreeAndPutNaNLast) {
    std::mt19937_64 gen(3);
    std::vector<double> xs(5000);
    for (double& x : xs) x = std::ldexp(static_cast<double>(gen() % 2001) - 1000.0, static_cast<int>(gen() % 40) - 20);
    xs[17] = kNaN;
    xs[4000] = -std::numeric_limits<double>::infinity();
    xs[9] = std::numeric_limits<double>::infinity();
    const auto sorted = sorted_copy(xs);
    ASSERT_TRUE(std::isnan(sorted.back()));
    std::vector<double> expected(xs.begin(), xs.end());
    expected.erase(expected.begin() + 17);
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), sorted.begin()));
    EXPECT_TRUE(std::isnan(xs[17]));  // the input is not reordered
}

TEST(DistributionStats, NineNumbers) {
    struct Case { std::vector<double> xs; DistributionStats want; };
    const double s3 = std::sqrt(2.0 / 3.0);
    const std::vector<Case> cases = {
        {{}, {}},
        {{5.0}, {5, 0, 5, 5, 5, 5, 5, 0, 0}},
        {{3.0, 1.0, 2.0}, {2, s3, 1, 3, 2, 1, 3, 0, (2 * std::pow(1 / s3, 4)) / 3 - 3}},
        {{4.0, 1.0, 3.0, 2.0}, {2.5, std::sqrt(1.25), 1, 4, 2.5, 2, 4, 0, -1.36}},
    };
    for (const Case& c : cases) {
        const DistributionStats s = DistributionStats::of(c.xs);
        EXPECT_DOUBLE_EQ(s.mean, c.want.mean);
        EXPECT_DOUBLE_EQ(s.std, c.want.std);
        EXPECT_EQ(std::tie(s.min, s.max, s.median, s.q25, s.q75),
                  std::tie(c.want.min, c.want.max, c.want.median, c.want.q25, c.want.q75));
        EXPECT_NEAR(s.skewness, c.want.skewness, 1e-12);
        EXPECT_NEAR(s.kurtosis, c.want.kurtosis, 1e-12);
    }
}

TEST(DriftSeverity, GradesAtEachThresholdAndNaNIsCritical) {
    const std::vector<std::pair<double, DriftSeverity>> cases = {
        {-1.0, DriftSeverity::None},  {0.0999, DriftSeverity::None}, {0.1, DriftSeverity::Low},
        {0.2, DriftSeverity::Medium}, {0.35, DriftSeverity::High},   {0.5, DriftSeverity::Critical},
        {std::nextafter(0.35, 0.0), DriftSeverity::Medium}, {kNaN, DriftSeverity::Critical}};
    for (const auto& [score, severity] : cases) EXPECT_EQ(grade_drift(score), severity) << score;
}

TEST(DriftComposition, SizeDifferenceIsNotTruncated) {
    const std::uint64_t big = std::uint64_t{1} << 33;  // a 32-bit difference would wrap to 0
    const auto changes = segment_composition_change({{"a", 0}, {"b", big}}, {{"a", big}, {"b", 0}});
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].size_change_percent, 100.0);
    EXPECT_EQ(changes[1].size_change_percent, -100.0);
    EXPECT_EQ(changes[1].churn_rate, 1.0);
}

}  // namespace
}  // namespace segmora::engine
