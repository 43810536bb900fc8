#include "engine/rfm.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

#include "engine/thread_pool.hpp"

namespace segmora::engine {

namespace {

constexpr std::array<SegmentInfo, kSegmentTypeCount> kSegments = {{
    {SegmentType::Champions, "Champions", "Best customers with highest value and engagement"},
    {SegmentType::LoyalCustomers, "Loyal Customers", "Consistent, valuable customers with steady engagement"},
    {SegmentType::PotentialLoyalists, "Potential Loyalists", "Recent high-value customers with growth potential"},
    {SegmentType::AtRisk, "At Risk", "Once valuable customers showing declining engagement"},
    {SegmentType::CannotLose, "Cannot Lose Them", "High-value customers at risk of churn - critical retention"},
    {SegmentType::VIP, "VIP", "Premium customers with exceptional value metrics"},
    {SegmentType::NewCustomers, "New Customers", "Recently acquired customers with high potential"},
    {SegmentType::NeedAttention, "Need Attention", "Moderate-value customers requiring engagement"},
    {SegmentType::AboutToSleep, "About to Sleep", "Low engagement customers at risk of dormancy"},
    {SegmentType::AtRiskSleeping, "At Risk - Sleeping", "Previously inactive customers showing re-engagement"},
    {SegmentType::Promising, "Promising", "New customers showing early signs of high value"},
    {SegmentType::Lost, "Lost", "Inactive customers unlikely to return"},
    {SegmentType::Hibernating, "Hibernating", "Inactive but potentially recoverable customers"},
}};

}  // namespace

const std::array<SegmentInfo, kSegmentTypeCount>& segment_types() noexcept { return kSegments; }

std::string_view display_name(SegmentType type) noexcept { return kSegments[static_cast<std::size_t>(type)].display_name; }

std::string_view description(SegmentType type) noexcept { return kSegments[static_cast<std::size_t>(type)].description; }

SegmentType segment_for_scores(std::uint32_t r, std::uint32_t f, std::uint32_t m) noexcept {
    const bool rh = r > 3, fh = f > 3, mh = m > 3;
    if (rh) {
        if (fh) return mh ? SegmentType::Champions : SegmentType::LoyalCustomers;
        return mh ? SegmentType::PotentialLoyalists : SegmentType::AtRisk;
    }
    if (fh) return mh ? SegmentType::VIP : SegmentType::NeedAttention;
    return mh ? SegmentType::Promising : SegmentType::Lost;
}

}  // namespace segmora::engine

// ---- RFM computation ----

namespace segmora::engine {

namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;
constexpr std::uint32_t kNanosPerSecond = 1'000'000'000;

// Reads exactly `count` decimal digits at `pos`.
bool read_digits(std::string_view text, std::size_t& pos, std::size_t count, int& out) noexcept {
    if (text.size() - pos < count) return false;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    pos += count;
    out = value;
    return true;
}

bool expect(std::string_view text, std::size_t& pos, char c) noexcept {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

// Descending by value, NaN after every number: a strict weak ordering, so
// the stable sort keeps equal values (and NaNs among themselves) in order.
bool higher_first(double a, double b) noexcept {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a > b;
}

// Customer groups in order of first appearance: an open-addressing table from
// customer id to group number, then the rows of every group in input order.
struct Groups {
    std::vector<std::size_t> first_row;  // per group: its first transaction
    std::vector<std::size_t> offsets;    // per group: start in `rows`; one extra at the end
    std::vector<std::size_t> rows;       // transaction indices grouped, input order within a group
};

Groups group_by_customer(std::span<const Transaction> transactions) {
    const std::size_t n = transactions.size();
    std::size_t capacity = 16;
    while (capacity < n + n / 2) capacity <<= 1;  // load factor below 2/3 even if every id is distinct
    std::vector<std::uint32_t> slots(capacity, 0);  // group number + 1; 0 is empty
    const std::size_t mask = capacity - 1;
    const std::hash<std::string_view> hasher;

    Groups g;
    std::vector<std::uint32_t> group_of(n);
    std::vector<std::size_t> counts;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view id = transactions[i].customer_id;
        std::size_t slot = hasher(id) & mask;
        for (;;) {
            const std::uint32_t entry = slots[slot];
            if (entry == 0) {
                slots[slot] = static_cast<std::uint32_t>(g.first_row.size() + 1);
                group_of[i] = static_cast<std::uint32_t>(g.first_row.size());
                g.first_row.push_back(i);
                counts.push_back(1);
                break;
            }
            if (transactions[g.first_row[entry - 1]].customer_id == id) {
                group_of[i] = entry - 1;
                ++counts[entry - 1];
                break;
            }
            slot = (slot + 1) & mask;
        }
    }
    const std::size_t n_groups = g.first_row.size();
    g.offsets.resize(n_groups + 1);
    std::size_t start = 0;
    for (std::size_t k = 0; k < n_groups; ++k) {
        g.offsets[k] = start;
        start += counts[k];
    }
    g.offsets[n_groups] = start;
    g.rows.resize(n);
    std::vector<std::size_t>& next = counts;  // reused as fill cursors
    for (std::size_t k = 0; k < n_groups; ++k) next[k] = g.offsets[k];
    for (std::size_t i = 0; i < n; ++i) g.rows[next[group_of[i]]++] = i;
    return g;
}

}  // namespace

