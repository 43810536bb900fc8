#include "engine/cohorts.hpp"

#include <algorithm>

#include "engine/keyed_hash.hpp"
#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {

namespace {

std::string_view period_name(CohortPeriod period) noexcept {
    switch (period) {
        case CohortPeriod::Weekly: return "weekly";
        case CohortPeriod::Monthly: return "monthly";
        case CohortPeriod::Quarterly: return "quarterly";
        case CohortPeriod::Yearly: return "yearly";
    }
    return "";
}

double rate_of(std::uint64_t count, std::uint64_t size) noexcept {
    return size == 0 ? 0.0 : static_cast<double>(count) / static_cast<double>(size);
}

}  // namespace

std::int64_t period_seconds(CohortPeriod period) noexcept {
    switch (period) {
        case CohortPeriod::Weekly: return 604'800;
        case CohortPeriod::Monthly: return 2'592'000;
        case CohortPeriod::Quarterly: return 7'776'000;
        case CohortPeriod::Yearly: return 31'536'000;
    }
    return 1;
}

std::optional<CohortPeriod> parse_cohort_period(std::string_view lowered) noexcept {
    for (CohortPeriod p : {CohortPeriod::Weekly, CohortPeriod::Monthly, CohortPeriod::Quarterly, CohortPeriod::Yearly})
        if (period_name(p) == lowered) return p;
    return std::nullopt;
}

std::string cohort_id_for(CohortPeriod period, std::int64_t date_unix) {
    return format("cohort_{}", date_unix / period_seconds(period));
}

Cohort Cohort::create(std::string cohort_id, CohortPeriod period, std::int64_t created_at,
                      std::span<const CohortCustomer> customers) {
    Cohort c;
    c.cohort_id = std::move(cohort_id);
    c.period = period;
    c.created_at = created_at;
    c.size = customers.size();
    std::uint64_t retained = 0;
    for (const CohortCustomer& customer : customers) {
        c.revenue += customer.ltv;
        if (customer.retained) ++retained;
    }
    c.avg_ltv = c.size == 0 ? 0.0 : c.revenue / static_cast<double>(c.size);
    c.retention_rate_total = rate_of(retained, c.size);
    c.churn_rate_total = 1.0 - c.retention_rate_total;
    c.retention_curve.push_back({0, retained, c.churn_rate_total, c.retention_rate_total});
    return c;
}

void Cohort::add_retention_point(std::uint64_t age_in_periods, std::uint64_t retained_count) {
    const double rate = rate_of(retained_count, size);
    retention_curve.push_back({age_in_periods, retained_count, 1.0 - rate, rate});
}

double Cohort::retention_decay_rate() const noexcept {
    if (retention_curve.size() < 2) return 0.0;
    const RetentionPoint& first = retention_curve.front();
    const RetentionPoint& last = retention_curve.back();
    const double span = static_cast<double>(last.age_in_periods) - static_cast<double>(first.age_in_periods);
    if (span == 0.0) return 0.0;
    return (last.retention_rate - first.retention_rate) / span;
}

double Cohort::revenue_per_retained() const noexcept {
    if (retention_curve.empty()) return 0.0;
    const std::uint64_t r = retention_curve.back().retained_count;
    return r == 0 ? 0.0 : revenue / static_cast<double>(r);
}

std::vector<std::pair<std::string_view, double>> Cohort::summary() const {
    return {{"size", static_cast<double>(size)},
            {"revenue", revenue},
            {"avg_ltv", avg_ltv},
            {"retention_rate", retention_rate_total},
            {"churn_rate", churn_rate_total},
            {"decay_rate", retention_decay_rate()},
            {"revenue_per_retained", revenue_per_retained()}};
}

CohortComparison compare_cohorts(const Cohort& a, const Cohort& b) {
    CohortComparison out;
    out.retention_rate_diff = b.retention_rate_total - a.retention_rate_total;
    out.better_cohort_id = out.retention_rate_diff > 0.0 ? b.cohort_id : a.cohort_id;
    // Sizes count list items, so both fit in 63 bits: the signed difference is exact.
    out.size_diff = static_cast<std::int64_t>(b.size) - static_cast<std::int64_t>(a.size);
    out.revenue_diff = b.revenue - a.revenue;
    out.avg_ltv_diff = b.avg_ltv - a.avg_ltv;
    return out;
}

std::vector<std::vector<double>> cohort_retention_table(CohortRefs cohorts) {
    if (cohorts.empty()) return {};
    std::uint64_t largest = 0;
    for (const Cohort* c : cohorts)
        for (const RetentionPoint& p : c->retention_curve) largest = std::max(largest, p.age_in_periods);
    // Checked before allocating: the widest row ends at the largest recorded age.
    const std::uint64_t rows = cohorts.size();
    if (largest >= kMaxRetentionCells || (largest + 1) > kMaxRetentionCells / rows) {
        throw SegmoraError::data_validation(
            format("retention table of {} cohorts with ages up to {} exceeds {} cells", rows, largest,
                   kMaxRetentionCells));
    }
    std::vector<std::vector<double>> table;
    table.reserve(rows);
    for (const Cohort* c : cohorts) {
        std::vector<double>& row = table.emplace_back(largest + 1, 0.0);
        for (const RetentionPoint& p : c->retention_curve) row[p.age_in_periods] = p.retention_rate;
    }
    return table;
}

std::pair<std::optional<std::string>, std::optional<std::string>> cohort_performance_ranking(CohortRefs cohorts) {
    if (cohorts.empty()) return {};
    const Cohort* best = cohorts.front();
    const Cohort* worst = cohorts.front();
    for (const Cohort* c : cohorts.subspan(1)) {
        if (c->retention_rate_total >= best->retention_rate_total) best = c;
        if (c->retention_rate_total < worst->retention_rate_total) worst = c;
    }
    return {best->cohort_id, worst->cohort_id};
}

std::vector<CohortAggregate> aggregate_cohorts_by_period(CohortRefs cohorts) {
    StringMap<std::size_t> slot;  // id -> its group in `groups`
    std::vector<CohortAggregate> groups;
    for (const Cohort* c : cohorts) {
        auto [it, added] = slot.try_emplace(c->cohort_id, groups.size());
        if (added) groups.push_back({c->cohort_id, 0.0, 0.0, 0.0, 0.0});
        CohortAggregate& g = groups[it->second];
        g.total_size += static_cast<double>(c->size);
        g.total_revenue += c->revenue;
        g.avg_retention += c->retention_rate_total;
        g.cohort_count += 1.0;
    }
    for (CohortAggregate& g : groups) g.avg_retention /= g.cohort_count;
    return groups;
}

}  // namespace segmora::engine
