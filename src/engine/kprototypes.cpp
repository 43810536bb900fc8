#include "engine/kprototypes.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "engine/algorithms.hpp"
#include "engine/clustering.hpp"
#include "engine/random.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"
#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kRowChunk = 4096;
constexpr double kMinGamma = 1e-9;

// Codes the fit works with: each column's codes are below `width[j]` (at most
// the row count), so a mode is found with one tally array. Columns whose codes
// reach the row count are replaced by their rank among the column's distinct
// codes, which keeps equality and order; `values[j]` maps a rank back.
struct WorkingCodes {
    const std::uint64_t* codes = nullptr;  // n x m, the caller's or `ranked`
    std::vector<std::uint64_t> ranked;
    std::vector<std::uint64_t> width;
    std::vector<std::vector<std::uint64_t>> values;  // empty: the identity

    std::uint64_t original(std::size_t j, std::uint64_t code) const noexcept {
        return values[j].empty() ? code : values[j][code];
    }
};

WorkingCodes working_codes(const CodeMatrix& cat) {
    const std::size_t n = cat.rows, m = cat.cols;
    WorkingCodes w;
    w.width.assign(m, 0);
    w.values.resize(m);
    std::vector<std::size_t> to_rank;
    for (std::size_t j = 0; j < m; ++j) {
        std::uint64_t top = 0;
        for (std::size_t i = 0; i < n; ++i) top = std::max(top, cat(i, j));
        if (top < n) w.width[j] = top + 1;
        else to_rank.push_back(j);
    }
    if (to_rank.empty()) {
        w.codes = cat.codes.data();
        return w;
    }
    w.ranked = cat.codes;
    for (const std::size_t j : to_rank) {
        std::vector<std::uint64_t>& distinct = w.values[j];
        distinct.resize(n);
        for (std::size_t i = 0; i < n; ++i) distinct[i] = cat(i, j);
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        for (std::size_t i = 0; i < n; ++i)
            w.ranked[i * m + j] = static_cast<std::uint64_t>(
                std::lower_bound(distinct.begin(), distinct.end(), cat(i, j)) - distinct.begin());
        w.width[j] = distinct.size();
    }
    w.codes = w.ranked.data();
    return w;
}

// One row's cost against one prototype, as the assignment computes it.
struct Prototypes {
    const Matrix& data;
    const std::uint64_t* codes;  // n x m, or null when m = 0
    std::size_t m;
    double gamma;
    const Matrix& centers;
    const std::vector<std::uint64_t>& modes;  // k x m

    double cost(std::size_t i, std::size_t c) const noexcept {
        const std::size_t d = data.cols();
        const double* x = data.data() + i * d;
        const double* center = centers.data() + c * d;
        double s = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double diff = x[j] - center[j];
            s += diff * diff;
        }
        if (m == 0) return s;
        const std::uint64_t* row = codes + i * m;
        const std::uint64_t* mode = modes.data() + c * m;
        std::size_t mismatches = 0;
        for (std::size_t j = 0; j < m; ++j) mismatches += row[j] != mode[j];
        return s + gamma * static_cast<double>(mismatches);
    }
};

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define SEGMORA_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SEGMORA_CLONES
#endif

// The prototypes laid out feature by feature (value j of cluster c at j * k + c),
// so one row's costs to all clusters accumulate side by side; every cluster
// still sums its features in order from zero.
struct FeatureMajor {
    std::vector<double> centers;
    std::vector<std::uint64_t> modes;
    std::size_t k = 0;

    FeatureMajor(const Matrix& c, const std::vector<std::uint64_t>& row_major_modes, std::size_t m)
        : centers(c.cols() * c.rows()), modes(m * c.rows()), k(c.rows()) {
        for (std::size_t i = 0; i < k; ++i) {
            for (std::size_t j = 0; j < c.cols(); ++j) centers[j * k + i] = c(i, j);
            for (std::size_t j = 0; j < m; ++j) modes[j * k + i] = row_major_modes[i * m + j];
        }
    }
};