std::string_view decay_name(DecayFunction decay) noexcept {
    switch (decay) {
        case DecayFunction::Linear: return "linear";
        case DecayFunction::Exponential: return "exponential";
        case DecayFunction::Inverse: return "inverse";
    }
    return "";
}

Instant to_instant(std::chrono::system_clock::time_point t) noexcept {
    using namespace std::chrono;
    const auto secs = floor<seconds>(t);
    const auto nanos = duration_cast<nanoseconds>(t - secs).count();
    return {secs.time_since_epoch().count(), static_cast<std::uint32_t>(nanos)};
}

std::optional<Instant> parse_rfc3339(std::string_view text) noexcept {
    using namespace std::chrono;
    std::size_t pos = 0;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!read_digits(text, pos, 4, y) || !expect(text, pos, '-') || !read_digits(text, pos, 2, mo) ||
        !expect(text, pos, '-') || !read_digits(text, pos, 2, d))
        return std::nullopt;
    if (pos >= text.size() || (text[pos] != 'T' && text[pos] != 't' && text[pos] != ' ')) return std::nullopt;
    ++pos;
    if (!read_digits(text, pos, 2, h) || !expect(text, pos, ':') || !read_digits(text, pos, 2, mi) ||
        !expect(text, pos, ':') || !read_digits(text, pos, 2, s))
        return std::nullopt;
    if (h > 23 || mi > 59 || s > 60) return std::nullopt;

    std::uint32_t nanos = 0;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t begin = pos;
        std::uint32_t scale = kNanosPerSecond / 10;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            nanos += static_cast<std::uint32_t>(text[pos] - '0') * scale;  // digits past the ninth are dropped
            scale /= 10;
            ++pos;
        }
        if (pos == begin) return std::nullopt;
    }

    std::int64_t offset = 0;  // seconds east of UTC
    if (pos >= text.size()) return std::nullopt;
    const char zone = text[pos++];
    if (zone == 'Z' || zone == 'z') {
        offset = 0;
    } else if (zone == '+' || zone == '-') {
        int oh = 0, om = 0;
        if (!read_digits(text, pos, 2, oh) || !expect(text, pos, ':') || !read_digits(text, pos, 2, om))
            return std::nullopt;
        if (oh > 23 || om > 59) return std::nullopt;
        offset = (oh * 60 + om) * 60;
        if (zone == '-') offset = -offset;
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    const std::int64_t days = sys_days{date}.time_since_epoch().count();
    const std::int64_t seconds = days * kSecondsPerDay + h * 3600 + mi * 60 + s - offset;
    return Instant{seconds, nanos};
}

std::int64_t whole_days_between(Instant last, Instant now) noexcept {
    std::int64_t secs = now.seconds - last.seconds;
    const std::int64_t nanos = static_cast<std::int64_t>(now.nanos) - static_cast<std::int64_t>(last.nanos);
    // Whole seconds of the signed difference, truncated toward zero.
    if (secs > 0 && nanos < 0) --secs;
    else if (secs < 0 && nanos > 0) ++secs;
    return secs / kSecondsPerDay;  // truncates toward zero
}

double decay_weight(DecayFunction decay, double days, std::uint32_t half_life_days) noexcept {
    const double h = static_cast<double>(half_life_days);
    switch (decay) {
        case DecayFunction::Linear: {
            // Three half-lives in integer arithmetic (64-bit: no wrap), then float.
            const double span = static_cast<double>(std::uint64_t{3} * half_life_days);
            double w = (span - days) / span;
            if (w < 0.0) w = 0.0;
            if (w > 1.0) w = 1.0;
            return w;  // NaN (0 / 0) passes through
        }
        case DecayFunction::Exponential:
            return std::fmin(std::pow(2.0, -days / h), 1.0);  // fmin drops a NaN operand
        case DecayFunction::Inverse:
            return 1.0 / (days / h + 1.0);
    }
    return 0.0;
}

