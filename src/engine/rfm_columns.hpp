// Columnar RFM: customer keys, instants and amounts given as parallel columns
// (already parsed), scored and named exactly like calculate_rfm.
//
// group_texts / group_integers number the distinct keys in order of first
// appearance (a keyed hash: SipHash under the per-process key, so colliding
// keys cannot be prepared offline; the numbering never depends on it).
// rfm_columns accumulates every customer's purchases in input order (rows
// without an instant are skipped; amounts, NaN included, are summed left to
// right from zero), takes the decay weight of the latest instant against
// `now`, then scores by position after stable sorts on recency, frequency and
// monetary (highest first, NaN last), starting from first-appearance order, and
// names every customer. For the same transactions and instant the records equal
// calculate_rfm_at's, in the same order. Only the pool build can fail
// (a Clustering SegmoraError); an interrupt, polled between the phases and
// while the pool runs, unwinds as Interrupted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "engine/rfm.hpp"

namespace segmora::engine {

struct Grouping {
    std::vector<std::uint32_t> group_of;  // group of every row
    std::vector<std::size_t> first_row;   // the row where each group first appears
};

class ThreadPool;

// Throws std::length_error past 2^32 - 2 rows. With a pool, the keys are
// hashed on it first (the grouping is the same).
Grouping group_texts(std::span<const std::string_view> keys, ThreadPool* pool = nullptr);
Grouping group_integers(std::span<const std::int64_t> keys, ThreadPool* pool = nullptr);

// One row per transaction; `when` is nullopt for a missing or unreadable time.
struct PurchaseColumns {
    std::span<const std::optional<Instant>> when;
    std::span<const double> amounts;
};

// Per-customer results in output order (monetary highest first, ties as above).
struct RfmTable {
    std::vector<std::uint32_t> group;  // the customer (group number) of each output row
    std::vector<double> recency;
    std::vector<double> recency_days;  // whole days since the last purchase; NaN without one
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
RfmColumnsResult rfm_columns(std::span<const std::int64_t> keys, const PurchaseColumns& rows, const RFMConfig& config,
                             std::optional<std::int32_t> n_jobs, Instant now);

// Scoring of already grouped rows on `pool`.
RfmTable rfm_columns(const Grouping& groups, const PurchaseColumns& rows, const RFMConfig& config, ThreadPool& pool,
                     Instant now);

}  // namespace segmora::engine
