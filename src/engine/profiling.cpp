#include "engine/profiling.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "engine/keyed_hash.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

// Ascending, NaN after every number.
bool ascending_nan_last(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    return std::isnan(b) || a < b;
}

// Descending, NaN after every number.
bool descending_nan_last(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    return std::isnan(b) || a > b;
}

double spread_of(const SegmentStatistics& s) noexcept { return s.std / (s.max - s.min + 1e-10); }

std::string feature_name(std::uint64_t index, const std::optional<std::vector<std::string>>& names) {
    if (names && index < names->size()) return (*names)[index];
    return format("feature_{}", index);
}

// column[m] for each member below the column's length, in members order.
std::vector<double> member_values(std::span<const std::uint64_t> members, const std::vector<double>& column) {
    std::vector<double> out;
    out.reserve(members.size());
    for (std::uint64_t m : members)
        if (m < column.size()) out.push_back(column[m]);
    return out;
}

std::string_view size_word(std::uint64_t n) noexcept {
    if (n < 50) return "small but engaged";
    if (n < 200) return "moderate-sized";
    if (n < 1000) return "large";
    return "very large";
}

std::vector<std::string> characteristics(const SegmentProfile& p) {
    std::vector<std::string> out;
    for (const auto& [name, s] : p.statistics) {
        if (s.mean > 1.2 * s.median) out.push_back(format("High {} (mean: {})", name, Fixed{s.mean, 2}));
        else if (s.mean < 0.8 * s.median) out.push_back(format("Low {} (mean: {})", name, Fixed{s.mean, 2}));
        if (s.std > 0.5 * s.mean) out.push_back(format("Variable {} (std: {})", name, Fixed{s.std, 2}));
    }
    if (out.empty()) out.emplace_back("Homogeneous segment");
    return out;
}

double cohesion(const SegmentProfile& p) noexcept {
    if (p.statistics.empty()) return 0.5;
    double sum = 0.0;
    for (const auto& entry : p.statistics) {
        const SegmentStatistics& s = entry.second;
        sum += s.mean > 1e-10 ? s.std / s.mean : 0.0;
    }
    const double mean_cv = sum / static_cast<double>(p.statistics.size());
    return 1.0 - std::fmin(mean_cv * 0.5, 1.0);
}

