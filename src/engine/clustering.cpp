#include "engine/clustering.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>

#include "text.hpp"
#include "engine/thread_pool.hpp"
#include "engine/weights.hpp"
#include "error.hpp"
#include "interrupt.hpp"

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

// Centers are laid out in blocks of kBlock side by side: block b holds, for each
// feature j, the j-th coordinate of centers b*kBlock ... b*kBlock+kBlock-1. The
// distances of a row to a whole block then accumulate in registers, each center
// still summing its features in order from zero. Slots past the last center hold
// NaN: their distance is NaN and never wins.
constexpr std::size_t kBlock = 8;

struct BlockedCenters {
    std::vector<double> values;  // n_blocks x d x kBlock
    std::size_t n_blocks = 0;
};

BlockedCenters block_centers(const Matrix& centers) {
    const std::size_t k = centers.rows(), d = centers.cols();
    BlockedCenters out;
    out.n_blocks = (k + kBlock - 1) / kBlock;
    out.values.assign(out.n_blocks * d * kBlock, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) out.values[((c / kBlock) * d + j) * kBlock + c % kBlock] = centers(c, j);
    return out;
}

// Four doubles; the compiler maps it onto whatever vector width the target has.
typedef double V4 __attribute__((vector_size(32)));
typedef long long I4 __attribute__((vector_size(32)));

// 4 x 4 transpose: out[c] holds lane c of rows[0..3], i.e. center c's
// distances to the four rows.
__attribute__((always_inline)) inline void transpose4(const V4* rows, V4* out) noexcept {
    const V4 even01 = __builtin_shuffle(rows[0], rows[1], I4{0, 4, 2, 6});
    const V4 odd01 = __builtin_shuffle(rows[0], rows[1], I4{1, 5, 3, 7});
    const V4 even23 = __builtin_shuffle(rows[2], rows[3], I4{0, 4, 2, 6});
    const V4 odd23 = __builtin_shuffle(rows[2], rows[3], I4{1, 5, 3, 7});
    out[0] = __builtin_shuffle(even01, even23, I4{0, 1, 4, 5});
    out[1] = __builtin_shuffle(odd01, odd23, I4{0, 1, 4, 5});
    out[2] = __builtin_shuffle(even01, even23, I4{2, 3, 6, 7});
    out[3] = __builtin_shuffle(odd01, odd23, I4{2, 3, 6, 7});
}

// Nearest center of R consecutive rows starting at x (row stride d); with
// kDistances also its squared distance (+inf when every distance is NaN).
template <std::size_t R, bool kDistances = false>
__attribute__((always_inline)) inline void nearest_rows(const double* __restrict x, std::size_t d,
                                                        const double* __restrict blocks, std::size_t n_blocks,
                                                        std::uint64_t* __restrict out,
                                                        double* __restrict out_d = nullptr) {
    static_assert(kBlock == 8);
    double best_d[R];
    std::uint64_t best[R];
    for (std::size_t r = 0; r < R; ++r) {
        best_d[r] = kInf;
        best[r] = 0;
    }
    V4 min4 = {kInf, kInf, kInf, kInf};  // the four-row path's running minimum and its center
    I4 arg4 = {0, 0, 0, 0};
    for (std::size_t b = 0; b < n_blocks; ++b) {
        V4 lo[R], hi[R];  // distances to centers 0-3 and 4-7 of the block
        for (std::size_t r = 0; r < R; ++r) lo[r] = hi[r] = V4{0.0, 0.0, 0.0, 0.0};
        const double* cb = blocks + b * d * kBlock;
        for (std::size_t j = 0; j < d; ++j) {
            V4 c_lo, c_hi;
            std::memcpy(&c_lo, cb + j * kBlock, sizeof c_lo);
            std::memcpy(&c_hi, cb + j * kBlock + 4, sizeof c_hi);
            for (std::size_t r = 0; r < R; ++r) {
                const double xr = x[r * d + j];
                const V4 dl = xr - c_lo, dh = xr - c_hi;
                lo[r] += dl * dl;
                hi[r] += dh * dh;
            }
        }
        if constexpr (R == 4) {
            // Transposed, each vector holds one center's distance to the four
            // rows, and the running minimum advances for all four at once.
            V4 by_center[kBlock];
            transpose4(lo, by_center);
            transpose4(hi, by_center + 4);
            for (std::size_t c = 0; c < kBlock; ++c) {
                const I4 better = by_center[c] < min4;
                min4 = better ? by_center[c] : min4;
                const long long index = static_cast<long long>(b * kBlock + c);
                arg4 = better ? I4{index, index, index, index} : arg4;
            }
        } else {
            for (std::size_t r = 0; r < R; ++r) {
                for (std::size_t c = 0; c < 4; ++c) {
                    const bool better = lo[r][c] < best_d[r];
                    best_d[r] = better ? lo[r][c] : best_d[r];
                    best[r] = better ? b * kBlock + c : best[r];
                }
                for (std::size_t c = 0; c < 4; ++c) {
                    const bool better = hi[r][c] < best_d[r];
                    best_d[r] = better ? hi[r][c] : best_d[r];
                    best[r] = better ? b * kBlock + 4 + c : best[r];
                }
            }
        }
    }
    if constexpr (R == 4) {
        for (std::size_t r = 0; r < R; ++r) out[r] = static_cast<std::uint64_t>(arg4[r]);
        if constexpr (kDistances)
            for (std::size_t r = 0; r < R; ++r) out_d[r] = min4[r];
    } else {
        for (std::size_t r = 0; r < R; ++r) out[r] = best[r];
        if constexpr (kDistances)
            for (std::size_t r = 0; r < R; ++r) out_d[r] = best_d[r];
    }
}

