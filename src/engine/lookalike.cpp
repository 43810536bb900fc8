#include "engine/lookalike.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <type_traits>
#include <utility>

#include "engine/simd.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

// Descending, NaN after every number: a strict weak ordering.
bool descending_nan_last(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    return std::isnan(b) || a > b;
}

// Similarity of `x` to the reference vector `r` under a vector metric.
class VectorScorer {
public:
    VectorScorer(std::span<const double> reference, SimilarityMetric metric) : r_(reference), metric_(metric) {
        double squares = 0.0;
        for (double v : r_) squares += v * v;
        r_squares_ = squares;
        r_norm_ = std::sqrt(squares);
    }

    double operator()(std::span<const double> x) const noexcept {
        if (r_.empty() || x.size() != r_.size()) return 0.0;
        const std::size_t d = r_.size();
        switch (metric_) {
            case SimilarityMetric::Cosine: {
                double dot = 0.0, squares = 0.0;
                for (std::size_t j = 0; j < d; ++j) {
                    dot += r_[j] * x[j];
                    squares += x[j] * x[j];
                }
                if (r_squares_ == 0.0 || squares == 0.0) return 0.0;
                return dot / (r_norm_ * std::sqrt(squares));
            }
            case SimilarityMetric::Euclidean: {
                double squares = 0.0;
                for (std::size_t j = 0; j < d; ++j) squares += (r_[j] - x[j]) * (r_[j] - x[j]);
                return 1.0 - std::fmin(std::sqrt(squares) / 100.0, 1.0);
            }
            case SimilarityMetric::Manhattan: {
                double sum = 0.0;
                for (std::size_t j = 0; j < d; ++j) sum += std::fabs(r_[j] - x[j]);
                return 1.0 - std::fmin(sum / 200.0, 1.0);
            }
            case SimilarityMetric::Jaccard: break;
        }
        return 0.0;
    }

private:
    std::span<const double> r_;
    SimilarityMetric metric_;
    double r_squares_ = 0.0;
    double r_norm_ = 0.0;
};

// Element-wise mean of the seeds' vectors over the first seed's length. Shorter
// vectors add to the leading elements; elements beyond that length are ignored.
std::vector<double> numeric_profile(CustomerRefs seeds) {
    std::vector<double> profile(seeds.front()->features.size(), 0.0);
    for (const SeedCustomer* seed : seeds) {
        const std::size_t d = std::min(profile.size(), seed->features.size());
        for (std::size_t j = 0; j < d; ++j) profile[j] += seed->features[j];
    }
    const double count = static_cast<double>(seeds.size());
    for (double& v : profile) v /= count;
    return profile;
}

// Each key's most frequent seed value; of equally frequent values, the one seen first in seed order.
CategoricalFeatures categorical_profile(CustomerRefs seeds) {
    struct ValueCounts {
        StringMap<std::size_t> slot;                            // value -> its place in `counts`
        std::vector<std::pair<std::string, std::uint64_t>> counts;  // first-appearance order
    };
    StringMap<ValueCounts> keys;
    for (const SeedCustomer* seed : seeds) {
        for (const auto& [key, value] : seed->categorical_features) {
            ValueCounts& vc = keys[key];
            auto [it, added] = vc.slot.try_emplace(value, vc.counts.size());
            if (added) vc.counts.emplace_back(value, 0);
            ++vc.counts[it->second].second;
        }
    }
    CategoricalFeatures profile;
    profile.reserve(keys.size());
    for (auto& [key, vc] : keys) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < vc.counts.size(); ++i)
            if (vc.counts[i].second > vc.counts[best].second) best = i;
        profile.emplace(key, std::move(vc.counts[best].first));
    }
    return profile;
}

// The mean of the rows, each summed in row order.
std::vector<double> numeric_profile(const FeatureRows& seeds) {
    std::vector<double> profile(seeds.cols, 0.0);
    for (std::size_t i = 0; i < seeds.rows; ++i) {
        const double* row = seeds.data + i * seeds.cols;
        for (std::size_t j = 0; j < seeds.cols; ++j) profile[j] += row[j];
    }
    const double count = static_cast<double>(seeds.rows);
    for (double& v : profile) v /= count;
    return profile;
}

