#include "engine/k_estimation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "engine/algorithms.hpp"
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
void for_each_fit(const Matrix& data, std::uint64_t k_min, std::uint64_t k_max, Visit&& visit) {
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

double silhouette_of(const Matrix& data, const KMeansResult& fit) {
    return quality_metrics::silhouette(data, fit.labels, quality_metrics::LoneCluster::Zero);
}

// log2(R N), R the sum over columns of (max - min)^2 / 12 (NaN values ignored).
double reference_dispersion_log(const Matrix& data) {
    const std::size_t n = data.rows(), d = data.cols();
    std::vector<double> lo(d, kMaxFinite), hi(d, -kMaxFinite);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            lo[j] = std::fmin(lo[j], data(i, j));
            hi[j] = std::fmax(hi[j], data(i, j));
        }
    }
    double r = 0.0;
    for (std::size_t j = 0; j < d; ++j) {
        const double range = hi[j] - lo[j];
        r += range * range / 12.0;
    }
    return std::log2(r * static_cast<double>(n));
}

double gap_of(const Matrix& data, const KMeansResult& fit, double reference_log) {
    double w = 0.0;
    for (std::size_t i = 0; i < data.rows(); ++i)
        w += algorithms::distance(DistanceMetric::Euclidean, data.row(i), fit.centers.row(fit.labels[i]));
    return reference_log - std::log2(w / static_cast<double>(data.rows()));
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

KEstimationResult gap_from_scores(Scores scores, std::uint64_t k_min) {
    KEstimationResult r{"gap_statistic", std::move(scores), k_min, 0.0};
    if (r.scores.empty()) return r;
    if (const auto best = largest(r.scores)) r.k = r.scores[*best].first;
    r.confidence = std::clamp(max_ignoring_nan(r.scores) / 10.0, 0.0, 1.0);
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

KEstimationResult ElbowMethod::estimate(const Matrix& data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores scores;
    for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) { scores.emplace_back(k, fit.inertia); });
    return elbow_from_scores(std::move(scores), k_min);
}

KEstimationResult SilhouetteEstimation::estimate(const Matrix& data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores scores;
    for_each_fit(data, k_min, k_max,
                 [&](std::uint64_t k, const KMeansResult& fit) { scores.emplace_back(k, silhouette_of(data, fit)); });
    return silhouette_from_scores(std::move(scores), k_min);
}

KEstimationResult GapStatistic::estimate(const Matrix& data, std::uint64_t k_min, std::uint64_t k_max) const {
    Scores scores;
    if (k_min <= k_max) {
        const double reference_log = data.rows() == 0 ? 0.0 : reference_dispersion_log(data);
        for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) {
            scores.emplace_back(k, gap_of(data, fit, reference_log));
        });
    }
    return gap_from_scores(std::move(scores), k_min);
}

KEstimationResult estimate_combined(const Matrix& data, std::uint64_t k_min, std::uint64_t k_max) {
    Scores inertias, gaps, silhouettes;
    if (k_min <= k_max) {
        const double reference_log = data.rows() == 0 ? 0.0 : reference_dispersion_log(data);
        for_each_fit(data, k_min, k_max, [&](std::uint64_t k, const KMeansResult& fit) {
            inertias.emplace_back(k, fit.inertia);
            gaps.emplace_back(k, gap_of(data, fit, reference_log));
            silhouettes.emplace_back(k, silhouette_of(data, fit));
        });
    }
    return vote(elbow_from_scores(std::move(inertias), k_min).k, gap_from_scores(std::move(gaps), k_min).k,
                silhouette_from_scores(std::move(silhouettes), k_min).k);
}

}  // namespace segmora::engine::k_estimation
