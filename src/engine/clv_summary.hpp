// Transactions to the per-customer summaries the purchase and spend models
// read (frequency, recency, T, monetary value), as the field defines them.
//
// A customer's purchases are first merged per UTC calendar day (one purchase a
// day, worth the day's total); purchases after `as_of` (default: the latest
// instant of the data) and rows without an instant are left out. Then
// frequency = purchase days after the first, recency = days from the first
// to the last purchase day, T = days from the first purchase day to as_of's
// day, both divided by `period_days`, and monetary value = the mean of the
// repeat days' totals (0 without a repeat day; the repeat days' amounts are
// added in input order). Rows marked kSkippedRow in the grouping are left out
// too. Customers come in group order (first appearance); one without a
// purchase left is not listed. The per-customer step runs on the pool and
// never depends on its size.
//
// Over partitions (each customer's rows in one partition): every partition's
// summary keeps each customer's first purchase day, so that T against an as_of
// known only once all partitions are read is periods_between(first_day,
// utc_day(as_of), period_days), the very value clv_summary gives.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/rfm.hpp"
#include "engine/rfm_columns.hpp"

namespace segmora::engine {

class ThreadPool;

struct ClvSummary {
    std::vector<std::uint32_t> group;  // the customer (group number) of each row, ascending
    std::vector<double> frequency, recency, age, monetary_value;
    std::vector<std::int64_t> first_day;  // UTC day number of each customer's first purchase
    std::optional<Instant> as_of;      // the instant used (nullopt when no row has one)
};

// The UTC calendar day holding `when`, as days since 1970-01-01 (floored).
std::int64_t utc_day(const Instant& when) noexcept;

// The span from one day to a later one in periods of `period_days` days.
double periods_between(std::int64_t from_day, std::int64_t to_day, double period_days) noexcept;

// `rows.amounts` may be empty (no amounts: monetary values 0); period_days > 0.
ClvSummary clv_summary(const Grouping& groups, const PurchaseColumns& rows, std::optional<Instant> as_of,
                       double period_days, ThreadPool& pool);

}  // namespace segmora::engine
