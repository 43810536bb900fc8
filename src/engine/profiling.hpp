// Segment profiling: per-feature statistics of one segment, a one-sentence
// description, notable characteristics, purity, health and actionability.
//
// Input is column-oriented: one column per feature over every row of the table,
// plus the segment's member row indices (in caller order, duplicates counted).
// A member at or beyond a column's length has no value in that column. Features
// are visited by ascending feature index, so the description and the
// characteristics repeat across runs and processes. NaN values sort after every
// number; a statistic computed from a NaN is NaN and then fires no rule.
// Nothing fails: degenerate input (no members, no features, empty columns)
// yields the neutral figures documented on each field. Single-threaded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace segmora::engine {

// Summary of a list of values; all zeros for an empty list. Population std;
// q25 / q75 are the sorted values at positions floor(c/4) and floor(3c/4).
struct SegmentStatistics {
    double mean = 0.0;
    double median = 0.0;
    double std = 0.0;
    double min = 0.0;
    double max = 0.0;
    double q25 = 0.0;
    double q75 = 0.0;

    static SegmentStatistics from_values(std::span<const double> values);
};

// One feature's whole column; `index` names it ("feature_{index}" by default).
struct FeatureColumn {
    std::uint64_t index = 0;
    std::vector<double> values;
};

struct FeatureImportance {
    std::string name;
    double importance = 0.0;  // std / (max - min + 1e-10) of the members' values
    double normalized = 0.0;  // importance / number of features
};

struct SegmentHealth {
    double stability = 0.5;     // 1 / (1 + exp(-n / 100))
    double cohesion = 0.5;      // 1 - min(mean coefficient of variation / 2, 1)
    double separation = 0.0;    // mean standardised gap to the other rows, in [0, 1]
    double health_score = 0.0;  // (0.3 stability + 0.3 cohesion + 0.4 separation) * 100, in [0, 100]
};

struct SegmentProfile {
    std::uint64_t segment_id = 0;
    std::uint64_t size = 0;
    double purity = 0.0;
    std::string business_description;
    std::vector<std::string> key_characteristics;  // never empty
    SegmentHealth health;
    double actionability_score = 0.0;
    std::vector<FeatureImportance> importance;  // highest first, stable, NaN last
    // Name -> statistics in feature-index order; a repeated name keeps its first
    // place and takes the later feature's statistics.
    std::vector<std::pair<std::string, SegmentStatistics>> statistics;
};

struct ProfilingEngine {
    // Profiles the segment `members` of a table given by `features` (any order;
    // visited by ascending index). `names[k]` names feature k when present.
    static SegmentProfile profile_segment_with_labels(std::uint64_t segment_id,
                                                      std::span<const std::uint64_t> members,
                                                      std::vector<FeatureColumn> features,
                                                      const std::optional<std::vector<std::string>>& names,
                                                      const std::optional<std::vector<std::uint64_t>>& labels);

    // Share of the most frequent label among the members that have one; without
    // labels, the mean share of member values within one std of their mean.
    // 0.0 when there are no members or nothing was counted.
    static double calculate_purity(std::span<const std::uint64_t> members, std::span<const FeatureColumn> features,
                                   const std::optional<std::vector<std::uint64_t>>& labels);
};

}  // namespace segmora::engine
