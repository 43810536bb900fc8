#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>

#include "engine/clustering.hpp"
#include "engine/kprototypes.hpp"
#include "engine/random.hpp"
#include "error.hpp"

using namespace segmora::engine;

namespace {

// Four well separated groups of rows, with m category columns that mostly follow the group.
struct Mixed {
    Matrix numeric;
    CodeMatrix codes;
};

Mixed mixed(std::size_t n, std::size_t d, std::size_t m, std::uint64_t seed) {
    ChaCha12Rng rng(seed);
    Mixed out{Matrix(n, d), CodeMatrix{std::vector<std::uint64_t>(n * m), n, m}};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) out.numeric(i, j) = rng.uniform_float(1.0) + 6.0 * static_cast<double>(i % 4);
        for (std::size_t j = 0; j < m; ++j) out.codes.codes[i * m + j] = rng.uniform_index(5) == 0 ? rng.uniform_index(7) : i % 4;
    }
    return out;
}

std::string error_of(const auto& call) {
    try {
        call();
    } catch (const segmora::SegmoraError& e) {
        return e.what();
    }
    return "no error";
}

}  // namespace

TEST(KPrototypes, NumericOnlyLabelsEqualKMeansWhileNoClusterEmpties) {
    const Mixed data = mixed(3000, 3, 0, 1);
    for (std::uint64_t seed : {0u, 7u, 42u}) {
        const KMeansResult km = kmeans(data.numeric, 4, 300, seed, 1);
        const KPrototypesResult kp = kprototypes_fit(data.numeric, nullptr, 4, 300, seed, 2);
        EXPECT_EQ(kp.labels, km.labels);
        EXPECT_EQ(kp.centers, km.centers);
        EXPECT_EQ(kp.n_iter, km.n_iter);
        EXPECT_EQ(std::memcmp(&kp.cost, &km.inertia, sizeof(double)), 0);
        EXPECT_EQ(kp.modes.codes.size(), 0u);
    }
}

TEST(KPrototypes, GammaIsRootMeanVarianceWithAFloor) {
    Matrix constant(5, 3);
    for (std::size_t i = 0; i < 5; ++i) constant(i, 1) = 7.5;
    EXPECT_EQ(kprototypes_gamma(constant), 1e-9);
    EXPECT_EQ(kprototypes_gamma(Matrix(4, 0)), 1e-9);
    Matrix spread(2, 2);  // every column has variance 4
    spread(0, 0) = -2.0, spread(1, 0) = 2.0, spread(0, 1) = 1.0, spread(1, 1) = 5.0;
    EXPECT_EQ(kprototypes_gamma(spread), 2.0);
}

TEST(KPrototypes, OneMismatchCostsGamma) {
    Matrix numeric(2, 1);  // variance 4: gamma 2
    numeric(0, 0) = -2.0, numeric(1, 0) = 2.0;
    const CodeMatrix codes{{0, 1}, 2, 1};
    const KPrototypesResult r = kprototypes_fit(numeric, &codes, 1, 10, 0, 1);
    EXPECT_EQ(r.gamma, 2.0);
    EXPECT_EQ(r.modes.codes, std::vector<std::uint64_t>{1});  // tie: the larger code
    EXPECT_EQ(r.cost, 4.0 + 4.0 + 2.0);
}

class ModeTie : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ModeTie, EquallyFrequentCodesGoToTheLargest) {
    const std::uint64_t base = GetParam();  // large codes take the ranked path
    const Matrix numeric(4, 1);
    const CodeMatrix codes{{base + 3, base + 3, base + 3, base + 3, base + 5, base + 3, base + 5, base + 5}, 4, 2};
    const KPrototypesResult r = kprototypes_fit(numeric, &codes, 1, 5, 3, 1);
    EXPECT_EQ(r.modes.codes, (std::vector<std::uint64_t>{base + 5, base + 3}));
}

INSTANTIATE_TEST_SUITE_P(Codes, ModeTie, testing::Values(0u, 1u << 20, ~std::uint64_t{0} - 10));

TEST(KPrototypes, BitIdenticalForEveryThreadCount) {
    const Mixed data = mixed(20011, 4, 3, 5);
    const KPrototypesResult ref = kprototypes_fit(data.numeric, &data.codes, 6, 50, 9, 1);
    for (int n_jobs : {2, 3, -1}) {
        const KPrototypesResult r = kprototypes_fit(data.numeric, &data.codes, 6, 50, 9, n_jobs);
        EXPECT_EQ(r.labels, ref.labels);
        EXPECT_EQ(r.centers, ref.centers);
        EXPECT_EQ(r.modes.codes, ref.modes.codes);
        EXPECT_EQ(std::memcmp(&r.cost, &ref.cost, sizeof(double)), 0);
        EXPECT_EQ(r.n_iter, ref.n_iter);
    }
    EXPECT_EQ(kprototypes(data.numeric, &data.codes, 6, 50, 9, 2), ref.labels);
}

