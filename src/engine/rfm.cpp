#include "engine/rfm.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <utility>

#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "error.hpp"
#include "text.hpp"

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

// ---- RFM computation ----

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

// Customer groups in order of first appearance. Ids are copied into one
// compact buffer and the table keeps a hash tag beside each group number, so
// the probe loop rarely leaves cache. Ids come from callers: they are hashed
// under the process's random key, so no set of ids can be made to collide.
class Groups {
public:
    explicit Groups(std::span<const Transaction> transactions) : group_of_(transactions.size()) {
        slots_.assign(1024, Slot{});
        for (std::size_t i = 0; i < transactions.size(); ++i) group_of_[i] = find_or_add(transactions[i].customer_id);
    }

    std::size_t size() const noexcept { return key_end_.size(); }
    std::string_view key(std::size_t g) const noexcept {
        const std::size_t begin = g == 0 ? 0 : key_end_[g - 1];
        return std::string_view(keys_).substr(begin, key_end_[g] - begin);
    }
    // The group of each transaction.
    const std::vector<std::uint32_t>& group_of() const noexcept { return group_of_; }

private:
    struct Slot {
        std::uint32_t tag = 0;    // high hash bits
        std::uint32_t group = 0;  // group number + 1; 0 is empty
    };

    std::uint32_t find_or_add(std::string_view id) {
        const std::size_t hash = KeyedStringHash{}(id);
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Slot entry = slots_[slot];
            if (entry.group == 0) break;
            if (entry.tag == tag && key(entry.group - 1) == id) return entry.group - 1;
        }
        if (size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many customers");
        const auto group = static_cast<std::uint32_t>(size());
        keys_.append(id);
        key_end_.push_back(keys_.size());
        if (3 * (size() + 1) > 2 * slots_.size()) rehash(2 * slots_.size());  // keeps the load below 2/3
        insert(hash, group);
        return group;
    }

    void insert(std::size_t hash, std::uint32_t group) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = hash & mask;
        while (slots_[slot].group != 0) slot = (slot + 1) & mask;
        slots_[slot] = Slot{static_cast<std::uint32_t>(hash >> 32), group + 1};
    }

    void rehash(std::size_t capacity) {
        slots_.assign(capacity, Slot{});
        for (std::uint32_t g = 0; g + 1 < size(); ++g) insert(KeyedStringHash{}(key(g)), g);
    }

    std::string keys_;
    std::vector<std::size_t> key_end_;
    std::vector<Slot> slots_;
    std::vector<std::uint32_t> group_of_;
};

// One transaction after parsing: its instant (when `parsed`) and amount,
// packed into 24 bytes.
struct Purchase {
    std::int64_t seconds = 0;
    double amount = 0.0;
    std::uint32_t nanos = 0;
    bool parsed = false;
    Instant when() const noexcept { return {seconds, nanos}; }
};

// One customer's unscored record and the instant of its latest purchase;
// nothing when none of its transactions parsed.
struct CustomerRecord {
    RFMScore record;
    Instant last;
};

