// Columnar RFM: customer keys, instants and amounts given as parallel columns
// (already parsed), scored and named exactly like calculate_rfm.
//
// group_texts / group_integers number the distinct keys in order of first
// appearance (a keyed hash: SipHash under the per-process key, so colliding
// keys cannot be prepared offline; the numbering never depends on it).
// rfm_columns accumulates every customer's purchases in input order (rows
// without an instant, or marked kSkippedRow in the grouping, are skipped;
// amounts, NaN included, are summed left to right from zero), leaves out the
// customers with no purchase left, takes the decay weight of the latest instant
// against `now`, then scores by position after stable sorts on recency,
// frequency and monetary (highest first, NaN last), starting from the latest
// purchase first (equal instants in first-appearance order), and names every
// customer. For the same transactions and instant the records equal
// calculate_rfm_at's, in the same order. Only the pool build can fail
// (a Clustering SegmoraError); an interrupt, polled between the phases and
// while the pool runs, unwinds as Interrupted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/rfm.hpp"

namespace segmora::engine {

// A row that belongs to no group (a transaction the caller set aside).
inline constexpr std::uint32_t kSkippedRow = std::numeric_limits<std::uint32_t>::max();

struct Grouping {
    std::vector<std::uint32_t> group_of;  // group of every row, or kSkippedRow
    std::vector<std::size_t> first_row;   // the row where each group first appears
};

class ThreadPool;

// Texts laid out Arrow-style and read in place: text i is
// data[offset(i), offset(i + 1)), with offsets of 4 or 8 bytes (any alignment).
class OffsetTexts {
public:
    OffsetTexts(const char* data, const void* offsets, bool wide_offsets, std::size_t size) noexcept
        : data_(data), offsets_(static_cast<const char*>(offsets)), wide_(wide_offsets), size_(size) {}
    std::size_t size() const noexcept { return size_; }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::int64_t begin = offset(i);
        return {data_ + begin, static_cast<std::size_t>(offset(i + 1) - begin)};
    }

private:
    std::int64_t offset(std::size_t i) const noexcept {
        if (wide_) {
            std::int64_t v;
            std::memcpy(&v, offsets_ + i * 8, 8);
            return v;
        }
        std::int32_t v;
        std::memcpy(&v, offsets_ + i * 4, 4);
        return v;
    }
    const char* data_;
    const char* offsets_;
    bool wide_;
    std::size_t size_;
};

// Throws std::length_error past 2^32 - 2 rows. With a pool, the keys are
// hashed on it first (the grouping is the same).
Grouping group_texts(std::span<const std::string_view> keys, ThreadPool* pool = nullptr);
Grouping group_texts(const OffsetTexts& keys, ThreadPool* pool = nullptr);
Grouping group_integers(std::span<const std::int64_t> keys, ThreadPool* pool = nullptr);

// Instants as integer ticks read in place (NumPy datetime64 or epoch
// seconds): a tick is `seconds_per_tick` seconds (1, 60, 3600, 86400) or
// 1/`ticks_per_second` of a second (1000, 10^6, 10^9), never both.
// `missing`, when set, marks a missing time (NaT). The caller guarantees every other
// tick names an instant with 64-bit seconds.
struct TickColumn {
    std::span<const std::int64_t> ticks;
    std::int64_t seconds_per_tick = 1;
    std::int64_t ticks_per_second = 1;
    std::optional<std::int64_t> missing = std::numeric_limits<std::int64_t>::min();

    Instant instant(std::int64_t tick) const noexcept;
};

// One row per transaction. Instants come from `ticks` when it is set, else
// from `when` (nullopt for a missing or unreadable time).
struct PurchaseColumns {
    std::span<const std::optional<Instant>> when;
    std::span<const double> amounts;
    std::optional<TickColumn> ticks = std::nullopt;
};

// Per-customer results in output order (monetary highest first, ties as
// above), one row per customer with a purchase.
struct RfmTable {
    std::vector<std::uint32_t> group;  // the customer (group number) of each output row
    std::vector<double> recency;
    std::vector<double> recency_days;  // whole days since the last purchase
    std::vector<double> frequency;
    std::vector<double> monetary;
    std::vector<std::uint32_t> recency_score;
    std::vector<std::uint32_t> frequency_score;
    std::vector<std::uint32_t> monetary_score;
    std::vector<SegmentType> segment;
};

// `first_row` of each output row is the row where that customer first appears.
struct RfmColumnsResult {
    RfmTable table;
    std::vector<std::size_t> first_row;
};

// Groups the keys and scores on one per-call pool of n_jobs workers.
RfmColumnsResult rfm_columns(std::span<const std::string_view> keys, const PurchaseColumns& rows,
                             const RFMConfig& config, std::optional<std::int32_t> n_jobs, Instant now);
RfmColumnsResult rfm_columns(const OffsetTexts& keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now);
RfmColumnsResult rfm_columns(std::span<const std::int64_t> keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now);

// Scoring of already grouped rows on `pool`.
RfmTable rfm_columns(const Grouping& groups, const PurchaseColumns& rows, const RFMConfig& config, ThreadPool& pool,
                     Instant now);

}  // namespace segmora::engine
