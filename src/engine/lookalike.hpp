// Lookalike audiences: similarity of candidate customers to seed customers.
//
// Four metrics on a reference vector r of length D and a candidate x: cosine,
// Euclidean (1 - min(d / 100, 1)), Manhattan (1 - min(d / 200, 1)), each 0.0
// when D = 0 or the lengths differ, and Jaccard on categorical maps.
// generate_lookalike scores every candidate against the seeds' mean feature
// vector (the first seed's length; a longer seed's extra elements are ignored)
// or, for Jaccard, against each key's most frequent seed value (ties: the value
// seen first in seed order). Only similarities strictly above 0 can be
// selected, so NaN never is; every sort is stable and places NaN after every
// number. lookalike_members returns the audience generate_lookalike
// summarises, member by member; seeds and candidates may also be rows of a
// feature matrix read in place (no categorical features). Nothing fails for
// any input; single-threaded and deterministic. Scoring polls for interrupts
// between blocks of candidates (Interrupted).
#pragma once

#include <cstdint>
#include <optional>
#include <variant>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/keyed_hash.hpp"

namespace segmora::engine {

enum class SimilarityMetric { Cosine, Euclidean, Manhattan, Jaccard };

// "cosine", "euclidean", "manhattan", "jaccard".
std::string_view metric_name(SimilarityMetric metric) noexcept;
// The metric with exactly this (already lower-cased) name; nothing otherwise.
std::optional<SimilarityMetric> parse_similarity_metric(std::string_view lowered) noexcept;

using CategoricalFeatures = StringMap<std::string>;

// A seed or candidate customer.
struct SeedCustomer {
    std::string customer_id;
    std::vector<double> features;
    double ltv = 0.0;          // only seeds' values are used
    std::string cohort;        // carried, never read
    CategoricalFeatures categorical_features;  // read by Jaccard only
};

struct LookalikeCandidate {
    std::string customer_id;
    std::vector<double> features;
    double similarity_score = 0.0;
    double percentile = 0.0;  // position / candidates * 100
};

// Summary of a lookalike audience. The empty audience ("Empty") has zeros throughout.
struct LookalikeAudience {
    std::string audience_name = "Empty";
    std::uint64_t seed_count = 0;
    std::uint64_t lookalike_count = 0;
    double min_similarity = 0.0;  // +inf when nothing was selected from a non-empty input
    double max_similarity = 0.0;
    double avg_similarity = 0.0;
    double predicted_ltv = 0.0;  // avg_similarity * mean seed ltv
};

// Cosine similarity of two vectors; 0.0 for empty or unequal lengths or a zero norm.
double cosine_similarity(std::span<const double> a, std::span<const double> b) noexcept;

// Customers are read in place; the pointers must stay valid for the call.
using CustomerRefs = std::span<const SeedCustomer* const>;

// Customers given as the rows of a row-major matrix of features, `cols` per
// row, read in place; they have no categorical features.
struct FeatureRows {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// Seeds or candidates: customer records or rows of features.
using Customers = std::variant<CustomerRefs, FeatureRows>;

// The members of an audience, best first: candidate positions and their similarities.
struct AudienceMembers {
    std::vector<std::size_t> candidate;
    std::vector<double> similarity;
};

struct LookalikeGenerator {
    // Candidates scoring at or above the similarity at position
    // floor((1 - percentile_threshold) * candidates) of all scores (highest
    // first), and above 0, best first, at most `max_lookalikes` of them.
    static LookalikeAudience generate_lookalike(CustomerRefs seeds, CustomerRefs candidates, SimilarityMetric metric,
                                                double percentile_threshold,
                                                std::optional<std::uint64_t> max_lookalikes);
    // The candidates generate_lookalike selects for the same arguments, in its
    // order: similarity highest first, ties in candidate order.
    static AudienceMembers lookalike_members(const Customers& seeds, const Customers& candidates,
                                             SimilarityMetric metric, double percentile_threshold,
                                             std::optional<std::uint64_t> max_lookalikes);
    // The n candidates most similar to `seed` itself, best first (ties keep candidate order).
    static std::vector<LookalikeCandidate> find_similar_customers(const SeedCustomer& seed, CustomerRefs candidates,
                                                                  std::uint64_t n, SimilarityMetric metric);
    // m / (|a| + |b| - m), m = keys of `a` with an equal value in `b`; 0.0 if either is empty.
    static double jaccard_similarity(const CategoricalFeatures& a, const CategoricalFeatures& b);
};

}  // namespace segmora::engine