// Labels rows [begin, end) by their nearest center; returns whether any label
// differs from `previous` (when given).
SEGMORA_CLONES
bool assign_range(const double* __restrict data, std::size_t d, const BlockedCenters& centers, std::size_t begin,
                  std::size_t end, std::uint64_t* __restrict labels, const std::uint64_t* __restrict previous) {
    constexpr std::size_t kRows = 4;
    const double* blocks = centers.values.data();
    std::size_t i = begin;
    for (; i + kRows <= end; i += kRows) nearest_rows<kRows>(data + i * d, d, blocks, centers.n_blocks, labels + i);
    for (; i < end; ++i) nearest_rows<1>(data + i * d, d, blocks, centers.n_blocks, labels + i);
    if (!previous) return false;
    std::uint64_t diff = 0;
    for (std::size_t r = begin; r < end; ++r) diff |= labels[r] ^ previous[r];
    return diff != 0;
}

// Labels rows [begin, end) by their nearest center and writes that center's
// squared distance. The distance is the one squared_distance() gives: the
// blocked sums add each center's features in the same order.
SEGMORA_CLONES
void nearest_with_distances(const double* __restrict data, std::size_t d, const BlockedCenters& centers,
                            std::size_t begin, std::size_t end, std::uint64_t* __restrict labels,
                            double* __restrict distances) {
    constexpr std::size_t kRows = 4;
    const double* blocks = centers.values.data();
    std::size_t i = begin;
    for (; i + kRows <= end; i += kRows)
        nearest_rows<kRows, true>(data + i * d, d, blocks, centers.n_blocks, labels + i, distances + i);
    for (; i < end; ++i) nearest_rows<1, true>(data + i * d, d, blocks, centers.n_blocks, labels + i, distances + i);
}

// Adds every row to the sum of its label's center, in row order.
SEGMORA_CLONES
void accumulate(const double* __restrict data, std::size_t n, std::size_t d, const std::uint64_t* __restrict labels,
                double* __restrict sums, std::uint64_t* __restrict counts) {
    const double* x = data;
    for (std::size_t i = 0; i < n; ++i, x += d) {
        const std::uint64_t c = labels[i];
        ++counts[c];
        double* s = sums + c * d;
        for (std::size_t j = 0; j < d; ++j) s[j] += x[j];
    }
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

// The rows as they stand, each counted once: kmeans()'s policy. RowWeights
// offers the same operations for weighted rows.
struct Unweighted {
    std::size_t n;
    bool counts(std::size_t) const noexcept { return true; }
    double add(double running, double term, std::size_t) const noexcept { return running + term; }
    std::size_t draw(ChaCha12Rng& rng) const noexcept { return rng.uniform_index(n); }
    template <class Eligible>
    std::size_t draw(ChaCha12Rng& rng, Eligible&& eligible) const noexcept {
        std::uint64_t count = 0;
        for (std::size_t i = 0; i < n; ++i) count += eligible(i) ? 1 : 0;
        std::uint64_t nth = rng.uniform_index(count);
        for (std::size_t i = 0; i < n; ++i)
            if (eligible(i) && nth-- == 0) return i;
        return n - 1;  // not reached
    }
    std::size_t last() const noexcept { return n - 1; }
};

// The first row at which the running sum of `terms` (counted by the policy)
// reaches r; the last counted row if rounding leaves the sum short of r.
template <class W>
std::size_t walk_to(const std::vector<double>& terms, double r, const W& w) {
    double running = 0.0;
    for (std::size_t i = 0; i < terms.size(); ++i) {
        if (!w.counts(i)) continue;
        running = w.add(running, terms[i], i);
        if (running >= r) return i;
    }
    return w.last();
}

// A k-means++ pick when the squared distances sum past the double range: among
// the rows at an infinite distance when there are any, otherwise in
// proportion to the distances scaled down by an exact power of two.
template <class W>
std::size_t pick_beyond_range(const std::vector<double>& best, ChaCha12Rng& rng, const W& w) {
    const std::size_t n = best.size();
    auto infinite = [&](std::size_t i) { return w.counts(i) && std::isinf(best[i]); };
    for (std::size_t i = 0; i < n; ++i)
        if (infinite(i)) return w.draw(rng, infinite);
    std::vector<double> scaled(n);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        scaled[i] = std::ldexp(best[i], -64);
        if (w.counts(i)) total = w.add(total, scaled[i], i);
    }
    return walk_to(scaled, rng.uniform_float(total), w);
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
std::vector<double> own_center_distances(MatrixRef data, const Matrix& centers,
                                         const std::vector<std::uint64_t>& labels, ThreadPool* pool) {
    const std::size_t n = data.rows(), d = data.cols();
    std::vector<double> dist(n);
    for_rows(pool, n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            dist[i] = squared_distance(data.data() + i * d, centers.data() + labels[i] * d, d);
    });
    return dist;
}