// Labels rows [begin, end) with the first cluster of strictly smallest cost
// (from +inf); returns whether a label differs from `previous`. `scratch`
// holds 2k doubles.
SEGMORA_CLONES
bool assign_rows(const double* __restrict data, std::size_t d, const std::uint64_t* __restrict codes, std::size_t m,
                 double gamma, const FeatureMajor& p, std::size_t begin, std::size_t end,
                 const std::uint64_t* __restrict previous, std::uint64_t* __restrict labels, double* __restrict scratch) {
    const std::size_t k = p.k;
    double* __restrict dist = scratch;
    double* __restrict mismatches = scratch + k;
    const double* __restrict centers = p.centers.data();
    const std::uint64_t* __restrict modes = p.modes.data();
    bool changed = false;
    for (std::size_t i = begin; i < end; ++i) {
        const double* x = data + i * d;
        algorithms::squared_distances(x, d, centers, k, k, dist);
        std::uint64_t best = 0;
        double best_cost = kInf;
        if (m == 0) {
            for (std::size_t c = 0; c < k; ++c) {
                if (dist[c] < best_cost) {
                    best_cost = dist[c];
                    best = c;
                }
            }
        } else {
            for (std::size_t c = 0; c < k; ++c) mismatches[c] = 0.0;
            const std::uint64_t* row = codes + i * m;
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint64_t code = row[j];
                const std::uint64_t* mj = modes + j * k;
                for (std::size_t c = 0; c < k; ++c) mismatches[c] += code != mj[c] ? 1.0 : 0.0;
            }
            for (std::size_t c = 0; c < k; ++c) {
                const double cost = dist[c] + gamma * mismatches[c];
                if (cost < best_cost) {
                    best_cost = cost;
                    best = c;
                }
            }
        }
        labels[i] = best;
        changed |= best != previous[i];
    }
    return changed;
}

// Row indices grouped by label, each group in row order; offsets has k + 1 entries.
void group_rows(const std::vector<std::uint64_t>& labels, const std::vector<std::size_t>& counts,
                std::vector<std::size_t>& offsets, std::vector<std::size_t>& order) {
    const std::size_t k = counts.size();
    offsets.assign(k + 1, 0);
    for (std::size_t c = 0; c < k; ++c) offsets[c + 1] = offsets[c] + counts[c];
    std::vector<std::size_t> next(offsets.begin(), offsets.end() - 1);
    order.resize(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) order[next[labels[i]]++] = i;
}

// Mode update: per cluster and column, the most frequent code among the
// cluster's rows, the largest code among equally frequent ones. A cluster
// without rows keeps its mode.
void update_modes(const WorkingCodes& w, std::size_t m, const std::vector<std::uint64_t>& labels,
                  const std::vector<std::size_t>& counts, std::vector<std::uint64_t>& modes) {
    const std::size_t n = labels.size(), k = counts.size();
    const std::uint64_t widest = *std::max_element(w.width.begin(), w.width.end());
    if (widest <= (4 * n + 65536) / k) {
        // Few distinct codes: one k x width tally per column, filled in one pass.
        std::vector<std::uint64_t> tally;
        for (std::size_t j = 0; j < m; ++j) {
            const std::size_t width = w.width[j];
            tally.assign(k * width, 0);
            for (std::size_t i = 0; i < n; ++i) ++tally[labels[i] * width + w.codes[i * m + j]];
            for (std::size_t c = 0; c < k; ++c) {
                if (counts[c] == 0) continue;
                const std::uint64_t* t = tally.data() + c * width;
                std::size_t best = 0;
                for (std::size_t code = 1; code < width; ++code)
                    if (t[code] >= t[best]) best = code;
                modes[c * m + j] = best;
            }
        }
        return;
    }
    // Many distinct codes: tally each cluster's rows in turn in one shared array.
    std::vector<std::size_t> offsets, order;
    group_rows(labels, counts, offsets, order);
    std::vector<std::uint64_t> tally(widest, 0);
    for (std::size_t j = 0; j < m; ++j) {
        for (std::size_t c = 0; c < k; ++c) {
            const std::size_t begin = offsets[c], end = offsets[c + 1];
            if (begin == end) continue;
            for (std::size_t r = begin; r < end; ++r) ++tally[w.codes[order[r] * m + j]];
            std::uint64_t best = 0, best_count = 0;
            for (std::size_t r = begin; r < end; ++r) {
                const std::uint64_t code = w.codes[order[r] * m + j];
                const std::uint64_t count = tally[code];
                if (count > best_count || (count == best_count && code > best)) {
                    best_count = count;
                    best = code;
                }
            }
            for (std::size_t r = begin; r < end; ++r) tally[w.codes[order[r] * m + j]] = 0;
            modes[c * m + j] = best;
        }
    }
}

void validate(const Matrix& numeric, const CodeMatrix* categorical, std::uint64_t n_clusters) {
    const std::size_t n = numeric.rows();
    if (n_clusters == 0) throw SegmoraError::invalid_config("n_clusters must be > 0");
    if (n == 0) throw SegmoraError::data_validation("data has no rows");
    if (n_clusters > n)
        throw SegmoraError::invalid_config(
            format("n_clusters ({}) cannot exceed number of data points ({})", n_clusters, n));
    if (categorical && categorical->rows != n)
        throw SegmoraError::data_validation(
            format("categorical data has {} rows but numeric data has {} rows", categorical->rows, n));
    require_finite(numeric);
}

}  // namespace

