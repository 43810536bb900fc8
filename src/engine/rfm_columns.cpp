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

// Open addressing over group numbers, with the hash's high bits as a tag so
// most probes never touch the keys. `equal(group, row)` compares keys.
class GroupTable {
public:
    GroupTable() : slots_(1024) {}

    template <class Equal>
    std::uint32_t find_or_add(std::uint64_t hash, std::size_t row, Grouping& out, Equal&& equal) {
        const auto tag = static_cast<std::uint32_t>(hash >> 32);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Slot entry = slots_[slot];
            if (entry.group == 0) break;
            if (entry.tag == tag && equal(entry.group - 1)) return entry.group - 1;
        }
        if (out.first_row.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
            throw std::length_error("too many customers");
        const auto group = static_cast<std::uint32_t>(out.first_row.size());
        out.first_row.push_back(row);
        hashes_.push_back(hash);
        if (3 * hashes_.size() > 2 * slots_.size()) {
            slots_.assign(2 * slots_.size(), Slot{});
            for (std::uint32_t g = 0; g + 1 < hashes_.size(); ++g) insert(hashes_[g], g);
        }
        insert(hash, group);
        return group;
    }

    // Hints the cache about the slot a later lookup of `hash` starts at.
    void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

private:
    struct Slot {
        std::uint32_t tag = 0;
        std::uint32_t group = 0;  // group number + 1; 0 is empty
    };
    void insert(std::uint64_t hash, std::uint32_t group) noexcept {
        const std::size_t mask = slots_.size() - 1;
        std::size_t slot = hash & mask;
        while (slots_[slot].group != 0) slot = (slot + 1) & mask;
        slots_[slot] = Slot{static_cast<std::uint32_t>(hash >> 32), group + 1};
    }
    std::vector<Slot> slots_;
    std::vector<std::uint64_t> hashes_;
};

void check_rows(std::size_t n) {
    if (n > std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many transactions");
}

// Stable LSD radix sort of (key, index) pairs by key, 11 bits a pass; passes
// where every key has the same digit are skipped.
void radix_sort(std::vector<std::pair<std::uint64_t, std::uint32_t>>& items) {
    constexpr int kBits = 11;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> buffer(items.size());
    std::vector<std::size_t> count(kBuckets);
    for (int shift = 0; shift < 64; shift += kBits) {
        std::fill(count.begin(), count.end(), 0);
        for (const auto& item : items) ++count[(item.first >> shift) & (kBuckets - 1)];
        if (count[(items.front().first >> shift) & (kBuckets - 1)] == items.size()) continue;
        std::size_t sum = 0;
        for (std::size_t& c : count) sum += std::exchange(c, sum);
        for (const auto& item : items) buffer[count[(item.first >> shift) & (kBuckets - 1)]++] = item;
        items.swap(buffer);
    }
}

void score_pass(std::vector<std::uint32_t>& order, const std::vector<double>& value, std::vector<std::uint32_t>& score,
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

template <class T>
std::vector<T> permuted(const std::vector<T>& values, const std::vector<std::uint32_t>& order) {
    std::vector<T> out(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) out[i] = values[order[i]];
    return out;
}

}  // namespace

namespace {

// SipHash-1-3 of one 64-bit key under the process key, inlined for the per-row
// loop (siphash13 over the key's eight bytes gives the same value on a
// little-endian machine).
class IntegerKeyHash {
public:
    IntegerKeyHash() : key_(process_hash_key()) {}
    std::uint64_t operator()(std::uint64_t m) const noexcept {
        std::uint64_t v0 = key_.k0 ^ 0x736f6d6570736575ULL, v1 = key_.k1 ^ 0x646f72616e646f6dULL,
                      v2 = key_.k0 ^ 0x6c7967656e657261ULL, v3 = key_.k1 ^ 0x7465646279746573ULL;
        auto round = [&] {
            v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
            v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
            v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
            v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
        };
        v3 ^= m; round(); v0 ^= m;
        const std::uint64_t last = std::uint64_t{8} << 56;
        v3 ^= last; round(); v0 ^= last;
        v2 ^= 0xff;
        round(); round(); round();
        return v0 ^ v1 ^ v2 ^ v3;
    }

private:
    HashKey key_;
};

// The keyed hash of every key, computed on the pool when there is one.
template <class Key, class Hash>
std::vector<std::uint64_t> hash_all(std::span<const Key> keys, const Hash& hash, ThreadPool* pool) {
    std::vector<std::uint64_t> out(keys.size());
    auto body = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if constexpr (std::is_same_v<Key, std::int64_t>) out[i] = hash(static_cast<std::uint64_t>(keys[i]));
            else out[i] = hash(keys[i]);
        }
    };
    if (pool) pool->parallel_for(keys.size(), 16384, body);
    else body(0, keys.size());
    return out;
}