// One Lloyd pass: labels every row by its nearest center (in parallel chunks)
// and adds each row to its new center's sum. Chunks are accumulated strictly in
// chunk order by one worker at a time, right after they are labelled and while
// their rows are still in cache, so every sum runs in row order. Returns whether
// any label differs from `previous`.
bool lloyd_pass(MatrixRef data, const BlockedCenters& centers, const std::uint64_t* previous,
                std::uint64_t* labels, double* sums, std::uint64_t* counts, ThreadPool& pool) {
    const std::size_t n = data.rows(), d = data.cols();
    const std::size_t n_chunks = (n + kRowChunk - 1) / kRowChunk;
    auto rows_of = [&](std::size_t c) { return std::pair{c * kRowChunk, std::min(n, (c + 1) * kRowChunk)}; };

    if (n_chunks <= 1 || pool.size() == 1) {
        const bool changed = assign_range(data.data(), d, centers, 0, n, labels, previous);
        accumulate(data.data(), n, d, labels, sums, counts);
        return changed;
    }

    std::unique_ptr<std::atomic<bool>[]> labelled(new std::atomic<bool>[n_chunks]);
    for (std::size_t c = 0; c < n_chunks; ++c) labelled[c].store(false, std::memory_order_relaxed);
    std::atomic<std::size_t> next_chunk{0};
    std::atomic<std::size_t> next_sum{0};  // first chunk not yet accumulated
    std::atomic<bool> summing{false};       // held by the worker accumulating
    std::atomic<bool> changed{false};

    // Accumulates labelled chunks in order while this worker holds `summing`.
    // After letting go it looks once more, so a chunk labelled while it held
    // the role is never left behind.
    auto drain = [&] {
        for (;;) {
            bool expected = false;
            if (!summing.compare_exchange_strong(expected, true)) return;
            std::size_t c = next_sum.load();
            while (c < n_chunks && labelled[c].load()) {
                const auto [begin, end] = rows_of(c);
                accumulate(data.data() + begin * d, end - begin, d, labels + begin, sums, counts);
                next_sum.store(++c);
            }
            summing.store(false);
            c = next_sum.load();
            if (c >= n_chunks || !labelled[c].load()) return;
        }
    };
    pool.run_tasks(std::min(pool.size(), n_chunks), [&](std::size_t) {
        for (std::size_t c = next_chunk.fetch_add(1); c < n_chunks && !pool.cancelled(); c = next_chunk.fetch_add(1)) {
            const auto [begin, end] = rows_of(c);
            if (assign_range(data.data(), d, centers, begin, end, labels, previous))
                changed.store(true, std::memory_order_relaxed);
            labelled[c].store(true);
            drain();
        }
        drain();
    });
    drain();  // every chunk is labelled by now; nothing is left, but make sure
    return changed.load();
}

// k-means++ under a row policy: each pick draws a row in proportion to its
// weight times its squared distance to the nearest center chosen so far.
template <class W>
std::pair<Matrix, std::vector<std::size_t>> plus_plus(MatrixRef data, std::size_t k, ChaCha12Rng& rng,
                                                      ThreadPool* pool, const W& w) {
    const std::size_t n = data.rows(), d = data.cols();
    Matrix centers(k, d);
    std::vector<std::size_t> chosen;
    chosen.reserve(k);

    auto take = [&](std::size_t c, std::size_t row) {
        std::copy_n(data.data() + row * d, d, centers.data() + c * d);
        chosen.push_back(row);
    };
    take(0, w.draw(rng));

    std::vector<double> best(n, kInf);
    for (std::size_t c = 1; c < k; ++c) {
        poll_interrupt();
        const double* last = centers.data() + (c - 1) * d;
        for_rows(pool, n, [&](std::size_t begin, std::size_t end) { update_nearest(data.data(), d, last, begin, end, best.data()); });
        double total = 0.0;
        for (std::size_t i = 0; i < n; ++i)
            if (w.counts(i)) total = w.add(total, best[i], i);

        std::size_t pick;
        if (!(total > 0.0)) {
            // Every row coincides with a chosen center.
            pick = w.draw(rng);
        } else if (std::isinf(total)) {
            // Finite rows far enough apart that squared distances overflow.
            pick = pick_beyond_range(best, rng, w);
        } else {
            pick = walk_to(best, rng.uniform_float(total), w);
        }
        take(c, pick);
    }
    return {std::move(centers), std::move(chosen)};
}

}  // namespace

