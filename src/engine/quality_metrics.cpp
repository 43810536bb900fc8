#include "engine/quality_metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "engine/algorithms.hpp"
#include "engine/simd.hpp"
#include "text.hpp"
#include "error.hpp"
#include "interrupt.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace segmora::engine::quality_metrics {

namespace {

constexpr double kMaxFinite = std::numeric_limits<double>::max();
constexpr double kEpsilon = 1e-10;

// min and max that ignore a NaN operand.
inline double min_ignoring_nan(double a, double b) noexcept { return std::fmin(a, b); }
inline double max_ignoring_nan(double a, double b) noexcept { return std::fmax(a, b); }

double euclidean(std::span<const double> a, std::span<const double> b) noexcept {
    return algorithms::distance(algorithms::DistanceMetric::Euclidean, a, b);
}

// The clusters that have members among `labels`, numbered 0 .. size-1 in
// increasing label order (empty label values are skipped).
struct Clusters {
    std::vector<std::size_t> id;     // per row
    std::vector<std::size_t> count;  // per cluster
    std::size_t size() const noexcept { return count.size(); }
};

Clusters clusters_of(Labels labels) {
    const std::size_t n = labels.size();
    Clusters out;
    out.id.resize(n);
    if (n == 0) return out;
    const std::uint64_t largest = *std::max_element(labels.begin(), labels.end());
    if (largest <= 4 * static_cast<std::uint64_t>(n) + 64) {
        // Small label values: index them directly.
        std::vector<std::size_t> remap(largest + 1, 0);
        for (std::uint64_t l : labels) remap[l] = 1;
        std::size_t next = 0;
        for (auto& r : remap) r = r ? next++ : 0;
        out.count.assign(next, 0);
        for (std::size_t i = 0; i < n; ++i) {
            out.id[i] = remap[labels[i]];
            ++out.count[out.id[i]];
        }
        return out;
    }
    std::vector<std::uint64_t> values(labels.begin(), labels.end());
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    out.count.assign(values.size(), 0);
    for (std::size_t i = 0; i < n; ++i) {
        out.id[i] = static_cast<std::size_t>(std::lower_bound(values.begin(), values.end(), labels[i]) - values.begin());
        ++out.count[out.id[i]];
    }
    return out;
}

// ---- silhouette ----

constexpr std::size_t kTile = 64;
// Above this many (cluster, row) sums the silhouette works row by row instead.
constexpr std::size_t kMaxPairSums = std::size_t{1} << 23;

// Square roots two at a time (std::sqrt does not vectorise while it may set
// errno); the values are the same correctly rounded roots.
inline void sqrt_in_place(double* v, std::size_t n) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    for (; i + 2 <= n; i += 2) _mm_storeu_pd(v + i, _mm_sqrt_pd(_mm_loadu_pd(v + i)));
#endif
    for (; i < n; ++i) v[i] = std::sqrt(v[i]);
}

// D[ii * kTile + jj] = distance between sorted rows i0 + ii and j0 + jj.
// xt is feature-major (xt[f * n + r]); each distance sums its features in order.
void distance_tile(const double* xs, const double* xt, std::size_t n, std::size_t d, std::size_t i0, std::size_t bi,
                   std::size_t j0, std::size_t bj, double* tile) {
    for (std::size_t ii = 0; ii < bi; ++ii) {
        double* out = tile + ii * kTile;
        algorithms::squared_distances(xs + (i0 + ii) * d, d, xt + j0, n, bj, out);
        sqrt_in_place(out, bj);
    }
}

// sums[i] += rows[0][i], then rows[1][i], ... (each slot in row order).
SEGMORA_TARGET_CLONES
void add_rows(double* __restrict sums, const double* __restrict rows, std::size_t count, std::size_t width) {
    for (std::size_t r = 0; r < count; ++r) {
        const double* row = rows + r * kTile;
        for (std::size_t i = 0; i < width; ++i) sums[i] += row[i];
    }
}

