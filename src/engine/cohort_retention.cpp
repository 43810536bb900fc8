#include "engine/cohort_retention.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "engine/thread_pool.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

namespace chr = std::chrono;

constexpr std::int64_t kNoPeriod = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 26;

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    const std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The days of the calendar's range, a year inside what chrono::year holds (a
// week's label reads the date of its Thursday, up to three days later).
const std::int64_t kFirstDay = chr::sys_days{chr::year{-32766} / chr::January / 1}.time_since_epoch().count();
const std::int64_t kLastDay = chr::sys_days{chr::year{32766} / chr::December / 31}.time_since_epoch().count();

chr::year_month_day civil(std::int64_t day) noexcept {
    return chr::year_month_day{chr::sys_days{chr::days{day}}};
}

}  // namespace

std::string_view calendar_period_name(CalendarPeriod period) noexcept {
    switch (period) {
        case CalendarPeriod::Week: return "week";
        case CalendarPeriod::Month: return "month";
        case CalendarPeriod::Quarter: return "quarter";
        case CalendarPeriod::Year: return "year";
    }
    return "";
}

std::optional<CalendarPeriod> parse_calendar_period(std::string_view lowered) noexcept {
    for (CalendarPeriod p : {CalendarPeriod::Week, CalendarPeriod::Month, CalendarPeriod::Quarter, CalendarPeriod::Year})
        if (calendar_period_name(p) == lowered) return p;
    return std::nullopt;
}