namespace {

// Whether any of n values is NaN or infinite (exponent bits all set); a plain
// bitwise loop the compiler vectorises.
SEGMORA_CLONES
bool any_non_finite(const double* __restrict v, std::size_t n) noexcept {
    constexpr std::uint64_t kExponent = 0x7ff0000000000000ULL;
    std::uint64_t bad = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t bits;
        std::memcpy(&bits, v + i, sizeof bits);
        bad |= (bits & kExponent) == kExponent ? 1 : 0;
    }
    return bad != 0;
}

}  // namespace

void require_finite(MatrixView data) {
    const std::size_t total = data.rows * data.cols;
    constexpr std::size_t kStretch = 1024;  // stop soon after the first bad value
    for (std::size_t start = 0; start < total; start += kStretch) {
        const std::size_t end = std::min(total, start + kStretch);
        if (!any_non_finite(data.data + start, end - start)) continue;
        for (std::size_t idx = start; idx < end; ++idx) {
            const double v = data.data[idx];
            if (!std::isfinite(v)) {
                const std::size_t d = data.cols;
                throw SegmoraError::data_validation(
                    format("data contains a non-finite value ({}) at row {}, column {}", v, idx / d, idx % d));
            }
        }
    }
}

std::pair<Matrix, std::vector<std::size_t>> kmeans_plus_plus_init(MatrixRef data, std::size_t k,
                                                                  ChaCha12Rng& rng, ThreadPool* pool) {
    return plus_plus(data, k, rng, pool, Unweighted{data.rows()});
}

namespace {

// Rows per center: counted exactly for plain rows, as weight totals otherwise
// (whole weights add up exactly, so either gives the same divisor).
template <class W>
using Count = std::conditional_t<std::is_same_v<W, Unweighted>, std::uint64_t, double>;

bool lloyd_step(const Unweighted&, MatrixRef data, const BlockedCenters& centers, const std::uint64_t* previous,
                std::uint64_t* labels, double* sums, std::uint64_t* counts, ThreadPool& pool) {
    return lloyd_pass(data, centers, previous, labels, sums, counts, pool);
}

// The weighted pass: rows are labelled in parallel, then added in row order,
// each with its weight; only rows of positive weight count as changes.
bool lloyd_step(const RowWeights& w, MatrixRef data, const BlockedCenters& centers, const std::uint64_t* previous,
                std::uint64_t* labels, double* sums, double* totals, ThreadPool& pool) {
    const std::size_t n = data.rows(), d = data.cols();
    for_rows(&pool, n, [&](std::size_t begin, std::size_t end) {
        assign_range(data.data(), d, centers, begin, end, labels, nullptr);
    });
    bool changed = false;
    const double* x = data.data();
    for (std::size_t i = 0; i < n; ++i, x += d) {
        if (!w.counts(i)) continue;
        const std::uint64_t c = labels[i];
        changed = changed || c != previous[i];
        totals[c] += w[i];
        double* s = sums + c * d;
        for (std::size_t j = 0; j < d; ++j) s[j] = w.add(s[j], x[j], i);
    }
    return changed;
}

// Lloyd's iterations from the given centers.
template <class W>
KMeansResult lloyd(MatrixRef data, Matrix centers, std::uint64_t max_iter, ThreadPool& pool, const W& w) {
    const std::size_t n = data.rows(), d = data.cols(), k = centers.rows();
    std::vector<std::uint64_t> labels(n, 0);
    std::vector<std::uint64_t> new_labels(n);

    // A pass is a function of the centers alone (the previous labels only decide
    // whether it counts as a change), so once the centers come back bit-identical
    // to those of an earlier pass, the passes cycle for ever. Brent's method finds
    // the period with one saved matrix. If a whole further period counts as
    // changes (refilled clusters, labels moving back and forth), every later pass
    // does too and the loop could only end at max_iter: only the passes that set
    // the final phase of the cycle are run, and n_iter reports max_iter.
    Matrix checkpoint = centers;
    std::uint64_t power = 1, since_checkpoint = 0;
    std::uint64_t period = 0, confirmed_at = 0;
    std::uint64_t last = max_iter;  // the last pass run for real
    bool skipped = false;
    auto same = [&](const Matrix& a, const Matrix& b) {
        return a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
    };

    std::uint64_t t = 0;
    while (t < last) {
        poll_interrupt();
        // Assignment and update in one pass over the data.
        Matrix new_centers(k, d);
        std::vector<Count<W>> counts(k, 0);
        double* sums = new_centers.data();
        bool changed = lloyd_step(w, data, block_centers(centers), labels.data(), new_labels.data(), sums,
                                  counts.data(), pool);

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
                const std::vector<double> dist = own_center_distances(data, centers, new_labels, &pool);
                double best = -kInf;
                for (std::size_t i = 0; i < n; ++i) {
                    if (w.counts(i) && dist[i] >= best) {
                        best = dist[i];
                        farthest = i;
                    }
                }
            }
            std::copy_n(data.data() + farthest * d, d, s);
        }
        if (any_empty) changed = true;