TEST(KPrototypes, MaxIterZeroGivesZerosAndTheSeedModes) {
    const Mixed data = mixed(50, 2, 2, 3);
    const KPrototypesResult r = kprototypes_fit(data.numeric, &data.codes, 3, 0, 4, 1);
    EXPECT_EQ(r.labels, std::vector<std::uint64_t>(50, 0));
    EXPECT_EQ(r.n_iter, 0u);
    ChaCha12Rng rng(4);
    const auto [seeds, chosen] = kmeans_plus_plus_init(data.numeric, 3, rng);
    EXPECT_EQ(r.centers, seeds);
    for (std::size_t c = 0; c < 3; ++c)
        for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(r.modes.codes[c * 2 + j], data.codes(chosen[c], j));
}

TEST(KPrototypes, ValidationOrder) {
    Matrix one(1, 1);
    const CodeMatrix two_rows{{0, 1}, 2, 1};
    Matrix nan_row(2, 1);
    nan_row(1, 0) = std::nan("");
    EXPECT_EQ(error_of([&] { kprototypes(Matrix(), &two_rows, 0, 1, 0, 1); }),
              "Invalid configuration: n_clusters must be > 0");
    EXPECT_EQ(error_of([&] { kprototypes(Matrix(), &two_rows, 1, 1, 0, 1); }), "Data validation error: data has no rows");
    EXPECT_EQ(error_of([&] { kprototypes(one, &two_rows, 2, 1, 0, 1); }),
              "Invalid configuration: n_clusters (2) cannot exceed number of data points (1)");
    EXPECT_EQ(error_of([&] { kprototypes(one, &two_rows, 1, 1, 0, 1); }),
              "Data validation error: categorical data has 2 rows but numeric data has 1 rows");
    EXPECT_EQ(error_of([&] { kprototypes(nan_row, &two_rows, 1, 1, 0, 1); }),
              "Data validation error: data contains a non-finite value (NaN) at row 1, column 0");
}

// The segmenter's path: labels from kprototypes, centers as label means, predict
// by the nearest center.
TEST(KPrototypesSegmenter, CentersAreLabelMeansAndPredictFollowsThem) {
    const Mixed data = mixed(400, 3, 0, 8);
    const auto labels = kprototypes(data.numeric, nullptr, 4, 300, 42, 2);
    const Matrix centers = centers_from_labels(data.numeric, labels, 4);
    EXPECT_EQ(centers, kmeans(data.numeric, 4, 300, 42, 1).centers);
    EXPECT_EQ(assign_to_clusters(data.numeric, centers), labels);

    Matrix rows(2, 1);
    rows(0, 0) = 1.0, rows(1, 0) = 3.0;
    Matrix expected(3, 1);
    expected(1, 0) = 2.0;  // clusters 0 and 2 have no rows: zeros
    EXPECT_EQ(centers_from_labels(rows, {1, 1}, 3), expected);
}

// Modes are the most frequent code of each cluster's final rows, whether codes
// are few (one tally table) or nearly all distinct (rows tallied cluster by cluster).
class ModesOfFinalLabels : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ModesOfFinalLabels, AreTheLargestMostFrequentCode) {
    const std::uint64_t distinct = GetParam();
    Mixed data = mixed(20000, 2, 2, 17);
    for (std::size_t i = 0; i < data.codes.rows; ++i) data.codes.codes[i * 2] = (i * 7919) % distinct;
    const KPrototypesResult r = kprototypes_fit(data.numeric, &data.codes, 8, 300, 1, 2);
    for (std::size_t c = 0; c < 8; ++c) {
        for (std::size_t j = 0; j < 2; ++j) {
            std::map<std::uint64_t, std::size_t> count;
            for (std::size_t i = 0; i < data.codes.rows; ++i)
                if (r.labels[i] == c) ++count[data.codes(i, j)];
            ASSERT_FALSE(count.empty());
            auto best = count.begin();
            for (auto it = count.begin(); it != count.end(); ++it)
                if (it->second >= best->second) best = it;
            EXPECT_EQ(r.modes(c, j), best->first) << c << " " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ModesOfFinalLabels, testing::Values(3u, 20000u));
