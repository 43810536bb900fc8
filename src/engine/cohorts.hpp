// Cohort analysis: cohort ids by period, cohorts with retention curves, and
// comparison, tabulation, ranking and aggregation of lists of cohorts.
//
// Periods are fixed-length buckets counted from the Unix epoch (7, 30, 90 and
// 365 days); ids are "cohort_{bucket}" with the timestamp divided toward zero.
// Divisions by zero give 0.0 instead. Aggregation keys come from callers and
// use the keyed hash; groups come back in order of first appearance. The only
// failure is a retention table too large to build (DataValidation).
// Single-threaded and deterministic.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace segmora::engine {

enum class CohortPeriod { Weekly, Monthly, Quarterly, Yearly };

// The bucket length in seconds: 604800, 2592000, 7776000, 31536000.
std::int64_t period_seconds(CohortPeriod period) noexcept;
// The period with exactly this (already lower-cased) name; nothing otherwise.
std::optional<CohortPeriod> parse_cohort_period(std::string_view lowered) noexcept;
// "cohort_{}" with date_unix / period_seconds, truncated toward zero.
std::string cohort_id_for(CohortPeriod period, std::int64_t date_unix);

struct RetentionPoint {
    std::uint64_t age_in_periods = 0;
    std::uint64_t retained_count = 0;
    double churn_rate = 0.0;
    double retention_rate = 0.0;
};

struct CohortCustomer {
    double ltv = 0.0;
    bool retained = false;
};

struct Cohort {
    std::string cohort_id;
    CohortPeriod period = CohortPeriod::Monthly;
    std::int64_t created_at = 0;
    std::uint64_t size = 0;
    double revenue = 0.0;
    double avg_ltv = 0.0;
    double retention_rate_total = 0.0;
    double churn_rate_total = 1.0;
    std::vector<RetentionPoint> retention_curve;  // insertion order

    // A cohort of `customers` with one curve point at age 0.
    static Cohort create(std::string cohort_id, CohortPeriod period, std::int64_t created_at,
                         std::span<const CohortCustomer> customers);
    // Appends (age, retained, 1 - rate, rate), rate = retained / size (0.0 for size 0). No checks.
    void add_retention_point(std::uint64_t age_in_periods, std::uint64_t retained_count);
    // (last rate - first rate) / (last age - first age); 0.0 with < 2 points or a zero span.
    double retention_decay_rate() const noexcept;
    // revenue / the last point's retained count; 0.0 for an empty curve or a zero count.
    double revenue_per_retained() const noexcept;
    // size, revenue, avg_ltv, retention_rate, churn_rate, decay_rate, revenue_per_retained.
    std::vector<std::pair<std::string_view, double>> summary() const;
};

// b minus a throughout; the better cohort is b only when its retention is strictly higher.
struct CohortComparison {
    std::string better_cohort_id;
    std::int64_t size_diff = 0;
    double revenue_diff = 0.0;
    double avg_ltv_diff = 0.0;
    double retention_rate_diff = 0.0;
};
CohortComparison compare_cohorts(const Cohort& a, const Cohort& b);

// Cohorts are read in place; the pointers must stay valid for the call.
using CohortRefs = std::span<const Cohort* const>;

// Cells a retention table may hold (rows x ages); larger tables are refused.
inline constexpr std::uint64_t kMaxRetentionCells = std::uint64_t{1} << 26;

// One row per cohort of (largest age + 1) rates, 0.0 where no point was
// recorded, later points overwriting earlier ones of the same age. Throws
// DataValidation when the table would exceed kMaxRetentionCells.
std::vector<std::vector<double>> cohort_retention_table(CohortRefs cohorts);

// Ids of the highest (last among equals) and lowest (first among equals) total
// retention; nothing for no cohorts.
std::pair<std::optional<std::string>, std::optional<std::string>> cohort_performance_ranking(CohortRefs cohorts);

struct CohortAggregate {
    std::string cohort_id;
    double total_size = 0.0;
    double total_revenue = 0.0;
    double avg_retention = 0.0;
    double cohort_count = 0.0;
};
// Cohorts grouped by exact id, in order of first appearance.
std::vector<CohortAggregate> aggregate_cohorts_by_period(CohortRefs cohorts);

}  // namespace segmora::engine