        labels.swap(new_labels);
        centers = std::move(new_centers);
        ++t;
        if (!changed) break;

        if (period == 0) {
            ++since_checkpoint;
            if (same(centers, checkpoint)) {
                period = since_checkpoint;
                confirmed_at = t + period;
            } else if (since_checkpoint == power) {
                checkpoint = centers;
                power *= 2;
                since_checkpoint = 0;
            }
        } else if (t == confirmed_at && !skipped) {
            skipped = true;
            last = t + (max_iter - t) % period;
        }
    }
    if (skipped) t = max_iter;

    const std::vector<double> dist = own_center_distances(data, centers, labels, &pool);
    double inertia = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        if (w.counts(i)) inertia = w.add(inertia, dist[i], i);

    return KMeansResult{std::move(labels), std::move(centers), inertia, t};
}

}  // namespace

KMeansResult kmeans(MatrixRef data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs) {
    return kmeans(data, n_clusters, max_iter, random_state, n_jobs, KMeansOptions{});
}

KMeansResult kmeans(MatrixRef data, std::uint64_t n_clusters, std::uint64_t max_iter, std::uint64_t random_state,
                    std::int32_t n_jobs, const KMeansOptions& options) {
    const std::size_t n = data.rows(), d = data.cols();
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
    if (n == 0) throw SegmoraError::data_validation("data has no rows");
    if (n_clusters > n)
        throw SegmoraError::invalid_config(
            format("n_clusters ({}) cannot exceed number of data points ({})", n_clusters, n));
    require_finite(data);
    if (options.n_init == 0) throw SegmoraError::invalid_config("n_init must be > 0");
    if (options.init) {
        if (options.init->rows() != n_clusters || options.init->cols() != d)
            throw SegmoraError::invalid_config(format("init has {} x {} centers but the fit needs {} x {}",
                                                      options.init->rows(), options.init->cols(), n_clusters, d));
        require_finite(*options.init);
    }
    std::optional<RowWeights> weights;
    if (options.weights) {
        weights.emplace(*options.weights, n);
        if (weights->all_ones()) weights.reset();  // plain rows, computed the plain way
    }

    const auto pool = build_thread_pool(n_jobs);
    const std::size_t k = n_clusters;
    ChaCha12Rng rng(random_state);
    const std::uint64_t runs = options.init ? 1 : options.n_init;
    KMeansResult best;
    for (std::uint64_t run = 0; run < runs; ++run) {
        poll_interrupt();
        KMeansResult result;
        if (weights) {
            Matrix seeds = options.init ? *options.init : plus_plus(data, k, rng, pool.get(), *weights).first;
            result = lloyd(data, std::move(seeds), max_iter, *pool, *weights);
        } else {
            Matrix seeds = options.init ? *options.init : kmeans_plus_plus_init(data, k, rng, pool.get()).first;
            result = lloyd(data, std::move(seeds), max_iter, *pool, Unweighted{n});
        }
        if (run == 0 || result.inertia < best.inertia) best = std::move(result);
    }
    return best;
}

std::vector<std::uint64_t> assign_to_clusters(MatrixRef data, const Matrix& centers) {
    if (centers.rows() == 0)
        throw SegmoraError::invalid_config("cannot assign to clusters: no centers provided (model not fitted?)");
    if (data.cols() != centers.cols())
        throw SegmoraError::data_validation(
            format("data has {} features but centers have {} features", data.cols(), centers.cols()));
    std::vector<std::uint64_t> labels(data.rows(), 0);
    assign_range(data.data(), data.cols(), block_centers(centers), 0, data.rows(), labels.data(), nullptr);
    return labels;
}

Assignment assign_with_inertia(MatrixView data, const Matrix& centers) {
    if (centers.rows() == 0)
        throw SegmoraError::invalid_config("cannot assign to clusters: no centers provided (model not fitted?)");
    const std::size_t d = centers.cols();
    if (data.rows > 0 && data.cols != d)
        throw SegmoraError::data_validation(format("data has {} features but centers have {} features", data.cols, d));
    Assignment out;
    out.labels.assign(data.rows, 0);
    const BlockedCenters blocked = block_centers(centers);
    for (std::size_t begin = 0; begin < data.rows; begin += kRowChunk) {
        poll_interrupt();
        const std::size_t end = std::min(data.rows, begin + kRowChunk);
        assign_range(data.data, d, blocked, begin, end, out.labels.data(), nullptr);
        for (std::size_t i = begin; i < end; ++i)
            out.inertia += squared_distance(data.row(i), centers.data() + out.labels[i] * d, d);
    }
    return out;
}

std::size_t nearest_center(const double* row, const Matrix& centers) noexcept {
    const std::size_t k = centers.rows(), d = centers.cols();
    std::size_t best = 0;
    double best_d2 = kInf;
    for (std::size_t c = 0; c < k; ++c) {
        const double d2 = squared_distance(row, centers.data() + c * d, d);
        if (d2 < best_d2) {
            best_d2 = d2;
            best = c;
        }
    }
    return best;
}