RFMScore score_customer(std::span<const Transaction> transactions, std::span<const std::size_t> rows,
                        const RFMConfig& config, Instant now) {
    RFMScore record;
    record.customer_id = std::string(transactions[rows.front()].customer_id);
    std::uint64_t count = 0;
    double monetary = 0.0;
    Instant last{};
    for (const std::size_t row : rows) {
        const Transaction& t = transactions[row];
        const std::optional<Instant> when = parse_rfc3339(t.timestamp);
        if (!when) continue;
        if (count == 0 || *when > last) last = *when;
        ++count;
        monetary += t.amount;
    }
    if (count == 0) return record;  // recency, frequency and monetary stay 0
    record.frequency = static_cast<double>(count);
    record.monetary = monetary;
    const double days = static_cast<double>(whole_days_between(last, now));
    record.recency = decay_weight(config.decay_function, days, config.decay_half_life_days);
    return record;
}

std::uint32_t position_score(std::size_t position, std::size_t n, ScoringMethod method) noexcept {
    const double q = static_cast<double>(position) / static_cast<double>(n);
    switch (method) {
        case ScoringMethod::Quintile: return static_cast<std::uint32_t>(std::clamp(std::ceil((1.0 - q) * 5.0), 1.0, 5.0));
        case ScoringMethod::Decile: return static_cast<std::uint32_t>(std::clamp(std::ceil((1.0 - q) * 10.0), 1.0, 10.0));
        case ScoringMethod::Percentile:
            return static_cast<std::uint32_t>(std::clamp(std::trunc((1.0 - q) * 100.0), 1.0, 100.0));
    }
    return 1;
}

void score_dimension(std::vector<RFMScore>& scores, double RFMScore::*value, std::uint32_t RFMScore::*score,
                     ScoringMethod method) {
    const std::size_t n = scores.size();
    if (n == 0) return;
    // Sort (value, position) keys, then move the records once into the new order.
    std::vector<std::pair<double, std::size_t>> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = {scores[i].*value, i};
    if (n > 1) {
        std::stable_sort(keys.begin(), keys.end(),
                         [](const auto& a, const auto& b) { return higher_first(a.first, b.first); });
    }
    std::vector<RFMScore> sorted;
    sorted.reserve(n);
    for (std::size_t pos = 0; pos < n; ++pos) {
        sorted.push_back(std::move(scores[keys[pos].second]));
        sorted.back().*score = position_score(pos, n, method);
    }
    scores = std::move(sorted);
}

void apply_scoring(std::vector<RFMScore>& scores, ScoringMethod method) {
    if (scores.empty()) return;
    score_dimension(scores, &RFMScore::recency, &RFMScore::recency_score, method);
    score_dimension(scores, &RFMScore::frequency, &RFMScore::frequency_score, method);
    score_dimension(scores, &RFMScore::monetary, &RFMScore::monetary_score, method);
    for (RFMScore& s : scores)
        s.segment = display_name(segment_for_scores(s.recency_score, s.frequency_score, s.monetary_score));
}

std::vector<RFMScore> calculate_rfm(std::span<const Transaction> transactions, const RFMConfig& config,
                                    std::optional<std::int32_t> n_jobs) {
    if (transactions.empty()) return {};
    return calculate_rfm_at(transactions, config, n_jobs, to_instant(std::chrono::system_clock::now()));
}

std::vector<RFMScore> calculate_rfm_at(std::span<const Transaction> transactions, const RFMConfig& config,
                                       std::optional<std::int32_t> n_jobs, Instant now) {
    if (transactions.empty()) return {};
    const Groups groups = group_by_customer(transactions);
    const std::size_t n_groups = groups.first_row.size();
    std::vector<RFMScore> scores(n_groups);
    {
        const auto pool = build_thread_pool(n_jobs.value_or(-1));
        pool->parallel_for(n_groups, 256, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::span<const std::size_t> rows(groups.rows.data() + groups.offsets[k],
                                                        groups.offsets[k + 1] - groups.offsets[k]);
                scores[k] = score_customer(transactions, rows, config, now);
            }
        });
    }
    apply_scoring(scores, config.scoring_method);
    return scores;
}

}  // namespace segmora::engine
