// RFM analysis: the segment vocabulary, the naming rule, and transactions to
// scored, named customer records.
//
// Thirteen segment types, each with a display name (the text shown wherever a
// segment appears: RFM records, SQL export, reprs) and a one-line description.
// segment_for_scores(r, f, m) names a scored record: a score is high when it is
// greater than 3, whatever the scoring scale.
//
// calculate_rfm groups transactions by customer (groups in order of first
// appearance) while the per-call pool parses the timestamps, computes each
// customer's decayed recency, frequency and monetary value on the pool
// (per-customer slots and sums in input order, so the result never depends on
// n_jobs), then, on the calling thread, puts the customers latest purchase
// first (equal instants in order of first appearance), scores by position
// after stable sorts (recency, frequency, monetary; highest first) and names
// every record. So customers whose decayed recency ties (every customer past
// three half-lives under linear decay) are ranked by their real recency, never
// by input order. Timestamps are RFC 3339 text or instants; a text that does
// not parse drops its transaction, and a customer with no usable transaction
// is left out of the result (both counted in the optional report). Sorts place
// NaN after every number, NaNs keeping their relative order. Only the pool
// build can fail (a Clustering SegmoraError), short of more than 2^32 - 1
// transactions (std::length_error: row numbers are 32-bit).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace segmora::engine {

enum class SegmentType {
    Champions,
    LoyalCustomers,
    PotentialLoyalists,
    AtRisk,
    CannotLose,
    VIP,
    NewCustomers,
    NeedAttention,
    AboutToSleep,
    AtRiskSleeping,
    Promising,
    Lost,
    Hibernating,
};

constexpr std::size_t kSegmentTypeCount = 13;

struct SegmentInfo {
    SegmentType type;
    std::string_view display_name;
    std::string_view description;
};

// All thirteen types in declaration order.
const std::array<SegmentInfo, kSegmentTypeCount>& segment_types() noexcept;

std::string_view display_name(SegmentType type) noexcept;
std::string_view description(SegmentType type) noexcept;

// The segment of a record with recency, frequency and monetary scores r, f, m.
SegmentType segment_for_scores(std::uint32_t r, std::uint32_t f, std::uint32_t m) noexcept;

// ---- RFM computation ----

enum class DecayFunction { Linear = 0, Exponential = 1, Inverse = 2 };
enum class ScoringMethod { Quintile = 0, Decile = 1, Percentile = 2 };

// "linear", "exponential", "inverse".
std::string_view decay_name(DecayFunction decay) noexcept;

struct RFMConfig {
    std::uint32_t recency_window_days = 90;  // stored only
    std::uint64_t frequency_threshold = 1;   // stored only
    double monetary_threshold = 0.0;         // stored only
    DecayFunction decay_function = DecayFunction::Linear;
    std::uint32_t decay_half_life_days = 30;  // h of the decay formulas
    ScoringMethod scoring_method = ScoringMethod::Quintile;
};

// An instant: whole seconds since the Unix epoch (UTC) and nanoseconds 0..1e9-1.
struct Instant {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;
    friend auto operator<=>(const Instant&, const Instant&) = default;
};

// One purchase. The texts are views the caller keeps alive for the call.
struct Transaction {
    std::string_view customer_id;
    std::string_view timestamp;  // RFC 3339, read when `instant` is not set
    double amount = 0.0;
    std::optional<Instant> instant = std::nullopt;  // a time already read (from a date-time object)
};

// What calculate_rfm dropped or could not sum: transactions whose time did not
// parse, NaN amounts among the transactions that count (each with the index
// of the first), and customers left out for want of a usable transaction.
struct RfmInputReport {
    std::size_t unparsed = 0;
    std::size_t first_unparsed = 0;
    std::size_t nan_amounts = 0;
    std::size_t first_nan_amount = 0;
    std::size_t customers_left_out = 0;
};

// One customer's record. Scores are 0 and the segment empty until scored.
struct RFMScore {
    std::string customer_id;
    std::string segment;
    double recency = 0.0;    // decay weight of the last purchase
    double frequency = 0.0;  // transactions whose timestamp parsed
    double monetary = 0.0;   // sum of their amounts, in input order
    std::uint32_t recency_score = 0;
    std::uint32_t frequency_score = 0;
    std::uint32_t monetary_score = 0;
};