namespace {

void check_chunk(MatrixRef data, const Matrix& centers) {
    if (centers.rows() == 0)
        throw SegmoraError::invalid_config("cannot assign to clusters: no centers provided (model not fitted?)");
    // A chunk of no rows (an empty partition, read as 0 x 0) fits any centers.
    if (data.rows() > 0 && data.cols() != centers.cols())
        throw SegmoraError::data_validation(
            format("data has {} features but centers have {} features", data.cols(), centers.cols()));
    require_finite(data);
    require_finite(centers);
}

void check_labels(const std::vector<std::uint64_t>& labels, std::size_t n, std::size_t k) {
    if (labels.size() != n)
        throw SegmoraError::data_validation(format("labels has {} entries but data has {} rows", labels.size(), n));
    for (std::size_t i = 0; i < n; ++i)
        if (labels[i] >= k)
            throw SegmoraError::data_validation(format("label {} at row {} names no center (k = {})", labels[i], i, k));
}

}  // namespace

LloydChunkStep lloyd_chunk_step(MatrixRef data, const Matrix& centers, const std::vector<std::uint64_t>* previous) {
    check_chunk(data, centers);
    const std::size_t n = data.rows(), d = centers.cols(), k = centers.rows();
    if (previous) check_labels(*previous, n, k);
    LloydChunkStep out;
    out.labels.assign(n, 0);
    out.sums = Matrix(k, d);
    out.counts.assign(k, 0);
    const std::vector<std::uint64_t> zeros(previous ? 0 : n, 0);
    out.changed = assign_range(data.data(), d, block_centers(centers), 0, n, out.labels.data(),
                               previous ? previous->data() : zeros.data());
    accumulate(data.data(), n, d, out.labels.data(), out.sums.data(), out.counts.data());
    const std::vector<double> dist = own_center_distances(data, centers, out.labels, nullptr);
    out.farthest_distance = -kInf;
    for (std::size_t i = 0; i < n; ++i) {
        out.inertia += dist[i];
        if (dist[i] >= out.farthest_distance) {
            out.farthest_distance = dist[i];
            out.farthest = i;
        }
    }
    return out;
}

double labelled_inertia(MatrixRef data, const Matrix& centers, const std::vector<std::uint64_t>& labels) {
    check_chunk(data, centers);
    check_labels(labels, data.rows(), centers.rows());
    double inertia = 0.0;
    for (double v : own_center_distances(data, centers, labels, nullptr)) inertia += v;
    return inertia;
}

// ---- k-means over partitions, fed block by block ----

namespace {

constexpr std::size_t kPollEvery = 64;  // chunks between interrupt polls

void check_centers(const Matrix& centers) {
    if (centers.rows() == 0)
        throw SegmoraError::invalid_config("cannot assign to clusters: no centers provided (model not fitted?)");
    require_finite(centers);
}

void check_width(RowBlock block, const Matrix& centers, const char* what) {
    // A block of no rows (an empty partition, read as 0 x 0) fits any centers.
    if (block.rows > 0 && block.cols != centers.cols())
        throw SegmoraError::data_validation(format("data has {} features but {} have {} features", block.cols, what,
                                                   centers.cols()));
}

// Rows at +inf from every center hold a NaN or infinite value, or lie so far out
// that their squared distances overflow; only the first is an error.
void require_finite_rows(RowBlock block, std::size_t begin, std::size_t end) {
    const std::size_t d = block.cols;
    for (std::size_t idx = begin * d; idx < end * d; ++idx)
        if (!std::isfinite(block.data[idx]))
            throw SegmoraError::data_validation(format("data contains a non-finite value ({}) at row {}, column {}",
                                                       block.data[idx], idx / d, idx % d));
}

void check_far_rows(RowBlock block, std::size_t begin, const double* dist, std::size_t m) {
    bool far = false;
    for (std::size_t r = 0; r < m; ++r) far |= !(dist[r] < kInf);
    if (far) require_finite_rows(block, begin, begin + m);
}

// A pick in proportion to `weights` (uniform when they sum to 0).
std::size_t weighted_pick(const std::vector<double>& weights, ChaCha12Rng& rng) {
    const Unweighted each{weights.size()};
    double total = 0.0;
    for (double w : weights) total += w;
    if (!(total > 0.0)) return rng.uniform_index(weights.size());
    if (std::isinf(total)) return pick_beyond_range(weights, rng, each);
    return walk_to(weights, rng.uniform_float(total), each);
}

constexpr std::uint64_t kBlocksPerRound = std::uint64_t{1} << 32;
constexpr std::uint64_t kDrawsPerBlock = 8;                      // 64-bit draws in a 16-word block
constexpr std::uint64_t kDrawsPerRefill = kDrawsPerBlock * ChaCha12Rng::kBlocksPerRefill;

}  // namespace

