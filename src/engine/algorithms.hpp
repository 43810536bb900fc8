// Distance metrics and the small sequential k-means used by cluster evaluation.
//
// distance(metric, a, b) compares two vectors of any length: Euclidean and
// Manhattan walk the common length; Cosine takes each norm over its whole vector
// and is 0 when either norm is 0. KMeans::fit is a single-threaded Lloyd
// iteration with evenly spaced initial centers (rows 0, n/k, 2n/k, ...), no
// randomness, and a stop once the inertia changes by less than 1e-6. Its only
// error is InvalidConfig "Invalid cluster count" (no rows, k = 0 or k > rows).
// Equal inputs give bit-identical results; NaN or infinite data is not refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/matrix.hpp"

namespace segmora::engine::algorithms {

// Stored in one byte; any value other than Euclidean and Manhattan acts as Cosine.
enum class DistanceMetric : std::uint8_t { Euclidean = 0, Manhattan = 1, Cosine = 2 };

// out[c] = sum over j < d of (x[j] - cols[j * stride + c])^2 for c < count:
// squared Euclidean distances from x to `count` points stored feature-major,
// each sum in feature order from zero (built for AVX2 where the CPU has it).
void squared_distances(const double* x, std::size_t d, const double* cols, std::size_t stride, std::size_t count,
                       double* out) noexcept;

// The metric's distance between a and b; sums run in index order from zero.
double distance(DistanceMetric metric, std::span<const double> a, std::span<const double> b) noexcept;

// Result of KMeans::fit (a type of its own, same shape as the parallel engine's).
struct KMeansResult {
    std::vector<std::uint64_t> labels;  // cluster of every row, from the last assignment
    Matrix centers;                     // k x d, after the last update
    double inertia = 0.0;               // sum of squared metric distances to the own center
    std::uint64_t n_iter = 0;           // iterations run
};

struct KMeans {
    std::uint64_t n_clusters = 8;                       // k
    std::uint64_t max_iter = 300;                       // upper bound on iterations
    std::uint64_t seed = 42;                            // carried along; fit is deterministic without it
    DistanceMetric metric = DistanceMetric::Euclidean;  // for assignment and inertia

    // Lloyd iterations from rows c * (n / k). An empty cluster c restarts at row
    // (7c) mod n. Stops when |previous inertia - inertia| < 1e-6 or after
    // max_iter iterations (max_iter = 0: the initial centers, inertia DBL_MAX).
    KMeansResult fit(MatrixRef data) const;
};

}  // namespace segmora::engine::algorithms
