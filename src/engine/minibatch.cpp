#include "engine/minibatch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/clustering.hpp"
#include "engine/simd.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {
constexpr std::size_t kRowsBetweenPolls = 4096;
}  // namespace


MiniBatchKMeans::MiniBatchKMeans(std::uint64_t n_clusters, std::uint64_t random_state)
    : n_clusters_(n_clusters), rng_(random_state) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
}

MiniBatchKMeans::MiniBatchKMeans(std::uint64_t n_clusters, ChaCha12Rng rng) : n_clusters_(n_clusters), rng_(rng) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
}

MiniBatchKMeans MiniBatchKMeans::restore(std::uint64_t n_clusters, ChaCha12Rng rng, std::optional<Matrix> centers,
                                         std::vector<std::uint64_t> counts) {
    MiniBatchKMeans model(n_clusters, rng);
    if (!centers) {
        if (!counts.empty()) throw SegmoraError::data_validation("counts without centers");
        return model;
    }
    if (centers->rows() != n_clusters || counts.size() != n_clusters)
        throw SegmoraError::data_validation(format("{} x {} centers and {} counts do not fit n_clusters {}",
                                                   centers->rows(), centers->cols(), counts.size(), n_clusters));
    model.centers_ = std::move(*centers);
    model.counts_ = std::move(counts);
    model.initialized_ = true;
    return model;
}

namespace {

// Centers side by side in blocks of kLanes: block b holds, feature after
// feature, the coordinates of centers b*kLanes ... b*kLanes+kLanes-1, so a
// row's distances to a whole block accumulate in two vectors, each center
// still summing its features in order from zero. Slots past the last center
// hold NaN, whose distance never wins.
constexpr std::size_t kLanes = 8;

typedef double V4 __attribute__((vector_size(32)));

typedef long long I4 __attribute__((vector_size(32)));

// Squared distances of one row to every center (k rounded up to whole blocks).
__attribute__((always_inline)) inline void row_distances(const double* __restrict x, std::size_t d,
                                                         const double* __restrict blocked, std::size_t n_blocks,
                                                         double* __restrict out) {
    for (std::size_t b = 0; b < n_blocks; ++b) {
        V4 lo = {0.0, 0.0, 0.0, 0.0}, hi = lo;
        const double* cb = blocked + b * d * kLanes;
        for (std::size_t j = 0; j < d; ++j) {
            V4 c_lo, c_hi;
            std::memcpy(&c_lo, cb + j * kLanes, sizeof c_lo);
            std::memcpy(&c_hi, cb + j * kLanes + 4, sizeof c_hi);
            const V4 dl = x[j] - c_lo, dh = x[j] - c_hi;
            lo += dl * dl;
            hi += dh * dh;
        }
        std::memcpy(out + b * kLanes, &lo, sizeof lo);
        std::memcpy(out + b * kLanes + 4, &hi, sizeof hi);
    }
}

// The least of k distances and the least of the others, each at the first
// index holding it (values not below +inf leave the index at 0).
struct TwoLeast {
    double first = std::numeric_limits<double>::infinity(), second = first;
    std::size_t at_first = 0, at_second = 0;
};

__attribute__((always_inline)) inline TwoLeast two_least(const double* dist, std::size_t k) {
    TwoLeast t;
    for (std::size_t c = 0; c < k; ++c) {
        const double v = dist[c];
        if (v < t.first) {
            t.second = t.first;
            t.at_second = t.at_first;
            t.first = v;
            t.at_first = c;
        } else if (v < t.second) {
            t.second = v;
            t.at_second = c;
        }
    }
    return t;
}

// Moves the centers row by row: the nearest center (first strict minimum of
// the squared distances) steps towards the row by 1 / its new count.
// `centers` is k x d row-major, `blocked` the same values laid out as above,
// `next_rate[c]` = 1 / (counts[c] + 1), all kept in step; `dist` has room for
// two rows of distances.
//
// Rows are pipelined: a row's distances to all centers are computed while the
// row before it is still being placed, so they miss that row's move of one
// center p. Only the distance to p is then computed afresh and set against
// the least of the others, which gives exactly the label of a full search.
SEGMORA_TARGET_CLONES
void absorb(const double* __restrict x, std::size_t r, std::size_t d, std::size_t k, double* __restrict centers,
            double* __restrict blocked, std::uint64_t* __restrict counts, double* __restrict next_rate,
            double* __restrict dist) {
    const std::size_t n_blocks = (k + kLanes - 1) / kLanes;
    const std::size_t stride = n_blocks * kLanes;
    double* cur = dist;
    double* next = dist + stride;
    row_distances(x, d, blocked, n_blocks, cur);
    TwoLeast least = two_least(cur, k);
    constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t moved = kNone;  // the center the previous row moved
    const I4 lanes = {0, 1, 2, 3};
    for (std::size_t i = 0; i < r; ++i, x += d) {
        TwoLeast least_next;
        if (i + 1 < r) {
            row_distances(x + d, d, blocked, n_blocks, next);
            least_next = two_least(next, k);
        }
        std::size_t c = least.at_first;
        if (moved != kNone) {
            const double* p = centers + moved * d;
            double fresh = 0.0;
            for (std::size_t j = 0; j < d; ++j) {
                const double diff = x[j] - p[j];
                fresh += diff * diff;
            }
            double other = least.first;
            std::size_t at_other = least.at_first;
            if (at_other == moved) {
                other = least.second;
                at_other = least.at_second;
            }
            if (other < std::numeric_limits<double>::infinity()) {
                c = fresh < other || (fresh == other && moved < at_other) ? moved : at_other;
            } else {
                // Distances past the double range: the plain search.
                cur[moved] = fresh;
                c = 0;
                double best = std::numeric_limits<double>::infinity();
                for (std::size_t q = 0; q < k; ++q) {
                    if (cur[q] < best) {
                        best = cur[q];
                        c = q;
                    }
                }
            }
        }
        const double eta = next_rate[c];
        const std::uint64_t count = ++counts[c];
        next_rate[c] = 1.0 / static_cast<double>(count + 1);
        double* center = centers + c * d;
        double* slot = blocked + (c / kLanes) * d * kLanes + (c % kLanes) / 4 * 4;
        const I4 lane = lanes == static_cast<long long>(c % 4);
        for (std::size_t j = 0; j < d; ++j) {
            const double v = center[j] + eta * (x[j] - center[j]);
            center[j] = v;
            // The whole four-lane group is rewritten, so that the next row's
            // vector loads are served straight from this store.
            V4 group;
            std::memcpy(&group, slot + j * kLanes, sizeof group);
            group = lane ? V4{v, v, v, v} : group;
            std::memcpy(slot + j * kLanes, &group, sizeof group);
        }
        moved = c;
        std::swap(cur, next);
        least = least_next;
    }
}

std::vector<double> block_centers(const Matrix& centers) {
    const std::size_t k = centers.rows(), d = centers.cols();
    const std::size_t n_blocks = (k + kLanes - 1) / kLanes;
    std::vector<double> out(n_blocks * d * kLanes, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) out[((c / kLanes) * d + j) * kLanes + c % kLanes] = centers(c, j);
    return out;
}

}  // namespace

