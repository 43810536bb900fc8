#include "engine/rfm_columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"

namespace segmora::engine {

namespace {

void check_rows(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many transactions");
}

template <class T>
std::vector<T> permuted(const std::vector<T>& values, const std::vector<std::uint32_t>& order) {
    std::vector<T> out(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) out[i] = values[order[i]];
    return out;
}

}  // namespace

namespace {

// SipHash-1-3 of a key (a text, or an integer's eight bytes) under the
// process key, read once for the whole column.
class KeyHash {
public:
    KeyHash() : key_(process_hash_key()) {}
    std::uint64_t operator()(std::string_view s) const noexcept { return siphash13(key_.k0, key_.k1, s.data(), s.size()); }
    std::uint64_t operator()(std::int64_t v) const noexcept { return siphash13(key_.k0, key_.k1, &v, sizeof v); }

private:
    HashKey key_;
};

template <class Keys>
using KeyOf = std::decay_t<decltype(std::declval<const Keys&>()[0])>;

// memcmp(a, b, n) == 0, inline for the short texts ids mostly are.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    auto load8 = [](const char* p) { std::uint64_t v; std::memcpy(&v, p, 8); return v; };
    if (n > 16) return std::memcmp(a, b, n) == 0;
    if (n >= 8) return load8(a) == load8(b) && load8(a + n - 8) == load8(b + n - 8);
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// What a table slot keeps of a key: its first eight bytes (zero-padded) and
// its length, so keys of up to eight bytes (and integers) are compared
// without leaving the slot.
struct KeyHead {
    std::uint64_t head;
    std::uint32_t length;
};

inline KeyHead head_of(std::int64_t key) noexcept { return {static_cast<std::uint64_t>(key), 8}; }

inline KeyHead head_of(std::string_view key) noexcept {
    std::uint64_t head = 0;
    if (!key.empty()) std::memcpy(&head, key.data(), std::min<std::size_t>(key.size(), 8));
    return {head, static_cast<std::uint32_t>(std::min<std::size_t>(key.size(), 0xff))};
}

// Whether the head (and length) alone decide equality.
inline bool head_decides(std::int64_t) noexcept { return true; }
inline bool head_decides(std::string_view key) noexcept { return key.size() <= 8; }

inline bool same_tail(std::int64_t, std::int64_t) noexcept { return true; }
inline bool same_tail(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_bytes(a.data() + 8, b.data() + 8, a.size() - 8);
}

// Open addressing over group numbers. A slot holds a tag (24 hash bits and
// the key length) and the key's head, so most probes and most matches never
// touch the keys; longer keys are checked against the group's first row.
template <class Keys>
class GroupTable {
public:
    GroupTable(const Keys& keys, std::size_t expected) : keys_(keys) {
        std::size_t size = 1024;
        while (2 * size < 3 * expected) size *= 2;
        slots_.resize(size);
    }

    // The group of `key` (from row `row`), numbered in order of first call.
    std::uint32_t find_or_add(std::uint64_t hash, std::size_t row, KeyOf<Keys> key) {
        const KeyHead head = head_of(key);
        const std::uint32_t tag = (static_cast<std::uint32_t>(hash >> 32) & ~0xffu) | head.length;
        if (const std::uint32_t found = find(hash, tag, head.head, key); found != kAbsent) return found;
        if (first_row.size() >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many customers");
        const auto group = static_cast<std::uint32_t>(first_row.size());
        first_row.push_back(row);
        hashes.push_back(hash);
        heads_.push_back(Slot{tag, group + 1, head.head});
        if (3 * first_row.size() > 2 * slots_.size()) {
            slots_.assign(2 * slots_.size(), Slot{});
            for (std::uint32_t g = 0; g + 1 < first_row.size(); ++g) insert(hashes[g], heads_[g]);
        }
        insert(hash, heads_.back());
        return group;
    }

    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

    static constexpr std::uint32_t kAbsent = std::numeric_limits<std::uint32_t>::max();

    // The group of `key`, or kAbsent; never changes the table.
    std::uint32_t find(std::uint64_t hash, KeyOf<Keys> key) const {
        const KeyHead head = head_of(key);
        return find(hash, (static_cast<std::uint32_t>(hash >> 32) & ~0xffu) | head.length, head.head, key);
    }

    std::vector<std::size_t> first_row;  // the row where each group first appears
    std::vector<std::uint64_t> hashes;   // each group's hash

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t group = 0;  // group number + 1; 0 is empty
        std::uint64_t head = 0;
    };
    std::uint32_t find(std::uint64_t hash, std::uint32_t tag, std::uint64_t head, KeyOf<Keys> key) const {
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Slot& entry = slots_[slot];
            if (entry.group == 0) return kAbsent;
            if (entry.tag == tag && entry.head == head &&
                (head_decides(key) || same_tail(key, keys_[first_row[entry.group - 1]])))
                return entry.group - 1;
        }
    }
    void insert(std::uint64_t hash, const Slot& entry) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = hash & mask;
        while (slots_[slot].group != 0) slot = (slot + 1) & mask;
        slots_[slot] = entry;
    }
    const Keys& keys_;
    std::vector<Slot> slots_;
    std::vector<Slot> heads_;  // each group's slot, for growing
};