std::optional<std::int64_t> calendar_period_of(CalendarPeriod period, std::int64_t seconds) noexcept {
    const std::int64_t day = floor_div(seconds, 86'400);
    if (day < kFirstDay || day > kLastDay) return std::nullopt;
    if (period == CalendarPeriod::Week) return floor_div(day + 3, 7);  // 1970-01-01 was a Thursday
    const chr::year_month_day date = civil(day);
    const std::int64_t year = static_cast<int>(date.year());
    const std::int64_t month = static_cast<unsigned>(date.month()) - 1;
    switch (period) {
        case CalendarPeriod::Month: return year * 12 + month;
        case CalendarPeriod::Quarter: return year * 4 + month / 3;
        default: return year;
    }
}

std::string calendar_period_label(CalendarPeriod period, std::int64_t number) {
    auto padded = [](std::int64_t v, int width) {
        std::string digits = std::to_string(v < 0 ? -v : v);
        if (digits.size() < static_cast<std::size_t>(width)) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
        return v < 0 ? "-" + digits : digits;
    };
    switch (period) {
        case CalendarPeriod::Week: {
            // The ISO year and week of a week are those of its Thursday.
            const std::int64_t thursday = number * 7;
            const chr::year_month_day date = civil(thursday);
            const std::int64_t first = chr::sys_days{date.year() / chr::January / 1}.time_since_epoch().count();
            return format("{}-W{}", padded(static_cast<int>(date.year()), 4), padded((thursday - first) / 7 + 1, 2));
        }
        case CalendarPeriod::Month:
            return format("{}-{}", padded(floor_div(number, 12), 4), padded(number - floor_div(number, 12) * 12 + 1, 2));
        case CalendarPeriod::Quarter:
            return format("{}-Q{}", padded(floor_div(number, 4), 4), number - floor_div(number, 4) * 4 + 1);
        case CalendarPeriod::Year: return padded(number, 4);
    }
    return {};
}

CohortTable cohort_retention(const Grouping& groups, const PurchaseColumns& rows, CalendarPeriod period,
                             std::optional<Instant> as_of, ThreadPool& pool) {
    CohortTable table;
    const std::size_t n_rows = groups.group_of.size();
    const std::size_t n_groups = groups.first_row.size();
    auto instant_at = [&](std::size_t i) -> std::optional<Instant> {
        if (!rows.ticks) return rows.when[i];
        const std::int64_t tick = rows.ticks->ticks[i];
        if (rows.ticks->missing && tick == *rows.ticks->missing) return std::nullopt;
        return rows.ticks->instant(tick);
    };
    // The period of every purchase up to a given as_of, on the workers.
    const bool given = as_of.has_value();
    constexpr std::size_t kChunk = 65536;
    const std::size_t n_chunks = (n_rows + kChunk - 1) / kChunk;
    std::vector<std::int64_t> period_of(n_rows);
    std::vector<std::size_t> outside(n_chunks, n_rows);   // first row out of the calendar, per chunk
    std::vector<std::optional<Instant>> latest(n_chunks);  // per chunk
    pool.parallel_for(n_chunks, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t chunk = begin; chunk < end; ++chunk) {
            for (std::size_t i = chunk * kChunk; i < std::min(n_rows, (chunk + 1) * kChunk); ++i) {
                period_of[i] = kNoPeriod;
                if (groups.group_of[i] == kSkippedRow) continue;
                const std::optional<Instant> when = instant_at(i);
                if (!when || (given && *when > *as_of)) continue;
                const std::optional<std::int64_t> p = calendar_period_of(period, when->seconds);
                if (!p) {
                    outside[chunk] = std::min(outside[chunk], i);
                    continue;
                }
                period_of[i] = *p;
                if (!latest[chunk] || *when > *latest[chunk]) latest[chunk] = when;
            }
        }
    });
    poll_interrupt();
    for (std::size_t chunk = 0; chunk < n_chunks; ++chunk) {
        if (outside[chunk] != n_rows)
            throw SegmoraError::data_validation(format("the timestamp at row {} is outside the years -32766 to 32766", outside[chunk]));
        if (!given && latest[chunk] && (!as_of || *latest[chunk] > *as_of)) as_of = latest[chunk];
    }
    if (!as_of) return table;  // no purchase at all
    const std::optional<std::int64_t> last = calendar_period_of(period, as_of->seconds);
    if (!last) throw SegmoraError::data_validation(format("as_of ({} s) is outside the years -32766 to 32766", as_of->seconds));

    // Acquisition: each customer's first period; cohorts are the distinct ones.
    std::vector<std::int64_t> acquired(n_groups, kNoPeriod);
    for (std::size_t i = 0; i < n_rows; ++i) {
        const std::int64_t p = period_of[i];
        if (p == kNoPeriod) continue;
        std::int64_t& first = acquired[groups.group_of[i]];
        if (first == kNoPeriod || p < first) first = p;
    }
    for (const std::int64_t p : acquired)
        if (p != kNoPeriod) table.cohorts.push_back(p);
    std::sort(table.cohorts.begin(), table.cohorts.end());
    table.cohorts.erase(std::unique(table.cohorts.begin(), table.cohorts.end()), table.cohorts.end());
    if (table.cohorts.empty()) return table;
    const std::uint64_t span = static_cast<std::uint64_t>(*last) - static_cast<std::uint64_t>(table.cohorts.front());
    if (span >= kMaxCells || table.cohorts.size() * (span + 1) > kMaxCells)
        throw SegmoraError::data_validation(format("cohort table of {} cohorts with ages up to {} exceeds {} rows",
                                                   table.cohorts.size(), span, kMaxCells));
    table.ages = static_cast<std::size_t>(span) + 1;
    const std::size_t cells = table.cohorts.size() * table.ages;
    std::vector<std::uint32_t> cohort_of(n_groups, 0);
    std::vector<std::uint64_t> size(table.cohorts.size(), 0);
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (acquired[g] == kNoPeriod) continue;
        cohort_of[g] = static_cast<std::uint32_t>(
            std::lower_bound(table.cohorts.begin(), table.cohorts.end(), acquired[g]) - table.cohorts.begin());
        ++size[cohort_of[g]];
    }
    poll_interrupt();

    // Active customers: the rows of each customer side by side (a counting
    // sort), each age counted once per customer.
    std::vector<std::uint32_t> start(n_groups + 1, 0);
    for (std::size_t i = 0; i < n_rows; ++i)
        if (period_of[i] != kNoPeriod) ++start[groups.group_of[i] + 1];
    for (std::size_t g = 0; g < n_groups; ++g) start[g + 1] += start[g];
    std::vector<std::int64_t> by_customer(start[n_groups]);
    {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n_rows; ++i)
            if (period_of[i] != kNoPeriod) by_customer[next[groups.group_of[i]]++] = period_of[i];
    }
    table.active.assign(cells, 0);
    std::vector<std::uint32_t> seen(table.ages, 0);  // the last customer (+ 1) counted at each age
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (acquired[g] == kNoPeriod) continue;
        std::uint64_t* active = table.active.data() + cohort_of[g] * table.ages;
        for (std::uint32_t r = start[g]; r < start[g + 1]; ++r) {
            const auto age = static_cast<std::size_t>(by_customer[r] - acquired[g]);
            if (seen[age] == g + 1) continue;
            seen[age] = static_cast<std::uint32_t>(g + 1);
            ++active[age];
        }
    }

    table.customers.resize(cells);
    table.retention.resize(cells);
    for (std::size_t c = 0; c < table.cohorts.size(); ++c) {
        const auto reached = static_cast<std::size_t>(*last - table.cohorts[c]);  // the cohort's age at as_of
        for (std::size_t age = 0; age < table.ages; ++age) {
            const std::size_t cell = c * table.ages + age;
            table.customers[cell] = size[c];
            table.retention[cell] = age <= reached ? static_cast<double>(table.active[cell]) / static_cast<double>(size[c])
                                                   : std::numeric_limits<double>::quiet_NaN();
        }
    }
    return table;
}

}  // namespace segmora::engine
