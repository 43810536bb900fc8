#include "engine/clustering.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/text.hpp"
#include "engine/thread_pool.hpp"
#include "error.hpp"

namespace segmora::engine {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kRowChunk = 4096;

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SEGMORA_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SEGMORA_CLONES
#endif

// Squared Euclidean distance, features summed in order from zero.
inline double squared_distance(const double* a, const double* b, std::size_t d) noexcept {
    double s = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double diff = a[j] - b[j];
        s += diff * diff;
    }
    return s;
}

// Centers laid out feature-major (ct[j * k + c]) so that the distances of one row
// to all centers accumulate side by side; each center still sums its features
// in order from zero.
std::vector<double> transpose_centers(const Matrix& centers) {
    const std::size_t k = centers.rows(), d = centers.cols();
    std::vector<double> ct(k * d);
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) ct[j * k + c] = centers(c, j);
    return ct;
}

// Labels rows [begin, end) by their nearest center; returns whether any label
// differs from `previous` (when given).
SEGMORA_CLONES
bool assign_range(const double* __restrict data, std::size_t d, const double* __restrict ct, std::size_t k,
                  std::size_t begin, std::size_t end, std::uint64_t* __restrict labels,
                  const std::uint64_t* __restrict previous, double* __restrict acc) {
    bool changed = false;
    for (std::size_t i = begin; i < end; ++i) {
        const double* x = data + i * d;
        for (std::size_t c = 0; c < k; ++c) acc[c] = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double xj = x[j];
            const double* cj = ct + j * k;
            for (std::size_t c = 0; c < k; ++c) {
                const double diff = xj - cj[c];
                acc[c] += diff * diff;
            }
        }
        std::uint64_t best = 0;
        double best_d = kInf;
        for (std::size_t c = 0; c < k; ++c) {
            if (acc[c] < best_d) {
                best_d = acc[c];
                best = c;
            }
        }
        labels[i] = best;
        if (previous && previous[i] != best) changed = true;
    }
    return changed;
}

// Squared distance of rows [begin, end) to one center, kept when smaller than
// what `best` holds.
SEGMORA_CLONES
void update_nearest(const double* __restrict data, std::size_t d, const double* __restrict center,
                    std::size_t begin, std::size_t end, double* __restrict best) {
    for (std::size_t i = begin; i < end; ++i) {
        const double d2 = squared_distance(data + i * d, center, d);
        if (d2 < best[i]) best[i] = d2;
    }
}

template <class Body>
void for_rows(ThreadPool* pool, std::size_t n, Body&& body) {
    if (pool) {
        pool->parallel_for(n, kRowChunk, body);
    } else {
        body(std::size_t{0}, n);
    }
}

// Per-row squared distances to the center of each row's label.
std::vector<double> own_center_distances(const Matrix& data, const Matrix& centers,
                                         const std::vector<std::uint64_t>& labels, ThreadPool* pool) {
    const std::size_t n = data.rows(), d = data.cols();
    std::vector<double> dist(n);
    for_rows(pool, n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            dist[i] = squared_distance(data.data() + i * d, centers.data() + labels[i] * d, d);
    });
    return dist;
}

}  // namespace

void require_finite(const Matrix& data) {
    const double* v = data.data();
    const std::size_t total = data.size();
    for (std::size_t idx = 0; idx < total; ++idx) {
        if (!std::isfinite(v[idx])) {
            const std::size_t d = data.cols();
            throw SegmoraError::data_validation(
                format("data contains a non-finite value ({}) at row {}, column {}", v[idx], idx / d, idx % d));
        }
    }
}

std::pair<Matrix, std::vector<std::size_t>> kmeans_plus_plus_init(const Matrix& data, std::size_t k,
                                                                  ChaCha12Rng& rng, ThreadPool* pool) {
    const std::size_t n = data.rows(), d = data.cols();
    Matrix centers(k, d);
    std::vector<std::size_t> chosen;
    chosen.reserve(k);

    auto take = [&](std::size_t c, std::size_t row) {
        std::copy_n(data.data() + row * d, d, centers.data() + c * d);
        chosen.push_back(row);
    };
    take(0, rng.uniform_index(n));

    std::vector<double> best(n, kInf);
    for (std::size_t c = 1; c < k; ++c) {
        const double* last = centers.data() + (c - 1) * d;
        for_rows(pool, n, [&](std::size_t begin, std::size_t end) { update_nearest(data.data(), d, last, begin, end, best.data()); });
        double total = 0.0;
        for (std::size_t i = 0; i < n; ++i) total += best[i];

        std::size_t pick;
        if (!(total > 0.0)) {
            // Every row coincides with a chosen center.
            pick = rng.uniform_index(n);
        } else {
            const double r = rng.uniform_float(total);
            pick = n - 1;  // rounding may leave the running sum short of r
            double running = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                running += best[i];
                if (running >= r) {
                    pick = i;
                    break;
                }
            }
        }
        take(c, pick);
    }
    return {std::move(centers), std::move(chosen)};
}