std::size_t lloyd_totals_size(std::size_t k, std::size_t d) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (d != 0 && k > kMax / d) throw SegmoraError::invalid_config(format("{} centers of {} features are too many", k, d));
    const std::size_t sums = k * d;
    if (sums > kMax - k - 2 - d) throw SegmoraError::invalid_config(format("{} centers of {} features are too many", k, d));
    return sums + k + 2 + d;
}

bool lloyd_block_step(RowBlock block, const Matrix& centers, std::span<double> totals, std::uint64_t* labels,
                      const Matrix* previous_centers) {
    check_centers(centers);
    check_width(block, centers, "centers");
    if (previous_centers) {
        check_centers(*previous_centers);
        check_width(block, *previous_centers, "previous_centers");
    }
    const std::size_t n = block.rows, d = centers.cols(), k = centers.rows();
    const std::size_t size = lloyd_totals_size(k, d);
    if (totals.size() != size)
        throw SegmoraError::data_validation(
            format("totals have {} values but {} centers of {} features need {}", totals.size(), k, d, size));
    if (n == 0) return false;

    double* sums = totals.data();
    double* counts = sums + k * d;
    double& inertia = counts[k];
    double& farthest_distance = counts[k + 1];
    double* farthest_row = counts + k + 2;

    const BlockedCenters blocked = block_centers(centers);
    std::optional<BlockedCenters> previous_blocked;
    if (previous_centers) previous_blocked = block_centers(*previous_centers);
    const std::size_t chunk = std::min(n, kRowChunk);
    std::vector<std::uint64_t> chunk_labels(chunk), earlier(previous_centers ? chunk : 0);
    std::vector<double> dist(chunk);
    std::vector<std::uint64_t> chunk_counts(k, 0);
    std::optional<std::size_t> farthest;
    std::uint64_t diff = 0;
    for (std::size_t begin = 0, c = 0; begin < n; begin += kRowChunk, ++c) {
        if (c % kPollEvery == 0) poll_interrupt();
        const std::size_t m = std::min(n - begin, kRowChunk);
        const double* x = block.data + begin * d;
        nearest_with_distances(x, d, blocked, 0, m, chunk_labels.data(), dist.data());
        check_far_rows(block, begin, dist.data(), m);
        if (labels) {
            std::uint64_t* out = labels + begin;
            for (std::size_t r = 0; r < m; ++r) diff |= chunk_labels[r] ^ out[r];
            std::copy_n(chunk_labels.data(), m, out);
        } else if (previous_blocked) {
            assign_range(x, d, *previous_blocked, 0, m, earlier.data(), nullptr);
            for (std::size_t r = 0; r < m; ++r) diff |= chunk_labels[r] ^ earlier[r];
        } else {
            for (std::size_t r = 0; r < m; ++r) diff |= chunk_labels[r];
        }
        accumulate(x, m, d, chunk_labels.data(), sums, chunk_counts.data());
        for (std::size_t r = 0; r < m; ++r) {
            inertia += dist[r];
            if (dist[r] >= farthest_distance) {
                farthest_distance = dist[r];
                farthest = begin + r;
            }
        }
    }
    // Counts stay exact as doubles up to 2^53 rows.
    for (std::size_t c = 0; c < k; ++c) counts[c] += static_cast<double>(chunk_counts[c]);
    if (farthest) std::copy_n(block.data + *farthest * d, d, farthest_row);
    return diff != 0;
}

double lloyd_block_inertia(RowBlock block, const Matrix& centers, const std::uint64_t* labels,
                           const Matrix* label_centers, double start) {
    check_centers(centers);
    check_width(block, centers, "centers");
    if (label_centers) {
        check_centers(*label_centers);
        check_width(block, *label_centers, "label_centers");
    }
    const std::size_t n = block.rows, d = centers.cols(), k = centers.rows();
    std::optional<BlockedCenters> label_blocked;
    if (label_centers) label_blocked = block_centers(*label_centers);
    const std::size_t chunk = std::min(n, kRowChunk);
    std::vector<std::uint64_t> chunk_labels(chunk, 0);
    std::vector<double> dist(chunk);
    double total = start;
    for (std::size_t begin = 0, c = 0; begin < n; begin += kRowChunk, ++c) {
        if (c % kPollEvery == 0) poll_interrupt();
        const std::size_t m = std::min(n - begin, kRowChunk);
        const double* x = block.data + begin * d;
        if (labels) {
            for (std::size_t r = 0; r < m; ++r) {
                // Read once: the caller's array may change meanwhile, and the label checked must be the one used.
                const std::uint64_t label = labels[begin + r];
                if (label >= k)
                    throw SegmoraError::data_validation(format("label {} at row {} names no center (k = {})", label, begin + r, k));
                chunk_labels[r] = label;
            }
        } else if (label_blocked) {
            assign_range(x, d, *label_blocked, 0, m, chunk_labels.data(), nullptr);
        }
        for (std::size_t r = 0; r < m; ++r)
            dist[r] = squared_distance(x + r * d, centers.data() + chunk_labels[r] * d, d);
        check_far_rows(block, begin, dist.data(), m);
        for (std::size_t r = 0; r < m; ++r) total += dist[r];
    }
    return total;
}