// Groups rows [begin, end) in order, writing each row's group number (local
// to this range) to group_of.
template <class Keys>
void group_range(const Keys& keys, const KeyHash& hash, std::size_t begin, std::size_t end, GroupTable<Keys>& table,
                 std::vector<std::uint32_t>& group_of) {
    constexpr std::size_t kBlock = 64;  // hashes computed a block ahead, so slots can be fetched before use
    std::uint64_t block[kBlock];
    for (std::size_t start = begin; start < end; start += kBlock) {
        const std::size_t stop = std::min(end, start + kBlock);
        for (std::size_t i = start; i < stop; ++i) {
            block[i - start] = hash(keys[i]);
            table.prefetch(block[i - start]);
        }
        for (std::size_t i = start; i < stop; ++i) group_of[i] = table.find_or_add(block[i - start], i, keys[i]);
    }
}

// First-appearance grouping. With a pool of several workers the rows are cut
// into one contiguous range per worker, each grouped on its own; the ranges'
// groups are then numbered in range order (a range's new groups in the order
// they appear there), which is the numbering of one sequential pass.
template <class Keys>
Grouping group_keys(const Keys& keys, ThreadPool* pool) {
    const KeyHash hash;
    check_rows(keys.size());
    const std::size_t n = keys.size();
    Grouping out;
    out.group_of.resize(n);
    const std::size_t n_ranges = pool && n >= 65536 ? std::min<std::size_t>(pool->size(), 16) : 1;
    const std::size_t expected = std::min<std::size_t>(n / n_ranges, 1 << 16);
    std::vector<GroupTable<Keys>> tables;
    tables.reserve(n_ranges);
    for (std::size_t r = 0; r < n_ranges; ++r) tables.emplace_back(keys, expected);
    auto range = [&](std::size_t r) { return std::pair{r * n / n_ranges, (r + 1) * n / n_ranges}; };
    if (n_ranges == 1) {
        group_range(keys, hash, 0, n, tables[0], out.group_of);
        out.first_row = std::move(tables[0].first_row);
        return out;
    }
    pool->run_tasks(n_ranges, [&](std::size_t r) {
        const auto [begin, end] = range(r);
        group_range(keys, hash, begin, end, tables[r], out.group_of);
    });
    poll_interrupt();
    // The first range's numbers stand; every later range's groups are looked
    // up in its table (side by side), then those it lacks are added in their
    // local order.
    GroupTable<Keys>& global = tables[0];
    std::vector<std::vector<std::uint32_t>> renumber(n_ranges);
    for (std::size_t r = 1; r < n_ranges; ++r) {
        const GroupTable<Keys>& local = tables[r];
        std::vector<std::uint32_t>& number = renumber[r];
        number.resize(local.first_row.size());
        pool->parallel_for(number.size(), 8192, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) {
                if (g + 8 < end) global.prefetch(local.hashes[g + 8]);
                number[g] = global.find(local.hashes[g], keys[local.first_row[g]]);
            }
        });
        for (std::size_t g = 0; g < number.size(); ++g) {
            if (number[g] != GroupTable<Keys>::kAbsent) continue;
            const std::size_t row = local.first_row[g];
            number[g] = global.find_or_add(local.hashes[g], row, keys[row]);
        }
    }
    pool->run_tasks(n_ranges - 1, [&](std::size_t task) {
        const std::size_t r = task + 1;
        const auto [begin, end] = range(r);
        for (std::size_t i = begin; i < end; ++i) out.group_of[i] = renumber[r][out.group_of[i]];
    });
    out.first_row = std::move(global.first_row);
    return out;
}

}  // namespace

Grouping group_texts(std::span<const std::string_view> keys, ThreadPool* pool) {
    return group_keys(keys, pool);
}

Grouping group_texts(const OffsetTexts& keys, ThreadPool* pool) { return group_keys(keys, pool); }

Grouping group_integers(std::span<const std::int64_t> keys, ThreadPool* pool) {
    return group_keys(keys, pool);
}