KMeansResult kmeans(const Matrix& data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs) {
    const std::size_t n = data.rows(), d = data.cols();
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
    if (n == 0) throw SegmoraError::data_validation("data has no rows");
    if (n_clusters > n)
        throw SegmoraError::invalid_config(
            format("n_clusters ({}) cannot exceed number of data points ({})", n_clusters, n));
    require_finite(data);

    const auto pool = build_thread_pool(n_jobs);
    const std::size_t k = n_clusters;

    ChaCha12Rng rng(random_state);
    Matrix centers = kmeans_plus_plus_init(data, k, rng, pool.get()).first;
    std::vector<std::uint64_t> labels(n, 0);

    std::uint64_t t = 0;
    while (t < max_iter) {
        // Assignment: every row's label depends only on that row and the centers.
        const std::vector<double> ct = transpose_centers(centers);
        std::vector<std::uint64_t> new_labels(n);
        std::vector<unsigned char> chunk_changed((n + kRowChunk - 1) / kRowChunk + 1, 0);
        bool changed = false;
        {
            pool->parallel_for(n, kRowChunk, [&](std::size_t begin, std::size_t end) {
                std::vector<double> acc(k);
                if (assign_range(data.data(), d, ct.data(), k, begin, end, new_labels.data(), labels.data(),
                                 acc.data()))
                    chunk_changed[begin / kRowChunk] = 1;
            });
            for (unsigned char c : chunk_changed) changed = changed || c;
        }

        // Update: sums in row order.
        Matrix new_centers(k, d);
        std::vector<std::uint64_t> counts(k, 0);
        double* sums = new_centers.data();
        const double* x = data.data();
        for (std::size_t i = 0; i < n; ++i, x += d) {
            const std::uint64_t c = new_labels[i];
            ++counts[c];
            double* s = sums + c * d;
            for (std::size_t j = 0; j < d; ++j) s[j] += x[j];
        }

        // Empty clusters take the row farthest from the (old) center of its new
        // label; ties go to the highest row index.
        bool any_empty = false;
        std::size_t farthest = 0;
        for (std::size_t c = 0; c < k; ++c) {
            double* s = sums + c * d;
            if (counts[c] > 0) {
                const double count = static_cast<double>(counts[c]);
                for (std::size_t j = 0; j < d; ++j) s[j] /= count;
                continue;
            }
            if (!any_empty) {
                any_empty = true;
                const std::vector<double> dist = own_center_distances(data, centers, new_labels, pool.get());
                double best = -kInf;
                for (std::size_t i = 0; i < n; ++i) {
                    if (dist[i] >= best) {
                        best = dist[i];
                        farthest = i;
                    }
                }
            }
            std::copy_n(data.data() + farthest * d, d, s);
        }
        if (any_empty) changed = true;

        labels = std::move(new_labels);
        centers = std::move(new_centers);
        ++t;
        if (!changed) break;
    }

    const std::vector<double> dist = own_center_distances(data, centers, labels, pool.get());
    double inertia = 0.0;
    for (double v : dist) inertia += v;

    return KMeansResult{std::move(labels), std::move(centers), inertia, t};
}

std::vector<std::uint64_t> assign_to_clusters(const Matrix& data, const Matrix& centers) {
    if (centers.rows() == 0)
        throw SegmoraError::invalid_config("cannot assign to clusters: no centers provided (model not fitted?)");
    if (data.cols() != centers.cols())
        throw SegmoraError::data_validation(
            format("data has {} features but centers have {} features", data.cols(), centers.cols()));
    const std::size_t n = data.rows(), k = centers.rows();
    std::vector<std::uint64_t> labels(n, 0);
    const std::vector<double> ct = transpose_centers(centers);
    std::vector<double> acc(k);
    assign_range(data.data(), data.cols(), ct.data(), k, 0, n, labels.data(), nullptr, acc.data());
    return labels;
}

}  // namespace segmora::engine