std::uint64_t kmeans_parallel_first(std::uint64_t n_rows, std::uint64_t n_clusters, std::uint64_t random_state) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
    if (n_rows == 0) throw SegmoraError::data_validation("data has no rows");
    if (n_clusters > n_rows)
        throw SegmoraError::invalid_config(
            format("n_clusters ({}) cannot exceed number of data points ({})", n_clusters, n_rows));
    ChaCha12Rng rng(random_state);
    return rng.uniform_index(n_rows);
}

SeedingRound kmeans_parallel_round(RowBlock block, const Matrix& candidates, double* best, double oversampling,
                                   std::uint64_t random_state, std::uint64_t partition, std::uint64_t round,
                                   std::uint64_t first_row, double start) {
    if (candidates.rows() == 0) throw SegmoraError::invalid_config("k-means|| needs at least one candidate");
    check_width(block, candidates, "candidates");
    require_finite(candidates);
    if (!(std::isfinite(oversampling) && oversampling > 0.0))
        throw SegmoraError::data_validation(format("oversampling must be finite and positive, got {}", oversampling));
    if (partition == std::numeric_limits<std::uint64_t>::max())
        throw SegmoraError::data_validation(format("partition {} is out of range", partition));
    if (round >= kBlocksPerRound)
        throw SegmoraError::data_validation(format("round {} is out of range (at most {})", round, kBlocksPerRound - 1));
    const std::uint64_t draws = kBlocksPerRound * kDrawsPerBlock;
    const std::size_t n = block.rows, d = candidates.cols();
    if (first_row > draws || n > draws - first_row)
        throw SegmoraError::data_validation(
            format("rows {} to {} of partition {} are past the {} draws of a round", first_row, first_row + n, partition,
                   draws));

    SeedingRound out;
    out.cost = start;
    if (n == 0) return out;
    // Row j of the partition takes the round's j-th draw, whatever block it is in.
    ChaCha12Rng rng(random_state, partition + 1,
                    round * kBlocksPerRound + first_row / kDrawsPerRefill * ChaCha12Rng::kBlocksPerRefill);
    for (std::uint64_t skip = first_row % kDrawsPerRefill; skip > 0; --skip) rng.next_u64();

    const BlockedCenters blocked = block_centers(candidates);
    const std::size_t chunk = std::min(n, kRowChunk);
    std::vector<std::uint64_t> nearest(chunk);
    std::vector<double> dist(chunk);
    for (std::size_t begin = 0, c = 0; begin < n; begin += kRowChunk, ++c) {
        if (c % kPollEvery == 0) poll_interrupt();
        const std::size_t m = std::min(n - begin, kRowChunk);
        nearest_with_distances(block.data + begin * d, d, blocked, 0, m, nearest.data(), dist.data());
        check_far_rows(block, begin, dist.data(), m);
        for (std::size_t r = 0; r < m; ++r) {
            double d2 = dist[r];
            if (best) {
                if (best[begin + r] < d2) d2 = best[begin + r];
                best[begin + r] = d2;
            }
            out.cost += d2;
            const double u = rng.uniform_float(1.0);
            if (u * out.cost < oversampling * d2) {
                out.rows.push_back(begin + r);
                out.distances.push_back(d2);
                out.draws.push_back(u);
            }
        }
    }
    return out;
}

Matrix kmeans_parallel_reduce(const Matrix& candidates, std::span<const double> weights, std::uint64_t n_clusters,
                              std::uint64_t random_state) {
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
    const std::size_t m = candidates.rows(), d = candidates.cols();
    if (m == 0) throw SegmoraError::data_validation("there are no candidates to choose seeds from");
    if (weights.size() != m)
        throw SegmoraError::data_validation(
            format("weights has {} entries but there are {} candidates", weights.size(), m));
    require_finite(candidates);
    for (std::size_t i = 0; i < m; ++i)
        if (!(std::isfinite(weights[i]) && weights[i] >= 0.0))
            throw SegmoraError::data_validation(
                format("weight {} of candidate {} is not a finite non-negative number", weights[i], i));
    lloyd_totals_size(n_clusters, d);  // k x d must be allocatable
    const std::size_t k = n_clusters;

    ChaCha12Rng rng(random_state, 0, kBlocksPerRound);
    Matrix seeds(k, d);
    std::vector<double> weighted(weights.begin(), weights.end());
    std::size_t pick = weighted_pick(weighted, rng);
    std::copy_n(candidates.data() + pick * d, d, seeds.data());
    std::vector<double> best(m, kInf);
    for (std::size_t c = 1; c < k; ++c) {
        poll_interrupt();
        update_nearest(candidates.data(), d, seeds.data() + (c - 1) * d, 0, m, best.data());
        for (std::size_t i = 0; i < m; ++i) weighted[i] = weights[i] * best[i];
        pick = weighted_pick(weighted, rng);
        std::copy_n(candidates.data() + pick * d, d, seeds.data() + c * d);
    }
    return seeds;
}

}  // namespace segmora::engine
