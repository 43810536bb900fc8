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

constexpr double kInf = std::numeric_limits<double>::infinity();

// Centers side by side in blocks of kLanes: block b holds, feature after
// feature, the coordinates of centers b*kLanes ... b*kLanes+kLanes-1, so a
// row's distances to a whole block accumulate in two vectors, each center
// still summing its features in order from zero. Slots past the last center
// hold +inf: their distance is +inf, and as their index is above every
// center's, they never win a tie.
constexpr std::size_t kLanes = 8;

typedef double V4 __attribute__((vector_size(32)));
typedef long long I4 __attribute__((vector_size(32)));

std::vector<double> block_centers(const Matrix& centers) {
    const std::size_t k = centers.rows(), d = centers.cols();
    const std::size_t n_blocks = (k + kLanes - 1) / kLanes;
    std::vector<double> out(n_blocks * d * kLanes, kInf);
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) out[((c / kLanes) * d + j) * kLanes + c % kLanes] = centers(c, j);
    return out;
}

// Squared distances of one row to every center slot.
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

struct Least {
    double distance;
    std::size_t center;
};

// The least distance over the slots, at the lowest index holding it, leaving
// out slot `skip`: the first strict minimum of a search from +inf, as long as
// no distance is NaN. Within a block, slots are compared pairwise in a tree,
// a tie going to the lower index.
__attribute__((always_inline)) inline Least least_of(const double* dist, std::size_t n_blocks, std::size_t skip) {
    const I4 lanes = {0, 1, 2, 3};
    const V4 inf = {kInf, kInf, kInf, kInf};
    Least best{kInf, 0};
    for (std::size_t b = 0; b < n_blocks; ++b) {
        V4 lo, hi;
        std::memcpy(&lo, dist + b * kLanes, sizeof lo);
        std::memcpy(&hi, dist + b * kLanes + 4, sizeof hi);
        const I4 at_lo = lanes + static_cast<long long>(b * kLanes), at_hi = at_lo + 4;
        lo = at_lo == static_cast<long long>(skip) ? inf : lo;
        hi = at_hi == static_cast<long long>(skip) ? inf : hi;
        const I4 upper = hi < lo;
        V4 m = upper ? hi : lo;
        I4 at = upper ? at_hi : at_lo;
        V4 m2 = __builtin_shuffle(m, I4{1, 0, 3, 2});
        I4 at2 = __builtin_shuffle(at, I4{1, 0, 3, 2});
        I4 take = (m2 < m) | ((m2 == m) & (at2 < at));
        m = take ? m2 : m;
        at = take ? at2 : at;
        m2 = __builtin_shuffle(m, I4{2, 3, 0, 1});
        at2 = __builtin_shuffle(at, I4{2, 3, 0, 1});
        take = (m2 < m) | ((m2 == m) & (at2 < at));
        m = take ? m2 : m;
        at = take ? at2 : at;
        const bool better = m[0] < best.distance;
        best.distance = better ? m[0] : best.distance;
        best.center = better ? static_cast<std::size_t>(at[0]) : best.center;
    }
    return best;
}

// Where absorb() writes what it learns of each row: its center and the
// squared distance to it before the move (both optional).
struct RowLog {
    std::uint64_t* labels = nullptr;
    double inertia = 0.0;
};