// For rows sorted by cluster (stable), sums[c * n + r] = sum of the distances
// from sorted row r to the members of cluster c, in increasing index order.
// Each pair distance is computed once and added to both rows: tile (I, J) with
// J > I feeds I's rows from J's columns and J's rows from I's columns; as the
// tiles are visited in row-major order, every row receives its terms in
// increasing index order.
std::vector<double> pair_sums(const Matrix& sorted, const std::vector<std::size_t>& cluster_of_sorted,
                              const std::vector<std::size_t>& start, std::size_t n_clusters) {
    const std::size_t n = sorted.rows(), d = sorted.cols();
    std::vector<double> xt(n * d);
    for (std::size_t r = 0; r < n; ++r)
        for (std::size_t f = 0; f < d; ++f) xt[f * n + r] = sorted(r, f);
    std::vector<double> sums(n_clusters * n, 0.0);
    std::vector<double> tile(kTile * kTile), tile_t(kTile * kTile);

    // Calls body(cluster, first, last) for each run of one cluster in [from, from + len).
    auto runs = [&](std::size_t from, std::size_t len, auto&& body) {
        std::size_t a = from;
        const std::size_t end = from + len;
        while (a < end) {
            const std::size_t c = cluster_of_sorted[a];
            const std::size_t b = std::min(start[c + 1], end);
            body(c, a, b);
            a = b;
        }
    };

    for (std::size_t i0 = 0; i0 < n; i0 += kTile) {
        poll_interrupt();
        const std::size_t bi = std::min(kTile, n - i0);
        for (std::size_t j0 = i0; j0 < n; j0 += kTile) {
            const std::size_t bj = std::min(kTile, n - j0);
            distance_tile(sorted.data(), xt.data(), n, d, i0, bi, j0, bj, tile.data());
            if (j0 == i0) {
                // The diagonal tile feeds its own rows from every column; a row's
                // distance to itself adds nothing.
                for (std::size_t ii = 0; ii < bi; ++ii) tile[ii * kTile + ii] = 0.0;
            }
            for (std::size_t ii = 0; ii < bi; ++ii)
                for (std::size_t jj = 0; jj < bj; ++jj) tile_t[jj * kTile + ii] = tile[ii * kTile + jj];
            runs(j0, bj, [&](std::size_t c, std::size_t a, std::size_t b) {
                add_rows(sums.data() + c * n + i0, tile_t.data() + (a - j0) * kTile, b - a, bi);
            });
            if (j0 != i0) {
                runs(i0, bi, [&](std::size_t c, std::size_t a, std::size_t b) {
                    add_rows(sums.data() + c * n + j0, tile.data() + (a - i0) * kTile, b - a, bj);
                });
            }
        }
    }
    return sums;
}

double silhouette_impl(MatrixRef data, Labels labels) {
    const std::size_t n_labels = labels.size();
    if (n_labels == 0) return 0.0;
    require_label_per_row(data, labels);
    const std::size_t n = data.rows(), d = data.cols();
    if (n == 0) return 0.0;

    const Clusters cl = clusters_of(labels.first(n));
    const std::size_t m = cl.size();
    if (m < 2) return 0.0;  // one cluster: no other to compare with

    // s(i) from the per-cluster distance sums of row i; 0 in a singleton.
    auto score = [&](std::size_t own, auto&& sum_to) {
        if (cl.count[own] == 1) return 0.0;
        const double a = sum_to(own) / static_cast<double>(cl.count[own] - 1);
        double b = kMaxFinite;
        for (std::size_t c = 0; c < m; ++c) {
            if (c == own) continue;
            b = min_ignoring_nan(b, sum_to(c) / static_cast<double>(cl.count[c]));
        }
        const double top = max_ignoring_nan(a, b);
        return top > kEpsilon ? (b - a) / top : 0.0;
    };
    // s(i) summed over rows in order.
    double total = 0.0;
    auto accumulate = [&](std::size_t own, auto&& sum_to) { total += score(own, sum_to); };

    if (m * n <= kMaxPairSums) {
        std::vector<std::size_t> start(m + 1, 0);
        for (std::size_t c = 0; c < m; ++c) start[c + 1] = start[c] + cl.count[c];
        std::vector<std::size_t> position(n), cluster_of_sorted(n);
        Matrix sorted(n, d);
        {
            std::vector<std::size_t> next(start.begin(), start.end() - 1);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t p = next[cl.id[i]]++;
                position[i] = p;
                cluster_of_sorted[p] = cl.id[i];
                std::copy_n(data.data() + i * d, d, sorted.data() + p * d);
            }
        }
        const std::vector<double> sums = pair_sums(sorted, cluster_of_sorted, start, m);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t p = position[i];
            accumulate(cl.id[i], [&](std::size_t c) { return sums[c * n + p]; });
        }
    } else {
        // Many clusters: one row at a time, O(clusters) memory.
        std::vector<double> acc(m);
        for (std::size_t i = 0; i < n; ++i) {
            poll_interrupt();
            std::fill(acc.begin(), acc.end(), 0.0);
            for (std::size_t j = 0; j < n; ++j)
                if (j != i) acc[cl.id[j]] += euclidean(data.row(i), data.row(j));
            accumulate(cl.id[i], [&](std::size_t c) { return acc[c]; });
        }
    }
    return total / static_cast<double>(n_labels);
}

// Squared Euclidean distance over the common length, features in order.
inline double squared_distance(std::span<const double> a, std::span<const double> b) noexcept {
    const std::size_t common = std::min(a.size(), b.size());
    double s = 0.0;
    for (std::size_t j = 0; j < common; ++j) {
        const double diff = a[j] - b[j];
        s += diff * diff;
    }
    return s;
}

}  // namespace

void require_label_per_row(MatrixRef data, Labels labels) {
    if (labels.size() < data.rows())
        throw SegmoraError::data_validation(
            format("labels has {} entries but data has {} rows", labels.size(), data.rows()));
}