double kprototypes_gamma(const Matrix& numeric) {
    const std::size_t n = numeric.rows(), d = numeric.cols();
    std::vector<double> mean(d, 0.0), var(d, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) mean[j] += numeric(i, j);
    for (std::size_t j = 0; j < d; ++j) mean[j] /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) {
            const double diff = numeric(i, j) - mean[j];
            var[j] += diff * diff;
        }
    double total = 0.0;
    for (std::size_t j = 0; j < d; ++j) total += var[j] / static_cast<double>(n);
    const double gamma = std::sqrt(total / static_cast<double>(d == 0 ? 1 : d));
    return gamma < kMinGamma ? kMinGamma : gamma;
}

KPrototypesResult kprototypes_fit(const Matrix& numeric, const CodeMatrix* categorical, std::uint64_t n_clusters,
                                  std::uint64_t max_iter, std::uint64_t random_state, std::int32_t n_jobs) {
    validate(numeric, categorical, n_clusters);
    const auto pool = build_thread_pool(n_jobs);
    const std::size_t n = numeric.rows(), d = numeric.cols(), k = n_clusters;
    const std::size_t m = categorical ? categorical->cols : 0;

    KPrototypesResult out;
    out.gamma = kprototypes_gamma(numeric);
    const WorkingCodes w = m > 0 ? working_codes(*categorical) : WorkingCodes{};

    ChaCha12Rng rng(random_state);
    auto [centers, chosen] = kmeans_plus_plus_init(numeric, k, rng, pool.get());
    std::vector<std::uint64_t> modes(k * m);
    for (std::size_t c = 0; c < k; ++c)
        std::copy_n(w.codes + chosen[c] * m, m, modes.begin() + static_cast<std::ptrdiff_t>(c * m));

    const Prototypes protos{numeric, m > 0 ? w.codes : nullptr, m, out.gamma, centers, modes};
    std::vector<std::uint64_t> labels(n, 0), new_labels(n);
    std::vector<std::size_t> counts(k);
    Matrix sums(k, d);
    std::uint64_t t = 0, passes = 0;
    while (t < max_iter) {
        poll_interrupt();
        std::atomic<bool> changed{false};
        const FeatureMajor layout(centers, modes, m);
        pool->parallel_for(n, kRowChunk, [&](std::size_t begin, std::size_t end) {
            std::vector<double> scratch(2 * k);
            if (assign_rows(numeric.data(), d, protos.codes, m, out.gamma, layout, begin, end, labels.data(),
                            new_labels.data(), scratch.data()))
                changed.store(true, std::memory_order_relaxed);
        });
        labels.swap(new_labels);

        // Numeric update; a cluster without rows keeps its center.
        std::fill(counts.begin(), counts.end(), 0);
        std::fill(sums.data(), sums.data() + sums.size(), 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t c = labels[i];
            ++counts[c];
            double* s = sums.data() + c * d;
            const double* x = numeric.data() + i * d;
            for (std::size_t j = 0; j < d; ++j) s[j] += x[j];
        }
        for (std::size_t c = 0; c < k; ++c) {
            if (counts[c] == 0) continue;
            const double count = static_cast<double>(counts[c]);
            for (std::size_t j = 0; j < d; ++j) centers(c, j) = sums(c, j) / count;
        }
        if (m > 0) update_modes(w, m, labels, counts, modes);

        ++passes;
        if (!changed.load()) break;
        ++t;
    }

    std::vector<double> row_cost(n);
    pool->parallel_for(n, kRowChunk, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) row_cost[i] = protos.cost(i, labels[i]);
    });
    for (const double v : row_cost) out.cost += v;

    out.modes.rows = k;
    out.modes.cols = m;
    out.modes.codes = std::move(modes);
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < m; ++j) out.modes.codes[c * m + j] = w.original(j, out.modes.codes[c * m + j]);
    out.labels = std::move(labels);
    out.centers = std::move(centers);
    out.n_iter = passes;
    return out;
}

std::vector<std::uint64_t> kprototypes(const Matrix& numeric, const CodeMatrix* categorical, std::uint64_t n_clusters,
                                       std::uint64_t max_iter, std::uint64_t random_state, std::int32_t n_jobs) {
    return kprototypes_fit(numeric, categorical, n_clusters, max_iter, random_state, n_jobs).labels;
}

Matrix centers_from_labels(const Matrix& data, const std::vector<std::uint64_t>& labels, std::size_t k) {
    const std::size_t d = data.cols();
    Matrix centers(k, d);
    std::vector<std::size_t> counts(k, 0);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        ++counts[labels[i]];
        double* s = centers.data() + labels[i] * d;
        for (std::size_t j = 0; j < d; ++j) s[j] += data(i, j);
    }
    for (std::size_t c = 0; c < k; ++c) {
        if (counts[c] == 0) continue;
        const double count = static_cast<double>(counts[c]);
        for (std::size_t j = 0; j < d; ++j) centers(c, j) /= count;
    }
    return centers;
}

}  // namespace segmora::engine