// Moves the centers row by row: the nearest center (first strict minimum of
// the squared distances) steps towards the row by 1 / its new count.
// `centers` is k x d row-major, `blocked` the same values laid out as above,
// `next_rate[c]` = 1 / (counts[c] + 1), all kept in step; `dist` has room for
// two rows of slots. Every value's magnitude must be below 2^1022, so that no
// difference overflows and no distance is NaN.
//
// Rows are pipelined: a row's distances to all centers are computed while the
// row before it is still being placed, so they miss that row's move of one
// center. Only the distance to that center is computed afresh and set against
// the least of the others, which gives exactly the label of a full search.
template <bool kLog>
SEGMORA_TARGET_CLONES void absorb(const double* __restrict x, std::size_t r, std::size_t d, std::size_t k,
                                  double* __restrict centers, double* __restrict blocked,
                                  std::uint64_t* __restrict counts, double* __restrict next_rate,
                                  double* __restrict dist, RowLog& log) {
    const std::size_t n_blocks = (k + kLanes - 1) / kLanes;
    constexpr std::size_t kNone = ~std::size_t{0};
    double* cur = dist;
    double* next = dist + n_blocks * kLanes;
    row_distances(x, d, blocked, n_blocks, cur);
    Least least = least_of(cur, n_blocks, kNone);
    std::size_t moved = kNone;  // the center the previous row moved
    const I4 lanes = {0, 1, 2, 3};
    for (std::size_t i = 0; i < r; ++i, x += d) {
        Least least_next{kInf, 0};
        if (i + 1 < r) {
            row_distances(x + d, d, blocked, n_blocks, next);
            least_next = least_of(next, n_blocks, kNone);
        }
        Least chosen = least;
        if (moved != kNone) {
            const Least other = least.center == moved ? least_of(cur, n_blocks, moved) : least;
            const double* p = centers + moved * d;
            double fresh = 0.0;
            for (std::size_t j = 0; j < d; ++j) {
                const double diff = x[j] - p[j];
                fresh += diff * diff;
            }
            const bool wins = fresh < other.distance || (fresh == other.distance && moved < other.center);
            chosen = wins ? Least{fresh, moved} : other;
        }
        const std::size_t c = chosen.center;
        if constexpr (kLog) {
            log.labels[i] = c;
            log.inertia += chosen.distance;
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
            // The whole four-slot group is rewritten, so that the next row's
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

// The same moves one plain search at a time, for values of any finite
// magnitude (a center may then overflow to infinity, and a NaN distance
// never wins).
void absorb_plain(const double* x, std::size_t r, std::size_t d, Matrix& centers, std::uint64_t* counts, RowLog& log) {
    for (std::size_t i = 0; i < r; ++i, x += d) {
        const std::size_t c = nearest_center(x, centers);
        double* center = centers.data() + c * d;
        if (log.labels) {
            log.labels[i] = c;
            double d2 = 0.0;
            for (std::size_t j = 0; j < d; ++j) d2 += (x[j] - center[j]) * (x[j] - center[j]);
            log.inertia += d2;
        }
        const double eta = 1.0 / static_cast<double>(++counts[c]);
        for (std::size_t j = 0; j < d; ++j) center[j] += eta * (x[j] - center[j]);
    }
}

// Whether any of n values reaches 2^1022 in magnitude (exponent field 0x7fd
// or above, infinities and NaN included).
SEGMORA_TARGET_CLONES
bool any_huge(const double* __restrict v, std::size_t n) noexcept {
    std::uint64_t huge = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        huge |= (bits & 0x7ff0000000000000ULL) >= 0x7fd0000000000000ULL ? 1 : 0;
    }
    return huge != 0;
}

// Whether any value reaches 2^1022 in magnitude, in one pass; a NaN or
// infinite value is refused as require_finite refuses it.
bool check_values(MatrixView chunk) {
    if (!any_huge(chunk.data, chunk.rows * chunk.cols)) return false;
    require_finite(chunk);
    return true;
}

// The chunk's rows (checked by check_values: `huge` is its answer) moved into
// `centers` and `counts`, in row order, polling for interrupts between blocks
// of rows; with `labels`, each row's center, and the sum of the squared
// distances before the moves.
double absorb_chunk(MatrixView chunk, bool huge, Matrix& centers, std::vector<std::uint64_t>& counts,
                    std::uint64_t* labels) {
    const std::size_t r = chunk.rows, d = chunk.cols, k = centers.rows();
    RowLog log{labels};
    if (huge || any_huge(centers.data(), centers.size())) {
        for (std::size_t begin = 0; begin < r; begin += kRowsBetweenPolls) {
            poll_interrupt();
            const std::size_t n = std::min(r - begin, kRowsBetweenPolls);
            log.labels = labels ? labels + begin : nullptr;
            absorb_plain(chunk.row(begin), n, d, centers, counts.data(), log);
        }
        return log.inertia;
    }
    std::vector<double> blocked = block_centers(centers);
    std::vector<double> next_rate(k);
    for (std::size_t c = 0; c < k; ++c) next_rate[c] = 1.0 / static_cast<double>(counts[c] + 1);
    std::vector<double> dist(2 * ((k + kLanes - 1) / kLanes) * kLanes);
    for (std::size_t begin = 0; begin < r; begin += kRowsBetweenPolls) {
        poll_interrupt();
        const std::size_t n = std::min(r - begin, kRowsBetweenPolls);
        if (labels) {
            log.labels = labels + begin;
            absorb<true>(chunk.row(begin), n, d, k, centers.data(), blocked.data(), counts.data(), next_rate.data(),
                         dist.data(), log);
        } else {
            absorb<false>(chunk.row(begin), n, d, k, centers.data(), blocked.data(), counts.data(), next_rate.data(),
                          dist.data(), log);
        }
    }
    return log.inertia;
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
    const bool huge = check_values(chunk);

    // The rows move copies of the centers and counts, kept only when the
    // whole chunk is in (an interrupt between blocks of rows leaves the model
    // as it was).
    Matrix moved = centers_;
    std::vector<std::uint64_t> counts = counts_;
    if (options.summarize) summary.labels.resize(r);
    summary.inertia = absorb_chunk(chunk, huge, moved, counts, options.summarize ? summary.labels.data() : nullptr);
    ChaCha12Rng rng = rng_;
    if (options.reassign && options.reassignment_ratio > 0.0)
        summary.reassigned = reassign_starved(chunk, options.reassignment_ratio, moved, counts, rng);
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