MiniBatchKMeans::ChunkSummary MiniBatchKMeans::partial_fit(MatrixView chunk, const ChunkOptions& options) {
    if (options.n_init == 0) throw SegmoraError::invalid_config("n_init must be > 0");
    if (!(options.reassignment_ratio >= 0.0) || !std::isfinite(options.reassignment_ratio))
        throw SegmoraError::invalid_config(
            format("reassignment_ratio must be finite and >= 0, got {}", options.reassignment_ratio));
    const std::size_t r = chunk.rows;
    ChunkSummary summary;
    if (r == 0) return summary;
    const auto k = static_cast<std::size_t>(n_clusters_);
    if (!initialized_) {
        if (r < n_clusters_)
            throw SegmoraError::data_validation(
                format("first partial_fit chunk must have at least n_clusters ({}) rows to seed initial centers, got {}",
                       n_clusters_, r));
        require_finite(chunk);
        // The seeding rows update neither the centers nor the counts. The
        // generator is advanced on a copy, kept only when seeding completes.
        ChaCha12Rng rng = rng_;
        const Matrix rows = chunk.copy();
        Matrix centers = kmeans_plus_plus_init(rows, k, rng).first;
        if (options.n_init > 1) {
            double least = assign_with_inertia(rows, centers).inertia;
            for (std::uint64_t run = 1; run < options.n_init; ++run) {
                Matrix candidate = kmeans_plus_plus_init(rows, k, rng).first;
                const double inertia = assign_with_inertia(rows, candidate).inertia;
                if (inertia < least) {
                    least = inertia;
                    centers = std::move(candidate);
                }
            }
        }
        if (options.summarize) {
            Assignment a = assign_with_inertia(chunk, centers);
            summary.labels = std::move(a.labels);
            summary.inertia = a.inertia;
        }
        centers_ = std::move(centers);
        rng_ = rng;
        counts_.assign(k, 0);
        initialized_ = true;
        return summary;
    }
    const std::size_t d = centers_.cols();
    if (chunk.cols != d)
        throw SegmoraError::data_validation(format("chunk has {} features but centers have {} features", chunk.cols, d));
    // One NaN row would turn its center into NaN for good: refuse the chunk
    // before anything moves.
    require_finite(chunk);

    // A long chunk polls for interrupts between blocks of rows; the rows move
    // copies of the centers and counts, kept only when the whole chunk is in.
    Matrix moved = centers_;
    std::vector<std::uint64_t> counts = counts_;
    std::vector<double> blocked = block_centers(moved);
    std::vector<double> next_rate(k);
    for (std::size_t c = 0; c < k; ++c) next_rate[c] = 1.0 / static_cast<double>(counts[c] + 1);
    std::vector<double> dist(2 * ((k + kLanes - 1) / kLanes) * kLanes);
    for (std::size_t begin = 0; begin < r; begin += kRowsBetweenPolls) {
        poll_interrupt();
        const std::size_t n = std::min(r - begin, kRowsBetweenPolls);
        absorb(chunk.row(begin), n, d, k, moved.data(), blocked.data(), counts.data(), next_rate.data(), dist.data());
    }
    ChaCha12Rng rng = rng_;
    if (options.reassign && options.reassignment_ratio > 0.0)
        summary.reassigned = reassign_starved(chunk, options.reassignment_ratio, moved, counts, rng);
    if (options.summarize) {
        Assignment a = assign_with_inertia(chunk, moved);
        summary.labels = std::move(a.labels);
        summary.inertia = a.inertia;
    }
    centers_ = std::move(moved);
    counts_ = std::move(counts);
    rng_ = rng;
    return summary;
}

