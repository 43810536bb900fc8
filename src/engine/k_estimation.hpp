// Suggesting a number of clusters: elbow, silhouette, gap statistic and a vote.
//
// Each estimator fits the sequential k-means (k, 300 iterations, seed 42,
// Euclidean) for every k in k_min .. k_max, in increasing order, and scores
// the fits; k_min > k_max tries no k. The only error is the fit's
// InvalidConfig "Invalid cluster count" (a range reaching 0 or past the row
// count, or data without rows). Results are deterministic: a NaN score never
// wins a comparison, ties in the vote go to the smallest k, and the gap
// statistic's reference fits run on a per-call pool whose size changes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/matrix.hpp"

namespace segmora::engine::k_estimation {

struct KEstimationResult {
    std::string method;                                       // "elbow", "silhouette", "gap_statistic", "ensemble"
    std::vector<std::pair<std::uint64_t, double>> scores;     // (k, score) in increasing k; empty for "ensemble"
    std::uint64_t k = 0;                                      // suggested number of clusters
    double confidence = 0.0;                                  // method-specific
};

// Score: inertia. k: the first point of largest curvature |(s[i-1] - s[i]) -
// (s[i] - s[i+1])| above 0, else k_min. Confidence 1 / (m^(1/4) + 1) for m scores.
struct ElbowMethod {
    KEstimationResult estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const;
};

// Score: silhouette of the fit's labels (a single cluster scores 0). k: the
// largest score, the larger k on ties (k_min when none). Confidence: that score
// (-inf when none).
struct SilhouetteEstimation {
    KEstimationResult estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const;
};

// The gap statistic of Tibshirani, Walther and Hastie (2001). B = 10 reference
// sets of N rows are drawn uniformly over each column's range (NaN ignored)
// from one ChaCha12 stream keyed by the seed 42, set after set, row after row,
// column after column, one 64-bit draw per value. Every k is fitted to the data
// and to each reference set; W_k is the pooled within-cluster sum of squares
// (about each cluster's mean). Score: Gap(k) = mean_b ln W*_kb - ln W_k, with
// s_k = sd_b(ln W*_kb) sqrt(1 + 1/B). k: the smallest k with Gap(k) >=
// Gap(k+1) - s_(k+1); when none passes, the k of the largest gap (the smaller
// k on ties; k_min when every gap is NaN). Confidence: Gap at that k clamped to
// 0 .. 1 (a gap of 1 means the data's dispersion is e times below uniform
// data's); 0 when no gap is usable.
inline constexpr std::size_t kGapReferences = 10;

struct GapStatistic {
    KEstimationResult estimate(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max) const;
};

// The choices each method makes from its (k, score) list.
using Scores = std::vector<std::pair<std::uint64_t, double>>;
KEstimationResult elbow_from_scores(Scores scores, std::uint64_t k_min);
KEstimationResult silhouette_from_scores(Scores scores, std::uint64_t k_min);
// `spread[i]`: s_k of scores[i].
KEstimationResult gap_from_scores(Scores scores, const std::vector<double>& spread, std::uint64_t k_min);
// The k named most often among three answers (the smallest of tied ones); confidence votes / 3.
KEstimationResult vote(std::uint64_t elbow_k, std::uint64_t gap_k, std::uint64_t silhouette_k);

// One vote each from elbow, gap statistic and silhouette; the k with most votes
// (the smallest of tied ones), confidence votes / 3. Each k is fitted once and
// shared by the three methods, which gives the same answers as fitting per method.
KEstimationResult estimate_combined(MatrixRef data, std::uint64_t k_min, std::uint64_t k_max);

}  // namespace segmora::engine::k_estimation