// Similarities of rows [begin, end) of `x` (d features each) to `r`, the
// formulas of VectorScorer four rows side by side: every row still sums its
// features in order, so each similarity equals VectorScorer's exactly.
SEGMORA_TARGET_CLONES
void score_rows(const double* x, std::size_t d, std::size_t begin, std::size_t end, const double* r,
                SimilarityMetric metric, double r_squares, double r_norm, double* out) {
    constexpr std::size_t kLanes = 4;
    std::size_t i = begin;
    for (; i + kLanes <= end; i += kLanes) {
        const double* rows = x + i * d;
        double a[kLanes] = {}, b[kLanes] = {};
        if (metric == SimilarityMetric::Cosine) {
            for (std::size_t j = 0; j < d; ++j)
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double v = rows[l * d + j];
                    a[l] += r[j] * v;
                    b[l] += v * v;
                }
            for (std::size_t l = 0; l < kLanes; ++l)
                out[i + l] = r_squares == 0.0 || b[l] == 0.0 ? 0.0 : a[l] / (r_norm * std::sqrt(b[l]));
        } else if (metric == SimilarityMetric::Euclidean) {
            for (std::size_t j = 0; j < d; ++j)
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const double diff = r[j] - rows[l * d + j];
                    a[l] += diff * diff;
                }
            for (std::size_t l = 0; l < kLanes; ++l) out[i + l] = 1.0 - std::fmin(std::sqrt(a[l]) / 100.0, 1.0);
        } else {
            for (std::size_t j = 0; j < d; ++j)
                for (std::size_t l = 0; l < kLanes; ++l) a[l] += std::fabs(r[j] - rows[l * d + j]);
            for (std::size_t l = 0; l < kLanes; ++l) out[i + l] = 1.0 - std::fmin(a[l] / 200.0, 1.0);
        }
    }
    const VectorScorer scorer({r, d}, metric);
    for (; i < end; ++i) out[i] = scorer({x + i * d, d});
}

constexpr std::size_t kCandidatesBetweenPolls = 4096;

// Similarities of every candidate, in candidate order (interruptible between blocks).
std::vector<double> score_all(CustomerRefs candidates, SimilarityMetric metric, std::span<const double> reference,
                              const CategoricalFeatures& categorical) {
    std::vector<double> scores(candidates.size());
    if (metric == SimilarityMetric::Jaccard) {
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (i % kCandidatesBetweenPolls == 0) poll_interrupt();
            scores[i] = LookalikeGenerator::jaccard_similarity(categorical, candidates[i]->categorical_features);
        }
    } else {
        const VectorScorer scorer(reference, metric);
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            if (i % kCandidatesBetweenPolls == 0) poll_interrupt();
            scores[i] = scorer(candidates[i]->features);
        }
    }
    return scores;
}

// Candidate indices ordered by descending score, stable, NaN last.
template <class Indices>
void sort_by_score(Indices& order, const std::vector<double>& scores) {
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return descending_nan_last(scores[a], scores[b]); });
}

}  // namespace

std::string_view metric_name(SimilarityMetric metric) noexcept {
    switch (metric) {
        case SimilarityMetric::Cosine: return "cosine";
        case SimilarityMetric::Euclidean: return "euclidean";
        case SimilarityMetric::Manhattan: return "manhattan";
        case SimilarityMetric::Jaccard: return "jaccard";
    }
    return "";
}

std::optional<SimilarityMetric> parse_similarity_metric(std::string_view lowered) noexcept {
    for (SimilarityMetric m : {SimilarityMetric::Cosine, SimilarityMetric::Euclidean, SimilarityMetric::Manhattan,
                               SimilarityMetric::Jaccard})
        if (metric_name(m) == lowered) return m;
    return std::nullopt;
}

double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept {
    return VectorScorer(a, SimilarityMetric::Cosine)(b);
}

double LookalikeGenerator::jaccard_similarity(const CategoricalFeatures& a, const CategoricalFeatures& b) {
    if (a.empty() || b.empty()) return 0.0;
    std::size_t matches = 0;
    for (const auto& [key, value] : a) {
        const auto it = b.find(key);
        if (it != b.end() && it->second == value) ++matches;
    }
    const double m = static_cast<double>(matches);
    return m / (static_cast<double>(a.size()) + static_cast<double>(b.size()) - m);
}

namespace {

// Positions of the candidates selected from their similarities: at or above
// the score at position floor((1 - percentile_threshold) * n) of all scores
// (highest first), and above 0; best first (stable), at most `max_lookalikes`.
std::vector<std::size_t> select_members(const std::vector<double>& scores, double percentile_threshold,
                                        std::optional<std::uint64_t> max_lookalikes) {
    // The cutoff: the score at position i of all scores, highest first. A NaN
    // there ranks below every number, so every positive score passes.
    const double position = (1.0 - percentile_threshold) * static_cast<double>(scores.size());
    const std::uint64_t i = position > 0.0 ? (position >= 18446744073709551616.0 ? ~std::uint64_t{0}
                                                                                  : static_cast<std::uint64_t>(position))
                                           : 0;
    double cutoff = 0.0;
    if (i < scores.size()) {
        std::vector<double> all = scores;
        std::nth_element(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(i), all.end(), descending_nan_last);
        cutoff = std::isnan(all[i]) ? 0.0 : all[i];
    }
    // Positive scores at or above the cutoff, best first (stable), capped.
    std::vector<std::size_t> retained;
    for (std::size_t c = 0; c < scores.size(); ++c)
        if (scores[c] > 0.0 && scores[c] >= cutoff) retained.push_back(c);
    sort_by_score(retained, scores);
    if (max_lookalikes && *max_lookalikes < retained.size()) retained.resize(*max_lookalikes);
    return retained;
}

std::size_t count_of(const Customers& customers) {
    return std::visit([](const auto& c) -> std::size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(c)>, FeatureRows>) return c.rows;
        else return c.size();
    }, customers);
}

