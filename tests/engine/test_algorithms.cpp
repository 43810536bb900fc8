// Distance metrics, the sequential k-means and the combined quality score.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/algorithms.hpp"
#include "engine/quality_metrics.hpp"
#include "error.hpp"

using namespace segmora;
using namespace segmora::engine;
using algorithms::DistanceMetric;
using algorithms::KMeans;

namespace {

Matrix rows(std::size_t n, std::size_t d, std::vector<double> v) { return Matrix(n, d, std::move(v)); }

double dist(DistanceMetric m, std::vector<double> a, std::vector<double> b) { return algorithms::distance(m, a, b); }

// Row i is (i, i * i): distinct rows, no ties.
Matrix ramp(std::size_t n) {
    Matrix m(n, 2);
    for (std::size_t i = 0; i < n; ++i) {
        m(i, 0) = static_cast<double>(i);
        m(i, 1) = static_cast<double>(i * i);
    }
    return m;
}

}  // namespace

TEST(Distance, CosineAndTheCommonLength) {
    EXPECT_EQ(dist(DistanceMetric::Cosine, {0, 0}, {1, 2}), 0.0);
    EXPECT_EQ(dist(DistanceMetric::Cosine, {1, 0}, {0, 1}), 1.0);
    EXPECT_NEAR(dist(DistanceMetric::Cosine, {1, 2}, {2, 4}), 0.0, 1e-15);
    EXPECT_EQ(dist(static_cast<DistanceMetric>(7), {1, 0}, {0, 1}), 1.0);  // an unknown byte acts as cosine
    // Unequal lengths walk the common prefix.
    EXPECT_EQ(dist(DistanceMetric::Euclidean, {1, 2, 3}, {4, 6}), 5.0);
    EXPECT_EQ(dist(DistanceMetric::Manhattan, {1, 2, 3}, {4, 6}), 7.0);
    // Cosine norms take each whole vector: dot 1, norms sqrt(2) and 1.
    EXPECT_DOUBLE_EQ(dist(DistanceMetric::Cosine, {1, 1}, {1}), 1.0 - 1.0 / std::sqrt(2.0));
}

TEST(SequentialKMeans, InitialCentersAreEvenlySpaced) {
    const auto r = KMeans{3, 0, 42, DistanceMetric::Euclidean}.fit(ramp(10));
    EXPECT_EQ(r.n_iter, 0u);
    EXPECT_EQ(r.inertia, std::numeric_limits<double>::max());
    EXPECT_EQ(r.labels, std::vector<std::uint64_t>(10, 0));
    EXPECT_EQ(r.centers, rows(3, 2, {0, 0, 3, 9, 6, 36}));  // rows 0, 3 and 6
}

TEST(SequentialKMeans, EveryRowItsOwnCenterStopsAtTheSecondIteration) {
    const Matrix data = ramp(5);
    const auto r = KMeans{5, 300, 42, DistanceMetric::Euclidean}.fit(data);
    EXPECT_EQ(r.n_iter, 2u);
    EXPECT_EQ(r.inertia, 0.0);
    EXPECT_EQ(r.labels, (std::vector<std::uint64_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(r.centers, data);
}

TEST(SequentialKMeans, EmptyClustersRestartAtRowSevenCModN) {
    // Rows 0-2 coincide, so all initial centers tie and every row joins cluster 0.
    const Matrix data = rows(5, 2, {0, 0, 0, 0, 0, 0, 1, 1, 5, 5});
    const auto r = KMeans{3, 1, 42, DistanceMetric::Euclidean}.fit(data);
    EXPECT_EQ(r.n_iter, 1u);
    EXPECT_EQ(r.labels, std::vector<std::uint64_t>(5, 0));
    EXPECT_EQ(r.centers(0, 0), 6.0 / 5.0);
    EXPECT_EQ(r.centers(1, 0), data(2, 0));  // (7 * 1) mod 5 = 2
    EXPECT_EQ(r.centers(2, 0), data(4, 0));  // (7 * 2) mod 5 = 4
    EXPECT_EQ(r.centers(2, 1), 5.0);
}

TEST(SequentialKMeans, InvalidClusterCount) {
    for (std::uint64_t k : {0u, 5u}) {
        try {
            KMeans{k, 300, 42, DistanceMetric::Euclidean}.fit(ramp(4));
            FAIL() << "k = " << k;
        } catch (const SegmoraError& e) {
            EXPECT_STREQ(e.what(), "Invalid configuration: Invalid cluster count");
        }
    }
    EXPECT_THROW(KMeans{}.fit(Matrix()), SegmoraError);
}

TEST(SequentialKMeans, NonFiniteRowsKeepLabelZero) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Matrix data = rows(4, 1, {0, 10, nan, 11});
    const auto r = KMeans{2, 5, 42, DistanceMetric::Euclidean}.fit(data);
    EXPECT_EQ(r.labels[2], 0u);
    EXPECT_TRUE(std::isnan(r.inertia));
    EXPECT_EQ(r.n_iter, 5u);  // a NaN inertia never meets the stopping test
    // Centers repeat from the second pass: the remaining passes are skipped,
    // with the result they would give.
    for (std::uint64_t max_iter : {std::uint64_t{1000}, std::numeric_limits<std::uint64_t>::max()}) {
        const auto again = KMeans{2, max_iter, 42, DistanceMetric::Euclidean}.fit(data);
        EXPECT_EQ(again.labels, r.labels);
        EXPECT_EQ(again.n_iter, max_iter);
        EXPECT_TRUE(std::isnan(again.inertia));
        EXPECT_EQ(std::memcmp(again.centers.data(), r.centers.data(), 2 * sizeof(double)), 0);
    }
}

TEST(SequentialKMeans, ManhattanInertiaSquaresTheDistance) {
    const auto r = KMeans{2, 300, 42, DistanceMetric::Manhattan}.fit(rows(4, 2, {0, 0, 1, 1, 10, 10, 11, 11}));
    EXPECT_EQ(r.labels, (std::vector<std::uint64_t>{0, 0, 1, 1}));
    EXPECT_EQ(r.inertia, 4.0);  // every row is at Manhattan distance 1 from its mean
}

TEST(SequentialKMeans, Deterministic) {
    Matrix data(200, 3);
    for (std::size_t i = 0; i < data.size(); ++i) data.data()[i] = std::sin(static_cast<double>(i) * 0.37) * 10;
    const auto a = KMeans{4}.fit(data), b = KMeans{4}.fit(data);
    EXPECT_EQ(a.labels, b.labels);
    EXPECT_EQ(a.centers, b.centers);
    EXPECT_EQ(a.inertia, b.inertia);
}

TEST(OverallScore, NanTerms) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // T1 = 50, T2 = 0 for a NaN Davies-Bouldin, T3 = 100 for a NaN Calinski-Harabasz.
    EXPECT_DOUBLE_EQ(quality_metrics::overall_score(0.0, nan, 0.0), 50.0 / 3.0);
    EXPECT_DOUBLE_EQ(quality_metrics::overall_score(0.0, 0.0, nan), 250.0 / 3.0);
    EXPECT_TRUE(std::isnan(quality_metrics::overall_score(nan, 0.0, 0.0)));
    EXPECT_EQ(quality_metrics::overall_score(0.0, 0.0, 0.0), 50.0);
    EXPECT_EQ(quality_metrics::overall_score(1.0, 25.0, 1e9), 200.0 / 3.0);
}