void require_center_per_label(MatrixRef data, Labels labels, const Matrix& centers) {
    require_label_per_row(data, labels);
    for (std::size_t i = 0; i < data.rows(); ++i) {
        if (labels[i] >= centers.rows())
            throw SegmoraError::data_validation(
                format("row {} has label {} but centers has {} rows", i, labels[i], centers.rows()));
    }
}

double silhouette(MatrixRef data, Labels labels) { return silhouette_impl(data, labels); }

double SilhouetteMetric::calculate(MatrixRef data, Labels labels) const { return silhouette_impl(data, labels); }

double CalinskiHarabaszMetric::calculate(MatrixRef data, Labels labels) const {
    if (labels.empty()) return 0.0;
    const std::uint64_t k = *std::max_element(labels.begin(), labels.end()) + 1;
    if (k < 2) return 0.0;
    require_label_per_row(data, labels);
    const std::size_t n = data.rows(), d = data.cols();
    // Fewer rows than clusters (label gaps): N - K has no meaning.
    if (n < k) return 0.0;

    const Clusters cl = clusters_of(labels.first(n));
    const std::size_t m = cl.size();

    // Overall mean and per-cluster means, sums in row order.
    std::vector<double> mean(d, 0.0), cmean(m * d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const double* x = data.data() + i * d;
        double* s = cmean.data() + cl.id[i] * d;
        for (std::size_t j = 0; j < d; ++j) {
            mean[j] += x[j];
            s[j] += x[j];
        }
    }
    for (std::size_t j = 0; j < d; ++j) mean[j] /= static_cast<double>(n);
    for (std::size_t c = 0; c < m; ++c)
        for (std::size_t j = 0; j < d; ++j) cmean[c * d + j] /= static_cast<double>(cl.count[c]);

    double between = 0.0;
    for (std::size_t c = 0; c < m; ++c) {
        const std::span<const double> mc(cmean.data() + c * d, d);
        between += static_cast<double>(cl.count[c]) * squared_distance(mc, mean);
    }
    // Within-cluster scatter: each cluster sums its rows in order, then the
    // clusters add up in order.
    std::vector<double> scatter(m, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t c = cl.id[i];
        scatter[c] += squared_distance(data.row(i), std::span<const double>(cmean.data() + c * d, d));
    }
    double within = 0.0;
    for (double w : scatter) within += w;
    if (within < kEpsilon) return 0.0;
    return (between / static_cast<double>(k - 1)) / (within / static_cast<double>(n - k));
}

double DaviesBouldinMetric::calculate(MatrixRef data, Labels labels, const Matrix& centers) const {
    if (labels.empty() || centers.size() == 0) return 0.0;
    require_label_per_row(data, labels);
    const std::size_t n = data.rows(), kc = centers.rows();

    // Mean distance of each cluster's rows to its center, sums in row order.
    std::vector<double> spread(kc, 0.0);
    std::vector<std::size_t> count(kc, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t l = labels[i];
        if (l >= kc) continue;  // a label without a center belongs to no cluster
        spread[l] += euclidean(data.row(i), centers.row(l));
        ++count[l];
    }
    std::vector<std::size_t> members;
    for (std::size_t c = 0; c < kc; ++c) {
        if (count[c] == 0) continue;
        spread[c] /= static_cast<double>(count[c]);
        members.push_back(c);
    }

    double total = 0.0;
    for (std::size_t i = 0; i < kc; ++i) {
        double worst = 0.0;
        if (count[i] != 0) {
            for (std::size_t j : members) {
                if (j == i) continue;
                const double dij = euclidean(centers.row(i), centers.row(j));
                if (dij > kEpsilon) worst = max_ignoring_nan(worst, (spread[i] + spread[j]) / dij);
            }
        }
        total += worst;
    }
    return total / static_cast<double>(kc);
}

double overall_score(double silhouette, double davies_bouldin, double calinski_harabasz) noexcept {
    const double t1 = (silhouette + 1.0) * 0.5 * 100.0;
    const double t2 = (1.0 - min_ignoring_nan(davies_bouldin / 10.0, 1.0)) * 100.0;
    const double t3 = min_ignoring_nan(calinski_harabasz / 100.0, 100.0);
    return (t1 + t2 + t3) / 3.0;
}

QualityReport assess_quality(MatrixRef data, Labels labels, const Matrix& centers) {
    require_center_per_label(data, labels, centers);
    QualityReport r;
    r.silhouette_score = SilhouetteMetric{}.calculate(data, labels);
    r.davies_bouldin_score = DaviesBouldinMetric{}.calculate(data, labels, centers);
    r.calinski_harabasz_score = CalinskiHarabaszMetric{}.calculate(data, labels);
    r.n_clusters = labels.empty() ? 1 : *std::max_element(labels.begin(), labels.end()) + 1;
    double inertia = 0.0;
    for (std::size_t i = 0; i < data.rows(); ++i) inertia += squared_distance(data.row(i), centers.row(labels[i]));
    r.inertia = inertia;
    r.overall_score = overall_score(r.silhouette_score, r.davies_bouldin_score, r.calinski_harabasz_score);
    return r;
}

}  // namespace segmora::engine::quality_metrics
