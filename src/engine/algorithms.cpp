#include "engine/algorithms.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/simd.hpp"
#include "error.hpp"
#include "interrupt.hpp"

namespace segmora::engine::algorithms {

SEGMORA_TARGET_CLONES
void squared_distances(const double* __restrict x, std::size_t d, const double* __restrict cols, std::size_t stride,
                       std::size_t count, double* __restrict out) noexcept {
    for (std::size_t c = 0; c < count; ++c) out[c] = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double xj = x[j];
        const double* cj = cols + j * stride;
        for (std::size_t c = 0; c < count; ++c) {
            const double diff = xj - cj[c];
            out[c] += diff * diff;
        }
    }
}

namespace {

constexpr double kMaxFinite = std::numeric_limits<double>::max();
constexpr double kTolerance = 1e-6;

// Euclidean distances of row x to all k centers (ct feature-major: ct[j * k + c]).
void euclidean_to_centers(const double* x, std::size_t d, const double* ct, std::size_t k, double* out) {
    squared_distances(x, d, ct, k, k, out);
    for (std::size_t c = 0; c < k; ++c) out[c] = std::sqrt(out[c]);
}

std::vector<double> feature_major(const Matrix& centers) {
    const std::size_t k = centers.rows(), d = centers.cols();
    std::vector<double> ct(k * d);
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) ct[j * k + c] = centers(c, j);
    return ct;
}

// Nearest center of every row: the first strictly smaller distance wins, starting
// from the largest finite double, so ties go to the lower index and a row whose
// distances are all NaN or infinite keeps label 0.
void assign(MatrixRef data, const Matrix& centers, DistanceMetric metric, std::vector<std::uint64_t>& labels) {
    const std::size_t n = data.rows(), d = data.cols(), k = centers.rows();
    std::vector<double> dist(k);
    const std::vector<double> ct = metric == DistanceMetric::Euclidean ? feature_major(centers) : std::vector<double>{};
    for (std::size_t i = 0; i < n; ++i) {
        if (metric == DistanceMetric::Euclidean) {
            euclidean_to_centers(data.data() + i * d, d, ct.data(), k, dist.data());
        } else {
            for (std::size_t c = 0; c < k; ++c) dist[c] = distance(metric, data.row(i), centers.row(c));
        }
        std::uint64_t label = 0;
        double best = kMaxFinite;
        for (std::size_t c = 0; c < k; ++c) {
            if (dist[c] < best) {
                best = dist[c];
                label = c;
            }
        }
        labels[i] = label;
    }
}

// Means of the rows of each cluster (sums in row order); an empty cluster c
// takes row (7c) mod n.
Matrix update(MatrixRef data, const std::vector<std::uint64_t>& labels, std::size_t k) {
    const std::size_t n = data.rows(), d = data.cols();
    Matrix centers(k, d);
    std::vector<std::uint64_t> counts(k, 0);
    for (std::size_t i = 0; i < n; ++i) {
        double* s = centers.data() + labels[i] * d;
        const double* x = data.data() + i * d;
        for (std::size_t j = 0; j < d; ++j) s[j] += x[j];
        ++counts[labels[i]];
    }
    for (std::size_t c = 0; c < k; ++c) {
        double* s = centers.data() + c * d;
        if (counts[c] == 0) {
            const std::size_t row = (7 * c) % n;
            std::copy_n(data.data() + row * d, d, s);
            continue;
        }
        const double count = static_cast<double>(counts[c]);
        for (std::size_t j = 0; j < d; ++j) s[j] /= count;
    }
    return centers;
}

// Sum over rows in order of the squared metric distance to the own center.
double inertia_of(MatrixRef data, const Matrix& centers, const std::vector<std::uint64_t>& labels,
                  DistanceMetric metric) {
    double total = 0.0;
    for (std::size_t i = 0; i < data.rows(); ++i) {
        const double dist = distance(metric, data.row(i), centers.row(labels[i]));
        total += dist * dist;
    }
    return total;
}

}  // namespace

double distance(DistanceMetric metric, std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    switch (metric) {
        case DistanceMetric::Euclidean: {
            double s = 0.0;
            for (std::size_t j = 0; j < common; ++j) {
                const double diff = a[j] - b[j];
                s += diff * diff;
            }
            return std::sqrt(s);
        }
        case DistanceMetric::Manhattan: {
            double s = 0.0;
            for (std::size_t j = 0; j < common; ++j) s += std::abs(a[j] - b[j]);
            return s;
        }
        default: {
            double dot = 0.0, na = 0.0, nb = 0.0;
            for (std::size_t j = 0; j < common; ++j) dot += a[j] * b[j];
            for (double v : a) na += v * v;
            for (double v : b) nb += v * v;
            if (na == 0.0 || nb == 0.0) return 0.0;
            return 1.0 - dot / (std::sqrt(na) * std::sqrt(nb));
        }
    }
}

KMeansResult KMeans::fit(MatrixRef data) const {
    const std::size_t n = data.rows(), d = data.cols();
    if (n == 0 || n_clusters == 0 || n_clusters > n) throw SegmoraError::invalid_config("Invalid cluster count");
    const std::size_t k = n_clusters;

    // Evenly spaced initial centers.
    const std::size_t step = n / k;
    Matrix centers(k, d);
    for (std::size_t c = 0; c < k; ++c) std::copy_n(data.data() + c * step * d, d, centers.data() + c * d);

    std::vector<std::uint64_t> labels(n, 0);
    double inertia = kMaxFinite;
    for (std::uint64_t t = 1; t <= max_iter; ++t) {
        poll_interrupt();
        const double previous = inertia;
        assign(data, centers, metric, labels);
        Matrix updated = update(data, labels, k);
        inertia = inertia_of(data, updated, labels, metric);
        // A pass is a function of the centers alone: centers that come back
        // bit-identical repeat every later pass. With a finite inertia the next
        // pass stops; a NaN or infinite one never passes the test, so the
        // remaining passes are skipped with the result they would produce.
        const bool fixed_point = d == 0 || std::memcmp(updated.data(), centers.data(), k * d * sizeof(double)) == 0;
        centers = std::move(updated);
        if (std::abs(previous - inertia) < kTolerance) return {std::move(labels), std::move(centers), inertia, t};
        if (fixed_point && !std::isfinite(inertia)) break;
    }
    return {std::move(labels), std::move(centers), inertia, max_iter};
}

}  // namespace segmora::engine::algorithms
