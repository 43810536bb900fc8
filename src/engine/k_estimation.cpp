#include "engine/k_estimation.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/algorithms.hpp"
#include "engine/random.hpp"
#include "engine/thread_pool.hpp"
#include "engine/quality_metrics.hpp"
#include "error.hpp"

namespace segmora::engine::k_estimation {

namespace {

using algorithms::DistanceMetric;
using algorithms::KMeans;
using algorithms::KMeansResult;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMaxFinite = std::numeric_limits<double>::max();

// Fits k = k_min .. k_max in order and hands each fit to `visit`. A range that
// some fit would refuse fails before any work, with that fit's error.
template <class Visit>
void for_each_fit(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max, Visit&& visit) {
    if (k_min > k_max) return;
    if (data.rows() == 0 || k_min == 0 || k_max > data.rows())
        throw SegmoraError::invalid_config("Invalid cluster count");
    for (std::uint64_t k = k_min;; ++k) {
        const KMeans config{k, 300, 42, DistanceMetric::Euclidean};
        visit(k, config.fit(data));
        if (k == k_max) break;
    }
}

// Index of the largest score, the later one winning ties; NaN never wins.
std::optional<std::size_t> largest(const Scores& scores) {
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        const double s = scores[i].second;
        if (std::isnan(s)) continue;
        if (!best || s >= scores[*best].second) best = i;
    }
    return best;
}

double max_ignoring_nan(const Scores& scores) {
    double m = -kInf;
    for (const auto& [k, s] : scores) m = std::fmax(m, s);
    return m;
}

double silhouette_of(MatrixRef data, const KMeansResult& fit) {
    return quality_metrics::silhouette(data, fit.labels);
}

// Pooled within-cluster sum of squares: each cluster's squared distances to its
// own mean, rows in order, clusters added in order.
double pooled_within(MatrixRef data, const std::vector<std::uint64_t>& labels, std::uint64_t k) {
    const std::size_t n = data.rows(), d = data.cols();
    std::vector<double> mean(k * d, 0.0), scatter(k, 0.0);
    std::vector<std::uint64_t> count(k, 0);
    for (std::size_t i = 0; i < n; ++i) {
        ++count[labels[i]];
        for (std::size_t j = 0; j < d; ++j) mean[labels[i] * d + j] += data(i, j);
    }
    for (std::uint64_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j)
            if (count[c]) mean[c * d + j] /= static_cast<double>(count[c]);
    for (std::size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (std::size_t j = 0; j < d; ++j) {
            const double diff = data(i, j) - mean[labels[i] * d + j];
            s += diff * diff;
        }
        scatter[labels[i]] += s;
    }
    double w = 0.0;
    for (const double v : scatter) w += v;
    return w;
}

double log_within(MatrixRef data, std::uint64_t k) {
    const KMeans config{k, 300, 42, DistanceMetric::Euclidean};
    return std::log(pooled_within(data, config.fit(data).labels, k));
}

// The generator of seed 42 after `words` 32-bit words.
ChaCha12Rng stream_at(std::uint64_t words) {
    constexpr std::uint64_t kWordsPerRefill = 64, kBlocksPerRefill = 4;
    const ChaCha12Rng fresh(42);
    ChaCha12Rng::Position p{fresh.key(), 0, kWordsPerRefill};
    if (words > 0) {
        const std::uint64_t refills = (words + kWordsPerRefill - 1) / kWordsPerRefill;
        p.counter = refills * kBlocksPerRefill;
        p.index = words - (refills - 1) * kWordsPerRefill;
    }
    return *ChaCha12Rng::at(p);
}

// Reference set b: N rows uniform over each column's range [lo, hi].
Matrix reference_set(std::size_t b, std::size_t n, const std::vector<double>& lo, const std::vector<double>& hi) {
    const std::size_t d = lo.size();
    Matrix ref(n, d);
    ChaCha12Rng rng = stream_at(static_cast<std::uint64_t>(b) * n * d * 2);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const std::uint64_t bits = (rng.next_u64() >> 12) | 0x3ff0000000000000ull;  // [1, 2)
            ref(i, j) = lo[j] + (std::bit_cast<double>(bits) - 1.0) * (hi[j] - lo[j]);
        }
    }
    return ref;
}

// ln W*_kb for every k of the range (index k - k_min) and reference set b,
// the sets fitted side by side on a per-call pool.
std::vector<std::vector<double>> reference_logs(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) {
    const std::size_t n = data.rows(), d = data.cols();
    std::vector<double> lo(d, kMaxFinite), hi(d, -kMaxFinite);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            lo[j] = std::fmin(lo[j], data(i, j));
            hi[j] = std::fmax(hi[j], data(i, j));
        }
    }
    for (std::size_t j = 0; j < d; ++j)
        if (lo[j] > hi[j]) lo[j] = hi[j] = 0.0;  // a column without a number
    std::vector<std::vector<double>> logs(kGapReferences, std::vector<double>(k_max - k_min + 1));
    const auto pool = build_thread_pool(-1);
    pool->run_tasks(kGapReferences, [&](std::size_t b) {
        const Matrix ref = reference_set(b, n, lo, hi);
        for (std::uint64_t k = k_min; k <= k_max; ++k) logs[b][k - k_min] = log_within(ref, k);
    });
    return logs;
}