// Similarities of every candidate to the seeds' profile, in candidate order.
std::vector<double> score_candidates(const Customers& seeds, const Customers& candidates, SimilarityMetric metric) {
    std::vector<double> reference;
    CategoricalFeatures categorical;
    if (metric == SimilarityMetric::Jaccard) {
        if (const auto* refs = std::get_if<CustomerRefs>(&seeds)) categorical = categorical_profile(*refs);
    } else if (const auto* refs = std::get_if<CustomerRefs>(&seeds)) {
        reference = numeric_profile(*refs);
    } else {
        reference = numeric_profile(std::get<FeatureRows>(seeds));
    }
    if (const auto* refs = std::get_if<CustomerRefs>(&candidates)) return score_all(*refs, metric, reference, categorical);
    // Rows of features: no categorical features (Jaccard 0.0), and a length
    // other than the profile's scores 0.0.
    const FeatureRows& rows = std::get<FeatureRows>(candidates);
    std::vector<double> scores(rows.rows, 0.0);
    if (metric == SimilarityMetric::Jaccard || reference.empty() || reference.size() != rows.cols) return scores;
    double squares = 0.0;
    for (double v : reference) squares += v * v;
    constexpr std::size_t kBlock = 4 * kCandidatesBetweenPolls;
    for (std::size_t begin = 0; begin < rows.rows; begin += kBlock) {
        poll_interrupt();
        score_rows(rows.data, rows.cols, begin, std::min(rows.rows, begin + kBlock), reference.data(), metric, squares,
                   std::sqrt(squares), scores.data());
    }
    return scores;
}

}  // namespace

AudienceMembers LookalikeGenerator::lookalike_members(const Customers& seeds, const Customers& candidates,
                                                      SimilarityMetric metric, double percentile_threshold,
                                                      std::optional<std::uint64_t> max_lookalikes) {
    AudienceMembers members;
    if (count_of(seeds) == 0 || count_of(candidates) == 0) return members;
    const std::vector<double> scores = score_candidates(seeds, candidates, metric);
    members.candidate = select_members(scores, percentile_threshold, max_lookalikes);
    members.similarity.reserve(members.candidate.size());
    for (std::size_t c : members.candidate) members.similarity.push_back(scores[c]);
    return members;
}

LookalikeAudience LookalikeGenerator::generate_lookalike(CustomerRefs seeds, CustomerRefs candidates,
                                                         SimilarityMetric metric, double percentile_threshold,
                                                         std::optional<std::uint64_t> max_lookalikes) {
    LookalikeAudience audience;
    if (seeds.empty() || candidates.empty()) return audience;
    const AudienceMembers members = lookalike_members(seeds, candidates, metric, percentile_threshold, max_lookalikes);

    audience.audience_name = format("Lookalike ({})", metric_name(metric));
    audience.seed_count = seeds.size();
    audience.lookalike_count = members.candidate.size();
    audience.min_similarity = std::numeric_limits<double>::infinity();
    double sum = 0.0;
    for (const double score : members.similarity) {
        audience.min_similarity = std::fmin(audience.min_similarity, score);
        audience.max_similarity = std::fmax(audience.max_similarity, score);
        sum += score;
    }
    audience.avg_similarity = members.similarity.empty() ? 0.0 : sum / static_cast<double>(members.similarity.size());
    double ltv = 0.0;
    for (const SeedCustomer* seed : seeds) ltv += seed->ltv;
    audience.predicted_ltv = audience.avg_similarity * (ltv / static_cast<double>(seeds.size()));
    return audience;
}

std::vector<LookalikeCandidate> LookalikeGenerator::find_similar_customers(const SeedCustomer& seed,
                                                                           CustomerRefs candidates, std::uint64_t n,
                                                                           SimilarityMetric metric) {
    const std::vector<double> scores = score_all(candidates, metric, seed.features, seed.categorical_features);
    std::vector<std::size_t> order(candidates.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    sort_by_score(order, scores);
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, order.size()));
    std::vector<LookalikeCandidate> out;
    out.reserve(take);
    const double count = static_cast<double>(candidates.size());
    for (std::size_t pos = 0; pos < take; ++pos) {
        const SeedCustomer& c = *candidates[order[pos]];
        out.push_back({c.customer_id, c.features, scores[order[pos]], static_cast<double>(pos) / count * 100.0});
    }
    return out;
}

}  // namespace segmora::engine