// Mean over features of min(|inside mean - outside mean| / pooled std, 2) / 2.
double separation(std::span<const std::uint64_t> members, std::span<const FeatureColumn> features) {
    std::vector<std::uint64_t> distinct(members.begin(), members.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    double sum = 0.0;
    std::size_t counted = 0;
    for (const FeatureColumn& f : features) {
        const std::vector<double> inside = member_values(members, f.values);
        std::vector<double> outside;
        outside.reserve(f.values.size());
        auto next_member = distinct.begin();
        for (std::size_t i = 0; i < f.values.size(); ++i) {
            while (next_member != distinct.end() && *next_member < i) ++next_member;
            if (next_member != distinct.end() && *next_member == i) continue;
            outside.push_back(f.values[i]);
        }
        if (inside.empty() || outside.empty()) continue;
        const SegmentStatistics a = SegmentStatistics::from_values(inside);
        const SegmentStatistics b = SegmentStatistics::from_values(outside);
        const double pooled = (a.std + b.std) / 2.0;
        sum += pooled >= 1e-10 ? std::fmin(std::fabs(a.mean - b.mean) / pooled, 2.0) * 0.5 : 0.0;
        ++counted;
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

}  // namespace

SegmentStatistics SegmentStatistics::from_values(std::span<const double> values) {
    SegmentStatistics s;
    if (values.empty()) return s;
    std::vector<double> sorted(values.begin(), values.end());
    std::stable_sort(sorted.begin(), sorted.end(), ascending_nan_last);
    const std::size_t c = sorted.size();
    const double count = static_cast<double>(c);
    double sum = 0.0;
    for (double v : values) sum += v;  // input order
    s.mean = sum / count;
    s.median = c % 2 == 1 ? sorted[c / 2] : (sorted[c / 2 - 1] + sorted[c / 2]) / 2.0;
    double squares = 0.0;
    for (double v : values) squares += (v - s.mean) * (v - s.mean);
    s.std = std::sqrt(squares / count);
    s.min = sorted.front();
    s.max = sorted.back();
    s.q25 = sorted[c / 4];
    s.q75 = sorted[3 * c / 4];
    return s;
}

double ProfilingEngine::calculate_purity(std::span<const std::uint64_t> members, std::span<const FeatureColumn> features,
                                         const std::optional<std::vector<std::uint64_t>>& labels) {
    if (members.empty()) return 0.0;
    if (labels) {
        std::unordered_map<std::uint64_t, std::uint64_t, KeyedIntegerHash> counts;
        std::uint64_t counted = 0, largest = 0;
        for (std::uint64_t m : members) {
            if (m >= labels->size()) continue;
            largest = std::max(largest, ++counts[(*labels)[m]]);
            ++counted;
        }
        return counted == 0 ? 0.0 : static_cast<double>(largest) / static_cast<double>(counted);
    }
    double sum = 0.0;
    std::size_t counted = 0;
    for (const FeatureColumn& f : features) {
        const std::vector<double> values = member_values(members, f.values);
        if (values.empty()) continue;
        const SegmentStatistics s = SegmentStatistics::from_values(values);
        std::size_t near = 0;
        for (double v : values)
            if (std::fabs(v - s.mean) <= s.std) ++near;
        sum += static_cast<double>(near) / static_cast<double>(values.size());
        ++counted;
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

SegmentProfile ProfilingEngine::profile_segment_with_labels(std::uint64_t segment_id,
                                                            std::span<const std::uint64_t> members,
                                                            std::vector<FeatureColumn> features,
                                                            const std::optional<std::vector<std::string>>& names,
                                                            const std::optional<std::vector<std::uint64_t>>& labels) {
    std::stable_sort(features.begin(), features.end(),
                     [](const FeatureColumn& a, const FeatureColumn& b) { return a.index < b.index; });
    SegmentProfile p;
    p.segment_id = segment_id;
    p.size = members.size();

    // Per-feature statistics and importance.
    StringMap<std::size_t> position;  // name -> its entry in p.statistics
    const double n_features = static_cast<double>(features.size());
    for (const FeatureColumn& f : features) {
        std::string name = feature_name(f.index, names);
        const SegmentStatistics stats = SegmentStatistics::from_values(member_values(members, f.values));
        const double importance = spread_of(stats);
        p.importance.push_back({name, importance, importance / n_features});
        if (auto it = position.find(name); it != position.end()) {
            p.statistics[it->second].second = stats;
        } else {
            position.emplace(name, p.statistics.size());
            p.statistics.emplace_back(std::move(name), stats);
        }
    }
    std::stable_sort(p.importance.begin(), p.importance.end(),
                     [](const FeatureImportance& a, const FeatureImportance& b) {
                         return descending_nan_last(a.importance, b.importance);
                     });

    const std::string tail = p.statistics.empty()
                                 ? std::string("limited feature data")
                                 : format("mean score of {}", Fixed{p.statistics.front().second.mean, 2});
    p.business_description =
        format("Segment {} is a {} group ({} members) with {}", segment_id, size_word(p.size), p.size, tail);
    p.key_characteristics = characteristics(p);

    p.purity = calculate_purity(members, features, labels);
    SegmentHealth& h = p.health;
    h.stability = 1.0 / (1.0 + std::exp(-static_cast<double>(p.size) / 100.0));
    h.cohesion = cohesion(p);
    h.separation = separation(members, features);
    const double score = (0.3 * h.stability + 0.3 * h.cohesion + 0.4 * h.separation) * 100.0;
    h.health_score = std::isnan(score) ? 0.0 : std::clamp(score, 0.0, 100.0);

    double spread = 0.0;
    for (const auto& entry : p.statistics) spread += spread_of(entry.second);
    spread /= p.statistics.empty() ? 1.0 : static_cast<double>(p.statistics.size());
    const double reach = std::fmin(static_cast<double>(p.size), 1000.0) / 1000.0;
    p.actionability_score = std::fmin((reach + spread) * 0.5 * 100.0, 100.0);
    return p;
}

}  // namespace segmora::engine