// Gap(k) and s_k from ln W_k of the data and the reference logs.
void gaps_of(const std::vector<std::vector<double>>& logs, Scores& gaps, std::vector<double>& spread) {
    const auto b_count = static_cast<double>(kGapReferences);
    for (std::size_t i = 0; i < gaps.size(); ++i) {
        double mean = 0.0;
        for (std::size_t b = 0; b < kGapReferences; ++b) mean += logs[b][i];
        mean /= b_count;
        double var = 0.0;
        for (std::size_t b = 0; b < kGapReferences; ++b) var += (logs[b][i] - mean) * (logs[b][i] - mean);
        gaps[i].second = mean - gaps[i].second;  // gaps[i] held ln W_k of the data
        spread.push_back(std::sqrt(var / b_count) * std::sqrt(1.0 + 1.0 / b_count));
    }
}

}  // namespace

KEstimationResult elbow_from_scores(Scores scores, std::uint64_t k_min) {
    KEstimationResult r{"elbow", std::move(scores), k_min, 0.0};
    const std::size_t m = r.scores.size();
    if (m >= 3) {
        double best = 0.0;
        for (std::size_t i = 1; i + 1 < m; ++i) {
            const double prev = r.scores[i - 1].second, here = r.scores[i].second, next = r.scores[i + 1].second;
            const double curvature = std::abs((prev - here) - (here - next));
            if (curvature > best) {
                best = curvature;
                r.k = r.scores[i].first;
            }
        }
    }
    r.confidence = 1.0 / (std::sqrt(std::sqrt(static_cast<double>(m))) + 1.0);
    return r;
}

KEstimationResult silhouette_from_scores(Scores scores, std::uint64_t k_min) {
    KEstimationResult r{"silhouette", std::move(scores), k_min, -kInf};
    if (const auto best = largest(r.scores)) r.k = r.scores[*best].first;
    r.confidence = max_ignoring_nan(r.scores);
    return r;
}

KEstimationResult gap_from_scores(Scores scores, const std::vector<double>& spread, std::uint64_t k_min) {
    KEstimationResult r{"gap_statistic", std::move(scores), k_min, 0.0};
    if (r.scores.empty()) return r;
    std::optional<std::size_t> pick;
    for (std::size_t i = 0; i + 1 < r.scores.size() && !pick; ++i)
        if (r.scores[i].second >= r.scores[i + 1].second - spread[i + 1]) pick = i;  // NaN never passes
    if (!pick) {
        // None passes: the largest gap, the smaller k on ties (k_min when every gap is NaN).
        for (std::size_t i = 0; i < r.scores.size(); ++i)
            if (!std::isnan(r.scores[i].second) && (!pick || r.scores[i].second > r.scores[*pick].second)) pick = i;
        if (!pick) return r;
    }
    r.k = r.scores[*pick].first;
    r.confidence = std::fmin(std::fmax(r.scores[*pick].second, 0.0), 1.0);
    return r;
}

KEstimationResult vote(std::uint64_t elbow_k, std::uint64_t gap_k, std::uint64_t silhouette_k) {
    const std::uint64_t answers[3] = {elbow_k, gap_k, silhouette_k};
    std::uint64_t winner = 0;
    int winner_votes = 0;
    for (std::uint64_t candidate : answers) {
        const int votes = static_cast<int>(std::count(std::begin(answers), std::end(answers), candidate));
        if (votes > winner_votes || (votes == winner_votes && candidate < winner)) {
            winner = candidate;
            winner_votes = votes;
        }
    }
    return {"ensemble", {}, winner, static_cast<double>(winner_votes) / 3.0};
}

KEstimationResult ElbowMethod::estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores scores;
    for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) { scores.emplace_back(k, fit.inertia); });
    return elbow_from_scores(std::move(scores), k_min);
}

KEstimationResult SilhouetteEstimation::estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores scores;
    for_each_fit(data, k_min, k_max,
                 [&](std::uint64_t k, const KMeansResult& fit) { scores.emplace_back(k, silhouette_of(data, fit)); });
    return silhouette_from_scores(std::move(scores), k_min);
}

KEstimationResult GapStatistic::estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores gaps;
    std::vector<double> spread;
    for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) {
        gaps.emplace_back(k, std::log(pooled_within(data, fit.labels, k)));
    });
    if (!gaps.empty()) gaps_of(reference_logs(data, k_min, k_max), gaps, spread);
    return gap_from_scores(std::move(gaps), spread, k_min);
}

KEstimationResult estimate_combined(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) {
    Scores inertias, gaps, silhouettes;
    std::vector<double> spread;
    for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) {
        inertias.emplace_back(k, fit.inertia);
        gaps.emplace_back(k, std::log(pooled_within(data, fit.labels, k)));
        silhouettes.emplace_back(k, silhouette_of(data, fit));
    });
    if (!gaps.empty()) gaps_of(reference_logs(data, k_min, k_max), gaps, spread);
    return vote(elbow_from_scores(std::move(inertias), k_min).k, gap_from_scores(std::move(gaps), spread, k_min).k,
                silhouette_from_scores(std::move(silhouettes), k_min).k);
}

}  // namespace segmora::engine::k_estimation