// The distinct keys by group number. Texts are copied into one compact buffer,
// so comparing against a group's key touches memory near the other keys
// rather than a random place in the caller's column.
template <class Key>
class GroupKeys {
public:
    void add(const Key& key) { keys_.push_back(key); }
    bool equal(std::uint32_t g, const Key& key) const { return keys_[g] == key; }

private:
    std::vector<Key> keys_;
};

template <>
class GroupKeys<std::string_view> {
public:
    void add(std::string_view key) {
        text_.append(key);
        end_.push_back(text_.size());
    }
    bool equal(std::uint32_t g, std::string_view key) const {
        const std::size_t begin = g == 0 ? 0 : end_[g - 1];
        return end_[g] - begin == key.size() && std::memcmp(text_.data() + begin, key.data(), key.size()) == 0;
    }

private:
    std::string text_;
    std::vector<std::size_t> end_;
};

// The shard of a hash: its bits 32..63 scaled to [0, n_shards) (no division).
inline std::size_t shard_of(std::uint64_t hash, std::size_t n_shards) noexcept {
    return static_cast<std::size_t>(((hash >> 32) * n_shards) >> 32);
}

// Groups the rows whose hash falls in `shard` of `n_shards`, in input order:
// each such row's group number within the shard, and the rows where the
// shard's groups first appear.
template <class Key>
std::vector<std::size_t> group_shard(std::span<const Key> keys, const std::vector<std::uint64_t>& hashes,
                                     std::size_t shard, std::size_t n_shards, std::vector<std::uint32_t>& local_of) {
    Grouping local;
    GroupTable table;
    GroupKeys<Key> group_keys;
    constexpr std::size_t kAhead = 16;  // rows whose slots are fetched ahead of use
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (i + kAhead < keys.size()) table.prefetch(hashes[i + kAhead]);
        if (n_shards > 1 && shard_of(hashes[i], n_shards) != shard) continue;
        const Key& key = keys[i];
        const std::size_t before = local.first_row.size();
        local_of[i] = table.find_or_add(hashes[i], i, local, [&](std::uint32_t g) { return group_keys.equal(g, key); });
        if (local.first_row.size() != before) group_keys.add(key);
    }
    return std::move(local.first_row);
}

// First-appearance grouping. With a pool of several workers the rows are split
// by hash into one shard per worker, grouped side by side, and the shards'
// groups then numbered in order of their first rows: the same numbering as one
// sequential pass.
template <class Key, class Hash>
Grouping group_keys(std::span<const Key> keys, const Hash& hash, ThreadPool* pool) {
    check_rows(keys.size());
    const std::size_t n = keys.size();
    const std::vector<std::uint64_t> hashes = hash_all(keys, hash, pool);
    Grouping out;
    out.group_of.resize(n);
    const std::size_t n_shards = pool && n >= 65536 ? std::min<std::size_t>(pool->size(), 16) : 1;
    if (n_shards == 1) {
        out.first_row = group_shard(keys, hashes, 0, 1, out.group_of);
        return out;
    }
    std::vector<std::vector<std::size_t>> firsts(n_shards);
    pool->run_tasks(n_shards, [&](std::size_t shard) { firsts[shard] = group_shard(keys, hashes, shard, n_shards, out.group_of); });
    // Global numbers in order of first appearance: walk each shard's first rows
    // (already ascending) in a merge by row.
    std::vector<std::vector<std::uint32_t>> global(n_shards);
    std::size_t total = 0;
    for (std::size_t s = 0; s < n_shards; ++s) {
        global[s].resize(firsts[s].size());
        total += firsts[s].size();
    }
    if (total >= std::numeric_limits<std::uint32_t>::max() - 1) throw std::length_error("too many customers");
    out.first_row.reserve(total);
    std::vector<std::size_t> next(n_shards, 0);
    for (std::size_t g = 0; g < total; ++g) {
        std::size_t best = n_shards;
        for (std::size_t s = 0; s < n_shards; ++s)
            if (next[s] < firsts[s].size() && (best == n_shards || firsts[s][next[s]] < firsts[best][next[best]])) best = s;
        global[best][next[best]] = static_cast<std::uint32_t>(g);
        out.first_row.push_back(firsts[best][next[best]++]);
    }
    pool->parallel_for(n, 16384, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out.group_of[i] = global[shard_of(hashes[i], n_shards)][out.group_of[i]];
    });
    return out;
}

}  // namespace

