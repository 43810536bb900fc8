// Retention of acquisition cohorts, from transactions given as grouped rows
// (one group per customer) and the instant of each purchase.
//
// Periods are calendar periods in UTC: ISO weeks (Monday to Sunday), months,
// quarters and years, numbered consecutively (a month is year * 12 + month - 1,
// a week counts Mondays from 1969-12-29). A customer's cohort is the period of
// its first purchase; the customer is active at age a when it bought at least
// once in the period a periods after that one. Rows marked kSkippedRow, or
// without an instant, or after `as_of`, are left out (a customer left with
// none is in no cohort);
// `as_of` defaults to the latest purchase. The table has a row for every cohort
// that acquired someone (oldest first) and every age from 0 to the oldest
// cohort's age at as_of: customers, active, and retention = active / customers,
// NaN for an age the cohort has not reached at as_of. Instants must lie in the
// years -32766 to 32766, and the table within 2^26 rows (else DataValidation).
// Counts are integers, so the table is the same for any pool; an interrupt,
// polled between phases, unwinds as Interrupted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rfm_columns.hpp"

namespace segmora::engine {

enum class CalendarPeriod { Week, Month, Quarter, Year };

// "week", "month", "quarter", "year".
std::string_view calendar_period_name(CalendarPeriod period) noexcept;
// The period with exactly this (already lower-cased) name; nothing otherwise.
std::optional<CalendarPeriod> parse_calendar_period(std::string_view lowered) noexcept;

// The number of the period holding `seconds` since the epoch (UTC), or nothing
// outside the years -32766 to 32766.
std::optional<std::int64_t> calendar_period_of(CalendarPeriod period, std::int64_t seconds) noexcept;
// "2024-W05" (ISO week-numbering year and week), "2024-02", "2024-Q1", "2024".
std::string calendar_period_label(CalendarPeriod period, std::int64_t number);

struct CohortTable {
    std::vector<std::int64_t> cohorts;  // each cohort's period number, oldest first
    std::size_t ages = 0;               // ages 0 .. ages - 1 per cohort
    // One row per (cohort, age), cohort-major.
    std::vector<std::uint64_t> customers;
    std::vector<std::uint64_t> active;
    std::vector<double> retention;
};

// `rows.amounts` is not read.
CohortTable cohort_retention(const Grouping& groups, const PurchaseColumns& rows, CalendarPeriod period,
                             std::optional<Instant> as_of, ThreadPool& pool);

}  // namespace segmora::engine
