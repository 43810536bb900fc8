#include "engine/drift_detection.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <utility>

#include "engine/drift_tests.hpp"
#include "engine/float_sort.hpp"
#include "engine/keyed_hash.hpp"

namespace segmora::engine {

namespace {

// Fraction of a group that is <= the walk's current value.
inline double fraction(std::size_t count, std::size_t n) noexcept {
    return static_cast<double>(count) / static_cast<double>(n);
}

}  // namespace

std::int64_t unix_now() noexcept {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds < 0 ? 0 : static_cast<std::int64_t>(seconds);
}

std::optional<DriftMethod> parse_drift_method(std::string_view text) noexcept {
    if (text == "ks" || text == "kolmogorov_smirnov") return DriftMethod::KolmogorovSmirnov;
    if (text == "kl" || text == "kullback_leibler") return DriftMethod::KullbackLeibler;
    if (text == "hellinger" || text == "hellinger_distance") return DriftMethod::Hellinger;
    if (text == "chi2" || text == "chi_square") return DriftMethod::ChiSquare;
    return std::nullopt;
}

DriftSeverity grade_drift(double score) noexcept {
    if (score < 0.1) return DriftSeverity::None;
    if (score < 0.2) return DriftSeverity::Low;
    if (score < 0.35) return DriftSeverity::Medium;
    if (score < 0.5) return DriftSeverity::High;
    return DriftSeverity::Critical;  // NaN fails every test above
}

namespace {
constexpr std::array<std::string_view, 5> kSeverityNames = {"none", "low", "medium", "high", "critical"};
}

std::string_view severity_text(DriftSeverity severity) noexcept {
    return kSeverityNames[static_cast<std::size_t>(severity)];
}

std::optional<DriftSeverity> parse_drift_severity(std::string_view text) noexcept {
    for (std::size_t i = 0; i < kSeverityNames.size(); ++i)
        if (text == kSeverityNames[i]) return static_cast<DriftSeverity>(i);
    return std::nullopt;
}

namespace {

// Sorts `values` ascending, NaN after every number.
void sort_nan_last(std::vector<double>& values) {
    // NaNs go to the back first; the numbers before them are then sorted plainly.
    const auto numbers_end = std::partition(values.begin(), values.end(), [](double v) { return !std::isnan(v); });
    sort_numbers(std::span<double>(values.begin(), numbers_end));
}

}  // namespace

std::vector<double> sorted_copy(std::span<const double> values) {
    std::vector<double> out(values.begin(), values.end());
    sort_nan_last(out);
    return out;
}

DistributionStats DistributionStats::of(std::span<const double> values) {
    DistributionStats s;
    const std::size_t n = values.size();
    if (n == 0) return s;
    const double count = static_cast<double>(n);
    double sum = 0.0;
    for (double x : values) sum += x;
    s.mean = sum / count;
    double squares = 0.0;
    for (double x : values) squares += (x - s.mean) * (x - s.mean);
    const double variance = squares / count;
    s.std = std::sqrt(variance);
    const std::vector<double> sorted = sorted_copy(values);
    s.min = sorted.front();
    s.max = sorted.back();
    s.median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0;
    s.q25 = sorted[static_cast<std::size_t>(0.25 * count)];
    s.q75 = sorted[static_cast<std::size_t>(0.75 * count)];
    if (variance > 0.0) {
        double cubes = 0.0, fourths = 0.0;
        for (double x : values) {
            const double z = (x - s.mean) / s.std;
            cubes += z * z * z;
            fourths += z * z * z * z;
        }
        s.skewness = cubes / count;
        s.kurtosis = fourths / count - 3.0;
    }
    return s;
}

double DriftDetector::kolmogorov_smirnov(std::span<const double> baseline, std::span<const double> current) {
    if (baseline.empty() || current.empty()) return 0.0;
    // The NaNs sort after every number as one run, where both CDFs reach 1:
    // they count in nb and nc but add no gap, so only the numbers are walked
    // (copied as they are sorted).
    std::vector<double> b, c;
    SampleSort samples[] = {{baseline, &b}, {current, &c}};
    sort_samples(samples);
    const std::uint64_t nb = baseline.size(), nc = current.size();
    // Below this product two exact gaps differ by more than the rounding of
    // |i / nb - j / nc| can bridge, so the largest of those is at the widest gap.
    constexpr std::uint64_t kGapsOrderFractionsUpTo = std::uint64_t{1} << 50;
    if (nb <= kGapsOrderFractionsUpTo / nc) return widest_cdf_gap(b, c, nb, nc, 2).statistic;
    // Visit every distinct value once, smallest first; i and j count the values
    // of each sample that are <= it, which is what a scan per value would count.
    std::size_t i = 0, j = 0;
    double d = 0.0;
    while (i < b.size() || j < c.size()) {
        const double v = (j == c.size() || (i < b.size() && b[i] <= c[j])) ? b[i] : c[j];
        while (i < b.size() && b[i] <= v) ++i;
        while (j < c.size() && c[j] <= v) ++j;
        d = std::fmax(d, std::fabs(fraction(i, nb) - fraction(j, nc)));
    }
    return d;
}

double hellinger_distance(std::span<const double> baseline, std::span<const double> current) {
    if (baseline.empty() || current.empty()) return 0.0;
    struct Fit {
        double mean, variance;
    };
    auto fit = [](std::span<const double> xs) {
        const double n = static_cast<double>(xs.size());
        double sum = 0.0;
        for (double x : xs) sum += x;
        const double mean = sum / n;
        double squares = 0.0;
        for (double x : xs) squares += (x - mean) * (x - mean);
        return Fit{mean, std::fmax(squares / n, 1e-9)};  // fmax: a NaN variance becomes the floor
    };
    const Fit b = fit(baseline), c = fit(current);
    const double s = b.variance + c.variance;
    const double sigma_b = std::sqrt(b.variance), sigma_c = std::sqrt(c.variance);
    const double gap = b.mean - c.mean;
    const double bhattacharyya = gap * gap / (4.0 * s) + 0.5 * std::log(s / (2.0 * sigma_b * sigma_c));
    return std::fmin(1.0, std::sqrt(std::fmax(0.0, 1.0 - std::exp(-std::fmax(0.0, bhattacharyya)))));
}

FeatureDrift DriftDetector::detect_feature_drift(std::string feature_name, std::span<const double> baseline,
                                                 std::span<const double> current, DriftMethod method) {
    const bool normal_fit = method == DriftMethod::KullbackLeibler || method == DriftMethod::Hellinger;
    const double score = normal_fit ? hellinger_distance(baseline, current) : kolmogorov_smirnov(baseline, current);
    FeatureDrift drift;
    drift.severity = grade_drift(score);
    drift.drift_score = score;
    drift.timestamp = unix_now();
    drift.baseline_stats = DistributionStats::of(baseline);
    drift.current_stats = DistributionStats::of(current);
    drift.feature_name = std::move(feature_name);
    return drift;
}

namespace {

StringMap<std::uint64_t> index_counts(const CountTable& table) {
    StringMap<std::uint64_t> map;
    map.reserve(table.size());
    for (const auto& [key, count] : table) map.emplace(key, count);
    return map;
}

double total(const CountTable& table) noexcept {
    double sum = 0.0;
    for (const auto& entry : table) sum += static_cast<double>(entry.second);
    return sum;
}

}  // namespace

double chi_square_drift(const CountTable& baseline, const CountTable& current) {
    const double tb = total(baseline), tc = total(current);
    const StringMap<std::uint64_t> observed = index_counts(current);
    double sum = 0.0;
    for (const auto& [category, count] : baseline) {
        const double expected = static_cast<double>(count) / tb * tc;
        const auto it = observed.find(category);
        const double o = it == observed.end() ? 0.0 : static_cast<double>(it->second);
        if (expected > 0.0) sum += (o - expected) * (o - expected) / expected;
    }
    return sum / static_cast<double>(baseline.size());
}

std::vector<SegmentCompositionChange> segment_composition_change(const CountTable& previous,
                                                                 const CountTable& current) {
    const double population = total(previous);
    const StringMap<std::uint64_t> before = index_counts(previous);
    std::vector<SegmentCompositionChange> out;
    out.reserve(current.size());
    auto report = [&](const std::string& segment, std::uint64_t p, std::uint64_t c) {
        SegmentCompositionChange change;
        change.segment_name = segment;
        change.previous_size = p;
        change.current_size = c;
        // The exact difference, whichever size is larger.
        const double diff = c >= p ? static_cast<double>(c - p) : -static_cast<double>(p - c);
        change.size_change_percent = population == 0.0 ? 0.0 : diff / population * 100.0;
        if (p > c) {
            change.churn_rate = static_cast<double>(p - c) / static_cast<double>(p);
        } else if (p == 0) {
            change.growth_rate = 1.0;
        } else {
            change.growth_rate = static_cast<double>(c - p) / static_cast<double>(p);
        }
        out.push_back(std::move(change));
    };
    for (const auto& [segment, c] : current) {
        const auto it = before.find(segment);
        report(segment, it == before.end() ? 0 : it->second, c);
    }
    // A segment that lost every member is the largest change of all: reported with size 0.
    const StringMap<std::uint64_t> after = index_counts(current);
    for (const auto& [segment, p] : previous)
        if (!after.contains(segment)) report(segment, p, 0);
    return out;
}

}  // namespace segmora::engine