Grouping group_texts(std::span<const std::string_view> keys, ThreadPool* pool) {
    return group_keys(keys, KeyedStringHash{}, pool);
}

Grouping group_integers(std::span<const std::int64_t> keys, ThreadPool* pool) {
    return group_keys(keys, IntegerKeyHash{}, pool);
}

RfmColumnsResult rfm_columns(std::span<const std::string_view> keys, const PurchaseColumns& rows,
                             const RFMConfig& config, std::optional<std::int32_t> n_jobs, Instant now) {
    if (keys.empty()) return {};
    const auto pool = build_thread_pool(n_jobs.value_or(-1));
    Grouping groups = group_texts(keys, pool.get());
    poll_interrupt();
    RfmTable table = rfm_columns(groups, rows, config, *pool, now);
    std::vector<std::size_t> first(table.group.size());
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = groups.first_row[table.group[i]];
    return {std::move(table), std::move(first)};
}

RfmColumnsResult rfm_columns(std::span<const std::int64_t> keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now) {
    if (keys.empty()) return {};
    const auto pool = build_thread_pool(n_jobs.value_or(-1));
    Grouping groups = group_integers(keys, pool.get());
    poll_interrupt();
    RfmTable table = rfm_columns(groups, rows, config, *pool, now);
    std::vector<std::size_t> first(table.group.size());
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = groups.first_row[table.group[i]];
    return {std::move(table), std::move(first)};
}

RfmTable rfm_columns(const Grouping& groups, const PurchaseColumns& rows, const RFMConfig& config, ThreadPool& pool,
                     Instant now) {
    const std::size_t n_groups = groups.first_row.size();
    RfmTable t;
    if (n_groups == 0) return t;

    // One pass in input order: every customer's sum runs over its rows in order.
    struct Running {
        Instant last;
        double monetary = 0.0;
        std::uint64_t count = 0;
    };
    std::vector<Running> running(n_groups);  // one cache line a customer, not three
    const std::size_t n_rows = groups.group_of.size();
    for (std::size_t i = 0; i < n_rows; ++i) {
        if (i + 16 < n_rows) __builtin_prefetch(&running[groups.group_of[i + 16]]);
        const std::optional<Instant>& when = rows.when[i];
        if (!when) continue;
        Running& r = running[groups.group_of[i]];
        if (r.count == 0 || *when > r.last) r.last = *when;
        ++r.count;
        r.monetary += rows.amounts[i];
    }
    std::vector<std::uint64_t> count(n_groups);
    std::vector<double> monetary(n_groups);
    std::vector<Instant> last(n_groups);
    for (std::size_t g = 0; g < n_groups; ++g) {
        count[g] = running[g].count;
        monetary[g] = running[g].monetary;
        last[g] = running[g].last;
    }
    std::vector<double> recency(n_groups, 0.0), days(n_groups, std::numeric_limits<double>::quiet_NaN()),
        frequency(n_groups, 0.0);
    pool.parallel_for(n_groups, 4096, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            if (count[g] == 0) {
                monetary[g] = 0.0;
                continue;
            }
            frequency[g] = static_cast<double>(count[g]);
            days[g] = static_cast<double>(whole_days_between(last[g], now));
            recency[g] = decay_weight(config.decay_function, days[g], config.decay_half_life_days);
        }
    });

    std::vector<std::uint32_t> order(n_groups);
    for (std::size_t g = 0; g < n_groups; ++g) order[g] = static_cast<std::uint32_t>(g);
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
    t.segment.resize(n_groups);
    for (std::size_t i = 0; i < n_groups; ++i)
        t.segment[i] = segment_for_scores(t.recency_score[i], t.frequency_score[i], t.monetary_score[i]);
    return t;
}

}  // namespace segmora::engine
