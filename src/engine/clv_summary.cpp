#include "engine/clv_summary.hpp"

#include <algorithm>
#include <limits>

#include "engine/thread_pool.hpp"
#include "interrupt.hpp"

namespace segmora::engine {

namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::int64_t kNoDay = std::numeric_limits<std::int64_t>::min();  // no instant, set aside, or after as_of

}  // namespace

std::int64_t utc_day(const Instant& when) noexcept {
    return when.seconds / kSecondsPerDay - (when.seconds % kSecondsPerDay < 0 ? 1 : 0);
}

double periods_between(std::int64_t from_day, std::int64_t to_day, double period_days) noexcept {
    return static_cast<double>(to_day - from_day) / period_days;
}

ClvSummary clv_summary(const Grouping& groups, const PurchaseColumns& rows, std::optional<Instant> as_of,
                       double period_days, ThreadPool& pool) {
    const std::size_t n_rows = groups.group_of.size(), n_groups = groups.first_row.size();
    const bool has_amounts = !rows.amounts.empty();
    ClvSummary out;

    // Each row's instant (nullopt: none, or a row set aside); as_of defaults to the latest.
    const auto instant = [&](std::size_t i) -> std::optional<Instant> {
        if (groups.group_of[i] == kSkippedRow) return std::nullopt;
        if (!rows.ticks) return rows.when[i];
        const std::int64_t tick = rows.ticks->ticks[i];
        if (rows.ticks->missing && tick == *rows.ticks->missing) return std::nullopt;
        return rows.ticks->instant(tick);
    };
    if (!as_of) {
        for (std::size_t i = 0; i < n_rows; ++i)
            if (const std::optional<Instant> when = instant(i); when && (!as_of || *when > *as_of)) as_of = when;
    }
    out.as_of = as_of;
    if (!as_of) return out;

    // The rows left, grouped by customer (a stable counting sort: input order within a customer).
    std::vector<std::int64_t> day(n_rows);
    std::vector<std::size_t> start(n_groups + 1, 0);
    for (std::size_t i = 0; i < n_rows; ++i) {
        const std::optional<Instant> when = instant(i);
        day[i] = when && *when <= *as_of ? utc_day(*when) : kNoDay;
        if (day[i] != kNoDay) ++start[groups.group_of[i] + 1];
    }
    for (std::size_t g = 0; g < n_groups; ++g) start[g + 1] += start[g];
    std::vector<std::int64_t> days(start[n_groups]);
    std::vector<double> amounts(has_amounts ? days.size() : 0);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n_rows; ++i) {
            if (day[i] == kNoDay) continue;
            const std::size_t at = next[groups.group_of[i]]++;
            days[at] = day[i];
            if (has_amounts) amounts[at] = rows.amounts[i];
        }
    }
    poll_interrupt();

    // Per customer: first and last day, distinct days, the repeat days' total.
    const std::int64_t last_day = utc_day(*as_of);
    std::vector<double> frequency(n_groups), recency(n_groups), age(n_groups), monetary(n_groups);
    std::vector<std::int64_t> first_day(n_groups);
    pool.parallel_for(n_groups, 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const std::size_t from = start[g], to = start[g + 1];
            if (from == to) continue;
            const std::int64_t first = *std::min_element(days.begin() + from, days.begin() + to);
            double repeat_total = 0.0;
            if (has_amounts)
                for (std::size_t j = from; j < to; ++j)
                    if (days[j] != first) repeat_total += amounts[j];
            std::sort(days.begin() + from, days.begin() + to);
            const std::size_t distinct = static_cast<std::size_t>(std::unique(days.begin() + from, days.begin() + to) - (days.begin() + from));
            frequency[g] = static_cast<double>(distinct - 1);
            first_day[g] = first;
            recency[g] = periods_between(first, days[from + distinct - 1], period_days);
            age[g] = periods_between(first, last_day, period_days);
            monetary[g] = distinct > 1 ? repeat_total / frequency[g] : 0.0;
        }
    });
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (start[g] == start[g + 1]) continue;
        out.group.push_back(static_cast<std::uint32_t>(g));
        out.frequency.push_back(frequency[g]);
        out.recency.push_back(recency[g]);
        out.age.push_back(age[g]);
        out.monetary_value.push_back(monetary[g]);
        out.first_day.push_back(first_day[g]);
    }
    return out;
}

}  // namespace segmora::engine