std::optional<CustomerRecord> score_customer(std::string_view customer_id, std::span<const std::uint32_t> rows,
                                             std::span<const Purchase> purchases, const RFMConfig& config,
                                             Instant now) {
    std::uint64_t count = 0;
    double monetary = 0.0;
    Instant last{};
    for (const std::uint32_t row : rows) {
        const Purchase& p = purchases[row];
        if (!p.parsed) continue;
        if (count == 0 || p.when() > last) last = p.when();
        ++count;
        monetary += p.amount;
    }
    if (count == 0) return std::nullopt;
    CustomerRecord out{RFMScore{}, last};
    RFMScore& record = out.record;
    record.customer_id = std::string(customer_id);
    record.frequency = static_cast<double>(count);
    record.monetary = monetary;
    const double days = static_cast<double>(whole_days_between(last, now));
    record.recency = decay_weight(config.decay_function, days, config.decay_half_life_days);
    return out;
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

std::uint64_t descending_key(double v) noexcept {
    if (std::isnan(v)) return std::numeric_limits<std::uint64_t>::max();
    if (v == 0.0) v = 0.0;
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const std::uint64_t ascending = (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
    return ~ascending;
}

std::int64_t whole_days_between(Instant last, Instant now) noexcept {
    // In 128 bits: instants from epoch-second columns span the whole int64 range.
    __int128 secs = static_cast<__int128>(now.seconds) - last.seconds;
    const std::int64_t nanos = static_cast<std::int64_t>(now.nanos) - static_cast<std::int64_t>(last.nanos);
    // Whole seconds of the signed difference, truncated toward zero.
    if (secs > 0 && nanos < 0) --secs;
    else if (secs < 0 && nanos > 0) ++secs;
    return static_cast<std::int64_t>(secs / kSecondsPerDay);  // truncates toward zero; |days| < 2^64 / 86400
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

namespace {

// Stable LSD radix sort of (key, index) pairs by key, 11 bits a pass; the
// counts of every pass come from one read, and passes where every key has the
// same digit are skipped.
void radix_sort(std::vector<std::pair<std::uint64_t, std::uint32_t>>& items) {
    constexpr int kBits = 11, kPasses = (64 + kBits - 1) / kBits;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> buffer(items.size());
    std::vector<std::size_t> counts(kPasses * kBuckets);
    for (const auto& item : items)
        for (int pass = 0; pass < kPasses; ++pass) ++counts[pass * kBuckets + ((item.first >> (pass * kBits)) & (kBuckets - 1))];
    for (int pass = 0; pass < kPasses; ++pass) {
        const int shift = pass * kBits;
        std::size_t* count = counts.data() + pass * kBuckets;
        if (count[(items.front().first >> shift) & (kBuckets - 1)] == items.size()) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) sum += std::exchange(count[b], sum);
        for (const auto& item : items) buffer[count[(item.first >> shift) & (kBuckets - 1)]++] = item;
        items.swap(buffer);
    }
}

}  // namespace

void score_pass(std::vector<std::uint32_t>& order, std::span<const double> value, std::span<std::uint32_t> score,
                ScoringMethod method) {
    const std::size_t n = order.size();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = {descending_key(value[order[i]]), order[i]};
    if (n > 1) radix_sort(keys);  // stable: equal values keep the current order
    for (std::size_t pos = 0; pos < n; ++pos) {
        order[pos] = keys[pos].second;
        score[order[pos]] = position_score(pos, n, method);
    }
}

std::vector<std::uint32_t> latest_first(std::span<const Instant> last) {
    const std::size_t n = last.size();
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many customers");
    // Two stable passes: by nanoseconds, then by seconds (the major key), both descending.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> keys(n);
    for (std::size_t i = 0; i < n; ++i) keys[i] = {~std::uint64_t{last[i].nanos}, static_cast<std::uint32_t>(i)};
    if (n > 1) radix_sort(keys);
    for (auto& [key, i] : keys) key = ~(static_cast<std::uint64_t>(last[i].seconds) ^ (std::uint64_t{1} << 63));
    if (n > 1) radix_sort(keys);
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = keys[i].second;
    return order;
}

namespace {

// One scoring pass over the records in `order`.
void score_records(std::vector<RFMScore>& scores, std::vector<std::uint32_t>& order, double RFMScore::*value,
                   std::uint32_t RFMScore::*score, ScoringMethod method) {
    std::vector<double> values(scores.size());
    std::vector<std::uint32_t> scored(scores.size());
    for (std::size_t i = 0; i < scores.size(); ++i) values[i] = scores[i].*value;
    score_pass(order, values, scored, method);
    for (std::size_t i = 0; i < scores.size(); ++i) scores[i].*score = scored[i];
}

// Moves the records into `order`.
void reorder(std::vector<RFMScore>& scores, const std::vector<std::uint32_t>& order) {
    std::vector<RFMScore> sorted;
    sorted.reserve(scores.size());
    for (const std::size_t i : order) sorted.push_back(std::move(scores[i]));
    scores = std::move(sorted);
}

std::vector<std::uint32_t> identity(std::size_t n) {
    if (n >= std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many customers");
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    return order;
}

}  // namespace

void score_dimension(std::vector<RFMScore>& scores, double RFMScore::*value, std::uint32_t RFMScore::*score,
                     ScoringMethod method) {
    if (scores.empty()) return;
    std::vector<std::uint32_t> order = identity(scores.size());
    score_records(scores, order, value, score, method);
    reorder(scores, order);
}

void apply_scoring(std::vector<RFMScore>& scores, ScoringMethod method) {
    if (scores.empty()) return;
    // The passes carry one permutation; the records move once at the end.
    std::vector<std::uint32_t> order = identity(scores.size());
    score_records(scores, order, &RFMScore::recency, &RFMScore::recency_score, method);
    score_records(scores, order, &RFMScore::frequency, &RFMScore::frequency_score, method);
    score_records(scores, order, &RFMScore::monetary, &RFMScore::monetary_score, method);
    reorder(scores, order);
    for (RFMScore& s : scores)
        s.segment = display_name(segment_for_scores(s.recency_score, s.frequency_score, s.monetary_score));
}

std::vector<RFMScore> calculate_rfm(std::span<const Transaction> transactions, const RFMConfig& config,
                                    std::optional<std::int32_t> n_jobs, RfmInputReport* report) {
    if (transactions.empty()) return {};
    return calculate_rfm_at(transactions, config, n_jobs, to_instant(std::chrono::system_clock::now()), report);
}

namespace {

// Unscored records of the customers with a parsed transaction, in order of
// first appearance, with the input position of each one's first transaction
// and the instant of its latest purchase.
struct CustomerList {
    std::vector<RFMScore> scores;
    std::vector<std::uint32_t> first;
    std::vector<Instant> last;
};

CustomerList customer_values(std::span<const Transaction> transactions, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now, RfmInputReport* report) {
    const std::size_t n = transactions.size();
    if (n == 0) return {};
    // Row numbers are kept in 32 bits.
    if (n > std::numeric_limits<std::uint32_t>::max()) throw std::length_error("too many transactions");
    const auto pool = build_thread_pool(n_jobs.value_or(-1));

    // Task 0 groups the customers (one sequential pass); the other tasks parse
    // the timestamps chunk by chunk, in input order, into disjoint slots.
    constexpr std::size_t kParseChunk = 16384;
    const std::size_t n_chunks = (n + kParseChunk - 1) / kParseChunk;
    std::vector<Purchase> purchases(n);
    std::optional<Groups> grouped;
    pool->run_tasks(1 + n_chunks, [&](std::size_t task) {
        if (task == 0) {
            grouped.emplace(transactions);
            return;
        }
        const std::size_t begin = (task - 1) * kParseChunk, end = std::min(n, begin + kParseChunk);
        for (std::size_t i = begin; i < end; ++i) {
            const Transaction& t = transactions[i];
            const std::optional<Instant> when = t.instant ? t.instant : parse_rfc3339(t.timestamp);
            const Instant at = when.value_or(Instant{});
            purchases[i] = Purchase{at.seconds, t.amount, at.nanos, when.has_value()};
        }
    });
    const Groups& groups = *grouped;
    // Rows of every group, input order within a group (a counting sort).
    const std::size_t n_groups = groups.size();
    std::vector<std::size_t> offsets(n_groups + 1, 0);
    for (const std::uint32_t g : groups.group_of()) ++offsets[g + 1];
    for (std::size_t g = 0; g < n_groups; ++g) offsets[g + 1] += offsets[g];
    std::vector<std::uint32_t> rows(n);
    {
        std::vector<std::size_t> cursor(offsets.begin(), offsets.end() - 1);
        for (std::size_t i = 0; i < n; ++i) rows[cursor[groups.group_of()[i]]++] = static_cast<std::uint32_t>(i);
    }

    std::vector<std::optional<CustomerRecord>> records(n_groups);
    pool->parallel_for(n_groups, 256, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const std::span<const std::uint32_t> group_rows(rows.data() + offsets[g], offsets[g + 1] - offsets[g]);
            records[g] = score_customer(groups.key(g), group_rows, purchases, config, now);
        }
    });
    CustomerList out;
    out.scores.reserve(n_groups);
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (!records[g]) continue;
        out.scores.push_back(std::move(records[g]->record));
        out.first.push_back(rows[offsets[g]]);
        out.last.push_back(records[g]->last);
    }
    if (report) {
        *report = RfmInputReport{};
        report->customers_left_out = n_groups - out.scores.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (!purchases[i].parsed) {
                if (report->unparsed++ == 0) report->first_unparsed = i;
            } else if (std::isnan(purchases[i].amount) && report->nan_amounts++ == 0) {
                report->first_nan_amount = i;
            }
        }
    }
    return out;
}

