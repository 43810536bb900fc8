#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/clustering.hpp"
#include "engine/random.hpp"
#include "engine/weights.hpp"
#include "error.hpp"

using namespace segmora::engine;

namespace {

double plain_sum(double s, double x, std::uint64_t w) {
    for (std::uint64_t i = 0; i < w; ++i) s += x;
    return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

// Every case is checked against w separate additions, bit for bit.
TEST(AddRepeated, EqualsOneAdditionAtATime) {
    struct Case {
        double s, x;
        std::uint64_t w;
    };
    const std::vector<Case> cases = {
        {0.0, 0.1, 1'000'003},                      // grows through many binades
        {1.0, 0x1p-53, 100'000},                    // exact ties: stays at 1 (even)
        {1.0 + 0x1p-52, 0x1p-53, 100'000},          // odd start: one tie up, then stuck
        {1.0, 3 * 0x1p-53, 300'001},                // ties of an odd step: rounds up every time
        {1.0, 5 * 0x1p-53, 300'001},                // ties of an even step
        {-3.0, 0.37, 1'000'000},                    // crosses zero upwards
        {5e6, -0.9999999, 9'000'000},               // shrinks across binades and through zero
        {0.0, 4.9406564584124654e-324, 5'000'000},  // subnormal steps
        {-0x1p-1021, 0x1p-1070, 2'000'000},         // lowest binades, both signs
        {1e308, 1e306, 200},                        // overflows to infinity
        {0.0, -0.0, 50},                            // signed zeros
        {-0.0, -0.0, 50},
        {123.456, 0.0, 10'000},
        {0.5, 1e-17, 1'000'000},                    // lost in rounding
        {0.0, 1.0, 3'000'000},                      // exact integers
    };
    for (const Case& c : cases) {
        const double expected = plain_sum(c.s, c.x, c.w);
        EXPECT_TRUE(same_bits(add_repeated(c.s, c.x, c.w), expected)) << c.s << " + " << c.x << " x " << c.w;
    }
    ChaCha12Rng rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        const double s = (rng.uniform_float(2.0) - 1.0) * std::ldexp(1.0, static_cast<int>(rng.uniform_index(40)) - 20);
        const double x = (rng.uniform_float(2.0) - 1.0) * std::ldexp(1.0, static_cast<int>(rng.uniform_index(40)) - 30);
        const std::uint64_t w = rng.uniform_index(20'000);
        EXPECT_TRUE(same_bits(add_repeated(s, x, w), plain_sum(s, x, w))) << s << " + " << x << " x " << w;
    }
}

TEST(RowWeights, RefusesBadWeights) {
    struct Case {
        std::vector<double> w;
        const char* text;
    };
    const std::vector<Case> cases = {
        {{1.0, 2.0}, "Data validation error: sample_weight has 2 entries but data has 3 rows"},
        {{1.0, -1.0, 2.0}, "Data validation error: sample_weight must be finite and >= 0, got -1 at row 1"},
        {{1.0, NAN, 2.0}, "Data validation error: sample_weight must be finite and >= 0, got NaN at row 1"},
        {{0.0, 0.0, 0.0}, "Data validation error: sample_weight is zero for every row"},
        {{1e308, 1e308, 0.5}, "Data validation error: sample_weight sums past the double range"},
    };
    for (const Case& c : cases) {
        try {
            RowWeights weights(c.w, 3);
            ADD_FAILURE() << c.text;
        } catch (const segmora::SegmoraError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}

// Whole weights give exactly the fit of the repeated rows, whatever the seed
// and however many runs; zero weights drop rows.
TEST(KMeans, WholeWeightsEqualRepeatedRows) {
    ChaCha12Rng rng(3);
    const std::size_t n = 300, d = 3;
    Matrix data(n, d);
    std::vector<double> weights(n);
    std::vector<double> repeated;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) data(i, j) = rng.uniform_float(1.0) + 3.0 * static_cast<double>(i % 5);
        weights[i] = static_cast<double>(rng.uniform_index(4));
        for (std::uint64_t copy = 0; copy < static_cast<std::uint64_t>(weights[i]); ++copy)
            repeated.insert(repeated.end(), data.row(i).begin(), data.row(i).end());
    }
    const Matrix copies(repeated.size() / d, d, repeated);
    for (std::uint64_t seed : {0, 1, 2, 3}) {
        KMeansOptions options;
        options.weights = &weights;
        options.n_init = 1 + seed;
        const KMeansResult ours = kmeans(data, 6, 100, seed, 2, options);
        KMeansOptions plain;
        plain.n_init = 1 + seed;
        const KMeansResult theirs = kmeans(copies, 6, 100, seed, 1, plain);
        EXPECT_EQ(ours.centers, theirs.centers);
        EXPECT_TRUE(same_bits(ours.inertia, theirs.inertia));
        EXPECT_EQ(ours.n_iter, theirs.n_iter);
        std::vector<std::uint64_t> expanded;
        for (std::size_t i = 0; i < n; ++i) expanded.insert(expanded.end(), static_cast<std::size_t>(weights[i]), ours.labels[i]);
        EXPECT_EQ(expanded, theirs.labels);
    }
}

// Run r starts from the r-th successive seeding of the one generator; the first
// run of least inertia is kept.
TEST(KMeans, RestartsContinueOneGeneratorAndKeepTheFirstBest) {
    ChaCha12Rng data_rng(8);
    Matrix data(400, 2);
    for (std::size_t i = 0; i < data.rows(); ++i)
        for (std::size_t j = 0; j < 2; ++j) data(i, j) = data_rng.uniform_float(1.0) + 4.0 * static_cast<double>(i % 7);
    ChaCha12Rng rng(21);
    KMeansResult best;
    for (std::uint64_t run = 0; run < 6; ++run) {
        const Matrix seeds = kmeans_plus_plus_init(data, 7, rng).first;
        KMeansOptions from_seeds;
        from_seeds.init = &seeds;
        KMeansResult result = kmeans(data, 7, 50, 999, 1, from_seeds);
        if (run == 0 || result.inertia < best.inertia) best = std::move(result);
        KMeansOptions options;
        options.n_init = run + 1;
        const KMeansResult ours = kmeans(data, 7, 50, 21, 2, options);
        EXPECT_EQ(ours.centers, best.centers) << run;
        EXPECT_EQ(ours.labels, best.labels);
        EXPECT_TRUE(same_bits(ours.inertia, best.inertia));
    }
}

TEST(KMeans, OptionErrorsComeAfterTheDataChecks) {
    const Matrix data(4, 2, std::vector<double>{0, 0, 1, 1, 5, 5, 6, 6});
    const Matrix wrong(2, 3);
    Matrix bad(2, 2);
    bad(1, 0) = INFINITY;
    const std::vector<double> weights = {1, 1};
    struct Case {
        KMeansOptions options;
        std::uint64_t k;
        const char* text;
    };
    std::vector<Case> cases(5);
    cases[0] = {{}, 5, "Invalid configuration: n_clusters (5) cannot exceed number of data points (4)"};
    cases[0].options.n_init = 0;
    cases[1] = {{}, 2, "Invalid configuration: n_init must be > 0"};
    cases[1].options.n_init = 0;
    cases[2] = {{}, 2, "Invalid configuration: init has 2 x 3 centers but the fit needs 2 x 2"};
    cases[2].options.init = &wrong;
    cases[3] = {{}, 2, "Data validation error: data contains a non-finite value (inf) at row 1, column 0"};
    cases[3].options.init = &bad;
    cases[4] = {{}, 2, "Data validation error: sample_weight has 2 entries but data has 4 rows"};
    cases[4].options.weights = &weights;
    for (const Case& c : cases) {
        try {
            kmeans(data, c.k, 10, 0, 1, c.options);
            ADD_FAILURE() << c.text;
        } catch (const segmora::SegmoraError& e) {
            EXPECT_STREQ(e.what(), c.text);
        }
    }
}
