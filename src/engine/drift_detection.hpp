// Drift statistics: how far a feature's distribution moved between a baseline
// and a current sample, graded on a five-level severity scale.
//
// Two numeric statistics, both in [0, 1]: the two-sample Kolmogorov-Smirnov
// statistic (largest gap between the empirical CDFs) and the Hellinger distance
// between normals fitted to the two samples. Two count comparisons serve Python
// only: a mean chi-square contribution per category and per-segment composition
// change. Empty samples are not errors (score 0, summaries all zero); nothing
// here throws. Inputs are never reordered: sorts work on copies. NaN sorts after
// every number (NaNs equal to each other), so every sort is a strict weak
// ordering and the results are deterministic. Stateless; any thread. The KS
// sort polls for interrupts between its passes (Interrupted, nothing kept).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace segmora::engine {

// Whole seconds since the Unix epoch; 0 when the clock reads earlier.
std::int64_t unix_now() noexcept;

enum class DriftMethod : std::uint8_t { KolmogorovSmirnov = 0, KullbackLeibler = 1, Hellinger = 2, ChiSquare = 3 };

// "ks"/"kolmogorov_smirnov", "kl"/"kullback_leibler", "hellinger"/"hellinger_distance",
// "chi2"/"chi_square", matched exactly (the caller lower-cases); nothing otherwise.
std::optional<DriftMethod> parse_drift_method(std::string_view text) noexcept;

enum class DriftSeverity : std::uint8_t { None = 0, Low = 1, Medium = 2, High = 3, Critical = 4 };

// < 0.1 none, < 0.2 low, < 0.35 medium, < 0.5 high, else (NaN included) critical.
DriftSeverity grade_drift(double score) noexcept;
// "none", "low", "medium", "high", "critical".
std::string_view severity_text(DriftSeverity severity) noexcept;
// One of the five names exactly (the caller lower-cases); nothing otherwise.
std::optional<DriftSeverity> parse_drift_severity(std::string_view text) noexcept;

// Ascending copy of `values`, NaN after every number.
std::vector<double> sorted_copy(std::span<const double> values);

// Nine-number summary of a sample; all zero when it is empty.
struct DistributionStats {
    double mean = 0.0;
    double std = 0.0;       // population (divisor n)
    double min = 0.0;       // first of the ascending order
    double max = 0.0;       // last of the ascending order
    double median = 0.0;    // mean of the two middle values for even n
    double q25 = 0.0;       // sorted[floor(0.25 n)]
    double q75 = 0.0;       // sorted[floor(0.75 n)]
    double skewness = 0.0;  // mean z^3; 0 when the variance is not positive
    double kurtosis = 0.0;  // mean z^4 - 3; 0 when the variance is not positive

    static DistributionStats of(std::span<const double> values);
};

struct FeatureDrift {
    std::string feature_name;
    double drift_score = 0.0;
    DistributionStats baseline_stats;
    DistributionStats current_stats;
    std::int64_t timestamp = 0;  // unix_now() when made
    DriftSeverity severity = DriftSeverity::None;
};

struct DriftDetector {
    // Largest |Fb(v) - Fc(v)| over every value v of both samples; 0 if either is
    // empty. The two copies are radix-sorted (side by side on two workers when
    // large), then one merge walk visits every distinct value.
    static double kolmogorov_smirnov(std::span<const double> baseline, std::span<const double> current);
    // Scores with KS (ks, chi_square) or the fitted-normal Hellinger distance
    // (kl, hellinger), grades the score and summarises both samples.
    static FeatureDrift detect_feature_drift(std::string feature_name, std::span<const double> baseline,
                                             std::span<const double> current, DriftMethod method);
};

// Hellinger distance of the normals fitted to the two samples (variances floored
// at 1e-9), via their Bhattacharyya distance; 0 if either sample is empty, 0 when
// a mean is NaN.
double hellinger_distance(std::span<const double> baseline, std::span<const double> current);

// Category counts in the caller's order (keys unique).
using CountTable = std::vector<std::pair<std::string, std::uint64_t>>;

// Mean over the baseline categories of (O - E)^2 / E, E = b / Tb * Tc, skipping
// categories with E not > 0. NaN for no baseline categories.
double chi_square_drift(const CountTable& baseline, const CountTable& current);

struct SegmentCompositionChange {
    std::string segment_name;
    std::uint64_t previous_size = 0;
    std::uint64_t current_size = 0;
    double size_change_percent = 0.0;  // (current - previous) / whole previous population * 100
    double churn_rate = 0.0;           // (previous - current) / previous when it shrank
    double growth_rate = 0.0;          // (current - previous) / previous when it grew; 1 if new
};

// One change per segment of `current`, in its order, then one per segment only
// in `previous` (current size 0), in its order. The size difference is exact
// (never truncated).
std::vector<SegmentCompositionChange> segment_composition_change(const CountTable& previous,
                                                                 const CountTable& current);

}  // namespace segmora::engine
