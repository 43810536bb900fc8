#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "engine/clustering.hpp"
#include "engine/kprototypes.hpp"
#include "engine/random.hpp"
#include "error.hpp"

using namespace segmora::engine;

namespace {

// Four separated groups; category columns follow the group four times in five.
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

}  // namespace

TEST(KPrototypes, NumericOnlyEqualsKMeansWhileNoClusterEmpties) {
    const Mixed data = mixed(3000, 3, 0, 1);
    for (std::uint64_t seed : {0u, 7u, 42u}) {
        const KMeansResult km = kmeans(data.numeric, 4, 300, seed, 1);
        const KPrototypesResult kp = kprototypes_fit(data.numeric, nullptr, 4, 300, seed, 2);
        EXPECT_EQ(kp.labels, km.labels);
        EXPECT_EQ(kp.centers, km.centers);
        EXPECT_EQ(kp.n_iter, km.n_iter);
        EXPECT_EQ(std::memcmp(&kp.cost, &km.inertia, sizeof(double)), 0);
    }
}

TEST(KPrototypes, GammaAndTheCostOfAMismatch) {
    Matrix constant(5, 3);
    for (std::size_t i = 0; i < 5; ++i) constant(i, 1) = 7.5;
    EXPECT_EQ(kprototypes_gamma(constant), 1e-9);
    EXPECT_EQ(kprototypes_gamma(Matrix(4, 0)), 1e-9);
    const Matrix numeric(2, 2, std::vector<double>{-2.0, 1.0, 2.0, 5.0});  // every column has variance 4: gamma 2
    const CodeMatrix codes{{0, 1}, 2, 1};
    const KPrototypesResult r = kprototypes_fit(numeric, &codes, 1, 10, 0, 1);
    EXPECT_EQ(r.gamma, 2.0);
    EXPECT_EQ(r.cost, 8.0 + 8.0 + 2.0);  // one row differs from the mode
}

// Duplicate rows make k-means++ pick one row twice; the second copy's cluster
// gets no rows and, unlike in kmeans, is never refilled: it keeps its seed.
TEST(KPrototypes, AnEmptiedClusterKeepsItsPrototype) {
    const Matrix data(5, 1, std::vector<double>{3.0, 3.0, 3.0, 3.0, 5.0});
    const CodeMatrix codes{{0, 0, 0, 0, 1}, 5, 1};
    std::size_t emptied = 0;
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const KPrototypesResult r = kprototypes_fit(data, &codes, 3, 50, seed, 1);
        ChaCha12Rng rng(seed);
        const auto [seeds, chosen] = kmeans_plus_plus_init(data, 3, rng);
        for (std::uint64_t c = 0; c < 3; ++c) {
            if (std::count(r.labels.begin(), r.labels.end(), c) > 0) continue;
            ++emptied;
            EXPECT_EQ(r.centers(c, 0), seeds(c, 0));
            EXPECT_EQ(r.modes(c, 0), codes(chosen[c], 0));
        }
    }
    EXPECT_GT(emptied, 0u);
}

class ModeTie : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ModeTie, EquallyFrequentCodesGoToTheLargest) {
    const std::uint64_t base = GetParam();  // large codes are ranked first
    const CodeMatrix codes{{base + 3, base + 3, base + 3, base + 3, base + 5, base + 3, base + 5, base + 5}, 4, 2};
    const KPrototypesResult r = kprototypes_fit(Matrix(4, 1), &codes, 1, 5, 3, 1);
    EXPECT_EQ(r.modes.codes, (std::vector<std::uint64_t>{base + 5, base + 3}));
}

INSTANTIATE_TEST_SUITE_P(Codes, ModeTie, testing::Values(0u, 1u << 20, ~std::uint64_t{0} - 10));

// Few codes (one tally table) or nearly all distinct (rows tallied cluster by
// cluster): the same result for every n_jobs, modes the most frequent code of
// each cluster's final rows.
class ThreadsAndModes : public testing::TestWithParam<std::uint64_t> {};

TEST_P(ThreadsAndModes, BitIdenticalAndModesFollowTheFinalLabels) {
    Mixed data = mixed(20000, 2, 2, 17);
    for (std::size_t i = 0; i < data.codes.rows; ++i) data.codes.codes[i * 2] = (i * 7919) % GetParam();
    const KPrototypesResult ref = kprototypes_fit(data.numeric, &data.codes, 8, 300, 1, 1);
    for (int n_jobs : {2, 3}) {
        const KPrototypesResult r = kprototypes_fit(data.numeric, &data.codes, 8, 300, 1, n_jobs);
        EXPECT_EQ(r.labels, ref.labels);
        EXPECT_EQ(r.centers, ref.centers);
        EXPECT_EQ(r.modes.codes, ref.modes.codes);
        EXPECT_EQ(std::memcmp(&r.cost, &ref.cost, sizeof(double)), 0);
    }
    for (std::size_t c = 0; c < 8; ++c) {
        for (std::size_t j = 0; j < 2; ++j) {
            std::map<std::uint64_t, std::size_t> count;
            for (std::size_t i = 0; i < data.codes.rows; ++i) count[data.codes(i, j)] += ref.labels[i] == c;
            auto best = count.begin();
            for (auto it = count.begin(); it != count.end(); ++it) best = it->second >= best->second ? it : best;
            EXPECT_EQ(ref.modes(c, j), best->first) << c << " " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Codes, ThreadsAndModes, testing::Values(3u, 20000u));

TEST(KPrototypes, RefusesCategoricalRowsOfAnotherCount) {
    const CodeMatrix two_rows{{0, 1}, 2, 1};
    try {
        kprototypes(Matrix(1, 1), &two_rows, 1, 1, 0, 1);
        FAIL();
    } catch (const segmora::SegmoraError& e) {
        EXPECT_STREQ(e.what(), "Data validation error: categorical data has 2 rows but numeric data has 1 rows");
    }
}

// The segmenter's path: labels from kprototypes, centers as label means (zeros
// for an empty cluster), predict by the nearest center.
TEST(KPrototypesSegmenter, CentersAreLabelMeansAndPredictFollowsThem) {
    const Mixed data = mixed(400, 3, 0, 8);
    const auto labels = kprototypes(data.numeric, nullptr, 4, 300, 42, 2);
    const Matrix centers = centers_from_labels(data.numeric, labels, 4);
    EXPECT_EQ(centers, kmeans(data.numeric, 4, 300, 42, 1).centers);
    EXPECT_EQ(assign_to_clusters(data.numeric, centers), labels);
    EXPECT_EQ(centers_from_labels(Matrix(2, 1, std::vector<double>{1.0, 3.0}), {1, 1}, 3),
              Matrix(3, 1, std::vector<double>{0.0, 2.0, 0.0}));
}