// Moves the records into `order`.
template <class T>
std::vector<T> moved_into(std::vector<T>& values, const std::vector<std::uint32_t>& order) {
    std::vector<T> out;
    out.reserve(order.size());
    for (const std::uint32_t i : order) out.push_back(std::move(values[i]));
    return out;
}

}  // namespace

std::vector<RFMScore> calculate_rfm_at(std::span<const Transaction> transactions, const RFMConfig& config,
                                       std::optional<std::int32_t> n_jobs, Instant now, RfmInputReport* report) {
    if (report) *report = RfmInputReport{};
    CustomerList customers = customer_values(transactions, config, n_jobs, now, report);
    std::vector<RFMScore> scores = moved_into(customers.scores, latest_first(customers.last));
    apply_scoring(scores, config.scoring_method);
    return scores;
}

std::vector<CustomerValues> rfm_partition_values(std::span<const Transaction> transactions,
                                                 std::span<const std::uint64_t> rows, const RFMConfig& config,
                                                 std::optional<std::int32_t> n_jobs, Instant now) {
    const std::size_t n = transactions.size();
    if (!rows.empty() && rows.size() != n)
        throw SegmoraError::data_validation(
            format("rows has {} entries but there are {} transactions", rows.size(), n));
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    if (!rows.empty())
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rows[a] < rows[b]; });
    std::vector<Transaction> ordered(n);
    for (std::size_t i = 0; i < n; ++i) ordered[i] = transactions[order[i]];
    CustomerList customers = customer_values(ordered, config, n_jobs, now, nullptr);
    std::vector<CustomerValues> out(customers.scores.size());
    for (std::size_t g = 0; g < out.size(); ++g) {
        out[g].record = std::move(customers.scores[g]);
        out[g].first_row = rows.empty() ? customers.first[g] : rows[order[customers.first[g]]];
        out[g].last = customers.last[g];
    }
    return out;
}

std::vector<RFMScore> score_partition_values(std::vector<CustomerValues> values, ScoringMethod method) {
    std::stable_sort(values.begin(), values.end(), [](const CustomerValues& a, const CustomerValues& b) {
        return a.last != b.last ? a.last > b.last : a.first_row < b.first_row;
    });
    StringMap<std::size_t> seen;
    std::vector<RFMScore> scores;
    scores.reserve(values.size());
    for (CustomerValues& v : values) {
        if (!seen.emplace(v.record.customer_id, scores.size()).second)
            throw SegmoraError::data_validation(
                format("customer {} appears in more than one partition", v.record.customer_id));
        scores.push_back(std::move(v.record));
    }
    apply_scoring(scores, method);
    return scores;
}

}  // namespace segmora::engine
