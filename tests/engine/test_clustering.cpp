#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine/clustering.hpp"
#include "engine/random.hpp"
#include "engine/thread_pool.hpp"
#include "error.hpp"

using namespace segmora::engine;

namespace {

Matrix blobs(std::size_t n, std::size_t d, std::uint64_t seed) {
    ChaCha12Rng rng(seed);
    Matrix m(n, d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) m(i, j) = rng.uniform_float(1.0) + 5.0 * static_cast<double>(i % 4);
    return m;
}

}  // namespace

TEST(KMeansPlusPlus, ParallelDistanceUpdatesGiveTheSameSeeds) {
    const Matrix data = blobs(20000, 5, 9);
    ChaCha12Rng a(11), b(11);
    auto pool = build_thread_pool(3);
    const auto seq = kmeans_plus_plus_init(data, 6, a, nullptr);
    const auto par = kmeans_plus_plus_init(data, 6, b, pool.get());
    EXPECT_EQ(seq.first, par.first);
    EXPECT_EQ(seq.second, par.second);
}

TEST(KMeans, RefusesNonFiniteDataAfterTheShapeChecks) {
    Matrix data(3, 2);
    data(1, 1) = std::nan("");
    try {
        kmeans(data, 2, 10, 0, 1);
        FAIL();
    } catch (const segmora::SegmoraError& e) {
        EXPECT_EQ(e.kind(), segmora::ErrorKind::DataValidation);
        EXPECT_STREQ(e.what(), "Data validation error: data contains a non-finite value (NaN) at row 1, column 1");
    }
    // n_clusters errors still come first.
    EXPECT_THROW(kmeans(data, 0, 10, 0, 1), segmora::SegmoraError);
}

TEST(AssignToClusters, ErrorsAndTies) {
    EXPECT_THROW(assign_to_clusters(Matrix(2, 2), Matrix()), segmora::SegmoraError);
    EXPECT_THROW(assign_to_clusters(Matrix(2, 3), Matrix(2, 2)), segmora::SegmoraError);
    const Matrix centers(2, 1, std::vector<double>{-1.0, 1.0});
    EXPECT_EQ(assign_to_clusters(Matrix(1, 1), centers), std::vector<std::uint64_t>{0});  // equidistant: the lower index wins
    EXPECT_TRUE(assign_to_clusters(Matrix(0, 1), centers).empty());
}

TEST(KMeans, IdenticalForEveryThreadCountOverRepeatedRuns) {
    // Workers label chunks and hand them to whichever worker is summing; any
    // race in that hand-over would show up as a differing sum sooner or later.
    const Matrix data = blobs(50001, 2, 13);
    const KMeansResult ref = kmeans(data, 7, 15, 3, 1);
    for (int rep = 0; rep < 32; ++rep) {
        const int n_jobs = rep % 4 == 3 ? -1 : 2 + rep % 4;
        const KMeansResult r = kmeans(data, 7, 15, 3, n_jobs);
        ASSERT_EQ(r.labels, ref.labels) << rep;
        ASSERT_EQ(r.centers, ref.centers) << rep;
        ASSERT_EQ(std::memcmp(&r.inertia, &ref.inertia, sizeof(double)), 0) << rep;
        ASSERT_EQ(r.n_iter, ref.n_iter) << rep;
    }
}