Instant to_instant(std::chrono::system_clock::time_point t) noexcept;

// Strict RFC 3339 date-time: YYYY-MM-DD, 'T' / 't' / ' ', hh:mm:ss, optional
// '.' and one or more fraction digits (nanoseconds kept), then 'Z' / 'z' or
// +hh:mm / -hh:mm. Out-of-range fields (month 13, Feb 30, hour 24, offset
// hour 24) fail; a seconds value of 60 (leap second) reads as the next
// second. Returns the instant in UTC, or nullopt.
std::optional<Instant> parse_rfc3339(std::string_view text) noexcept;

// Whole days from `last` to `now`, truncated toward zero (negative when `last`
// is later than `now`).
std::int64_t whole_days_between(Instant last, Instant now) noexcept;

// The decay weight of a purchase `days` old with half-life `half_life_days`.
double decay_weight(DecayFunction decay, double days, std::uint32_t half_life_days) noexcept;

// A key whose ascending order is the values' descending order with NaN after
// every number; equal values (0.0 and -0.0 too) and all NaNs share a key, so
// a stable sort on it keeps them in their current order. Comparing keys is a
// strict weak ordering, which comparing doubles with NaN is not.
std::uint64_t descending_key(double v) noexcept;

// The score at `position` of `n` records sorted highest first.
std::uint32_t position_score(std::size_t position, std::size_t n, ScoringMethod method) noexcept;

// The positions 0 .. n-1 ordered latest instant first, equal instants keeping
// their order (a stable radix sort). n must be below 2^32.
std::vector<std::uint32_t> latest_first(std::span<const Instant> last);

// One scoring pass: `order` (indices into `value`, fewer than 2^32) sorted
// stably by value, highest first, NaN last (a radix sort on descending_key),
// and score[i] set from the position of i.
void score_pass(std::vector<std::uint32_t>& order, std::span<const double> value, std::span<std::uint32_t> score,
                ScoringMethod method);

// Stable sort of the records by one dimension, highest first, NaN last, then
// that dimension's score by position.
void score_dimension(std::vector<RFMScore>& scores, double RFMScore::*value, std::uint32_t RFMScore::*score,
                     ScoringMethod method);

// Recency, frequency, then monetary passes; then names every record.
void apply_scoring(std::vector<RFMScore>& scores, ScoringMethod method);

// The whole computation with "now" read once from the system clock. An empty
// input returns at once (no clock read, no pool). `report`, when given, is
// filled in.
std::vector<RFMScore> calculate_rfm(std::span<const Transaction> transactions, const RFMConfig& config,
                                    std::optional<std::int32_t> n_jobs, RfmInputReport* report = nullptr);

// The same with a given reference instant.
std::vector<RFMScore> calculate_rfm_at(std::span<const Transaction> transactions, const RFMConfig& config,
                                       std::optional<std::int32_t> n_jobs, Instant now,
                                       RfmInputReport* report = nullptr);

// ---- RFM over partitions of customers ----
//
// Each partition holds every transaction of its customers. rfm_partition_values
// computes the unscored records of one partition with the instant `now`;
// score_partition_values gathers the partitions' records, puts them latest
// purchase first (equal instants in the order of their customers' first
// transactions) and scores and names them, giving exactly calculate_rfm_at's
// records for the whole input.

// A customer's unscored record, the position of its first transaction in the
// whole input and the instant of its latest purchase.
struct CustomerValues {
    RFMScore record;
    std::uint64_t first_row = 0;
    Instant last;
};

// `rows` gives each transaction's position in the whole input (empty: 0, 1, ...);
// transactions are taken in that order, ties keeping their order here.
// Records come in order of first appearance; customers without a parsed
// transaction are left out. Errors: `rows` of another length than
// `transactions` (DataValidation), a pool failure (Clustering).
std::vector<CustomerValues> rfm_partition_values(std::span<const Transaction> transactions,
                                                 std::span<const std::uint64_t> rows, const RFMConfig& config,
                                                 std::optional<std::int32_t> n_jobs, Instant now);

// Sort by latest purchase (latest first), then first_row, then apply_scoring. A customer id met twice (a
// customer split across partitions) is a DataValidation error.
std::vector<RFMScore> score_partition_values(std::vector<CustomerValues> values, ScoringMethod method);

}  // namespace segmora::engine