std::uint64_t MiniBatchKMeans::reassign_starved(MatrixView chunk, double ratio, Matrix& centers,
                                                std::vector<std::uint64_t>& counts, ChaCha12Rng& rng) {
    const std::size_t k = counts.size(), d = centers.cols();
    const double threshold = ratio * static_cast<double>(*std::max_element(counts.begin(), counts.end()));
    std::vector<std::size_t> starved;
    for (std::size_t c = 0; c < k; ++c)
        if (static_cast<double>(counts[c]) < threshold) starved.push_back(c);
    if (starved.empty()) return 0;
    // At most half the chunk's rows become centers: the emptiest centers first
    // (ties to the lower index), then back to index order for the draws.
    const std::size_t limit = chunk.rows / 2;
    if (starved.size() > limit) {
        std::stable_sort(starved.begin(), starved.end(),
                         [&](std::size_t a, std::size_t b) { return counts[a] < counts[b]; });
        starved.resize(limit);
        std::sort(starved.begin(), starved.end());
        if (starved.empty()) return 0;
    }
    std::vector<bool> moving(k, false);
    for (std::size_t c : starved) moving[c] = true;
    std::uint64_t floor = std::numeric_limits<std::uint64_t>::max();
    for (std::size_t c = 0; c < k; ++c)
        if (!moving[c]) floor = std::min(floor, counts[c]);
    if (floor == std::numeric_limits<std::uint64_t>::max())  // every center moves (a ratio above 1)
        floor = *std::max_element(counts.begin(), counts.end());
    std::vector<std::size_t> taken;
    for (std::size_t c : starved) {
        std::size_t row;
        do row = static_cast<std::size_t>(rng.uniform_index(chunk.rows));
        while (std::find(taken.begin(), taken.end(), row) != taken.end());
        taken.push_back(row);
        std::copy_n(chunk.row(row), d, centers.data() + c * d);
        counts[c] = floor;
    }
    return starved.size();
}

std::vector<std::uint64_t> MiniBatchKMeans::predict(const Matrix& data) const {
    if (!initialized_) throw SegmoraError::clustering("predict() called before any partial_fit chunk was ingested");
    return assign_to_clusters(data, centers_);
}

}  // namespace segmora::engine