Instant TickColumn::instant(std::int64_t tick) const noexcept {
    if (ticks_per_second == 1) return {tick * seconds_per_tick, 0};
    std::int64_t s = tick / ticks_per_second, r = tick % ticks_per_second;
    if (r < 0) --s, r += ticks_per_second;
    return {s, static_cast<std::uint32_t>(r * (1'000'000'000 / ticks_per_second))};
}

namespace {

template <class Keys>
RfmColumnsResult rfm_columns_of(const Keys& keys, const PurchaseColumns& rows, const RFMConfig& config,
                                std::optional<std::int32_t> n_jobs, Instant now) {
    if (keys.size() == 0) return {};
    const auto pool = build_thread_pool(n_jobs.value_or(-1));
    const Grouping groups = group_keys(keys, pool.get());
    poll_interrupt();
    RfmTable table = rfm_columns(groups, rows, config, *pool, now);
    std::vector<std::size_t> first(table.group.size());
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = groups.first_row[table.group[i]];
    return {std::move(table), std::move(first)};
}

}  // namespace

RfmColumnsResult rfm_columns(std::span<const std::string_view> keys, const PurchaseColumns& rows,
                             const RFMConfig& config, std::optional<std::int32_t> n_jobs, Instant now) {
    return rfm_columns_of(keys, rows, config, n_jobs, now);
}

RfmColumnsResult rfm_columns(const OffsetTexts& keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now) {
    return rfm_columns_of(keys, rows, config, n_jobs, now);
}

RfmColumnsResult rfm_columns(std::span<const std::int64_t> keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now) {
    return rfm_columns_of(keys, rows, config, n_jobs, now);
}

RfmTable rfm_columns(const Grouping& groups, const PurchaseColumns& rows, const RFMConfig& config, ThreadPool& pool,
                     Instant now) {
    const std::size_t n_groups = groups.first_row.size();
    RfmTable t;
    if (n_groups == 0) return t;

    // One pass in input order: every customer's sum runs over its rows in order.
    std::vector<std::uint64_t> count(n_groups);
    std::vector<double> monetary(n_groups);
    std::vector<Instant> last(n_groups);
    auto accumulate = [&]<class Time>(auto&& time_of) {
        struct Running {
            Time last;
            double monetary = 0.0;
            std::uint64_t count = 0;
        };
        std::vector<Running> running(n_groups);  // one cache line a customer, not three
        const std::size_t n_rows = groups.group_of.size();
        for (std::size_t i = 0; i < n_rows; ++i) {
            if (i + 16 < n_rows) {
                if (const std::uint32_t ahead = groups.group_of[i + 16]; ahead != kSkippedRow) __builtin_prefetch(&running[ahead]);
            }
            const std::uint32_t g = groups.group_of[i];
            if (g == kSkippedRow) continue;
            const std::optional<Time> when = time_of(i);
            if (!when) continue;
            Running& r = running[g];
            if (r.count == 0 || *when > r.last) r.last = *when;
            ++r.count;
            r.monetary += rows.amounts[i];
        }
        for (std::size_t g = 0; g < n_groups; ++g) {
            count[g] = running[g].count;
            monetary[g] = running[g].monetary;
            if constexpr (std::is_same_v<Time, Instant>) last[g] = running[g].last;
            else if (count[g] != 0) last[g] = rows.ticks->instant(running[g].last);
        }
    };
    if (rows.ticks) {
        // Ticks order like the instants they name: the latest one is converted per customer.
        const TickColumn& ticks = *rows.ticks;
        const bool may_miss = ticks.missing.has_value();
        const std::int64_t missing = ticks.missing.value_or(0);
        accumulate.template operator()<std::int64_t>([&](std::size_t i) -> std::optional<std::int64_t> {
            const std::int64_t t = ticks.ticks[i];
            if (may_miss && t == missing) return std::nullopt;
            return t;
        });
    } else {
        accumulate.template operator()<Instant>([&](std::size_t i) { return rows.when[i]; });
    }

    // Customers with a purchase, latest purchase first, equal instants in group order.
    std::vector<std::uint32_t> kept;
    std::vector<Instant> kept_last;
    kept.reserve(n_groups);
    kept_last.reserve(n_groups);
    for (std::size_t g = 0; g < n_groups; ++g) {
        if (count[g] == 0) continue;
        kept.push_back(static_cast<std::uint32_t>(g));
        kept_last.push_back(last[g]);
    }
    std::vector<std::uint32_t> order = latest_first(kept_last);
    for (std::uint32_t& i : order) i = kept[i];

    std::vector<double> recency(n_groups, 0.0), days(n_groups, std::numeric_limits<double>::quiet_NaN()),
        frequency(n_groups, 0.0);
    pool.parallel_for(n_groups, 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            if (count[g] == 0) continue;
            frequency[g] = static_cast<double>(count[g]);
            days[g] = static_cast<double>(whole_days_between(last[g], now));
            recency[g] = decay_weight(config.decay_function, days[g], config.decay_half_life_days);
        }
    });

    const std::size_t n_kept = order.size();
    std::vector<std::uint32_t> r(n_groups), f(n_groups), m(n_groups);
    score_pass(order, recency, r, config.scoring_method);
    score_pass(order, frequency, f, config.scoring_method);
    score_pass(order, monetary, m, config.scoring_method);

    t.group = order;
    t.recency = permuted(recency, order);
    t.recency_days = permuted(days, order);
    t.frequency = permuted(frequency, order);
    t.monetary = permuted(monetary, order);
    t.recency_score = permuted(r, order);
    t.frequency_score = permuted(f, order);
    t.monetary_score = permuted(m, order);
    t.segment.resize(n_kept);
    for (std::size_t i = 0; i < n_kept; ++i)
        t.segment[i] = segment_for_scores(t.recency_score[i], t.frequency_score[i], t.monetary_score[i]);
    return t;
}

}  // namespace segmora::engine
