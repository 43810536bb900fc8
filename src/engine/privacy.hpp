// Privacy: k-anonymity over quasi-identifier columns, equal-width generalisation
// with its information loss, and an epsilon budget.
//
// Grouping: rows with equal quasi-identifier values (compared as a sequence, so
// ("ab", "c") and ("a", "bc") differ) form one group; groups are numbered in
// order of first appearance and hashed with the process's keyed hash. The
// k-anonymity, generalisation and loss functions are deterministic and never
// fail, short of 2^32 groups or rows in one group (DataValidation); grouping
// polls for interrupts between blocks of rows (Interrupted). The noise
// mechanisms live in noise.hpp; the budget keeps exact accounts (below).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>


namespace segmora::engine {

// ---- k-anonymity ----

struct QuasiIdentifierGroups {
    std::vector<std::size_t> group_of_row;    // group index of each row
    std::vector<std::uint64_t> group_sizes;   // rows per group, groups in first-appearance order
};

// Groups rows fed one at a time by their quasi-identifier values (a missing
// column is the empty string). With no quasi-identifiers every row lands in
// one group. The values are copied as they are added.
class QuasiIdentifierGrouper {
public:
    explicit QuasiIdentifierGrouper(std::size_t expected_rows = 0);
    void add_row(std::span<const std::string_view> values);
    QuasiIdentifierGroups finish() &&;

private:
    // Open addressing with linear probing over the keyed hash of the encoded
    // key. A slot holds its group's row count and the key's first bytes, so a
    // short key is found and counted with one memory access; every key is also
    // kept in `keys_` for the longer ones. Rows are looked up in small batches
    // whose slots are prefetched first, in row order.
    struct Slot {
        std::uint64_t hash = 0;
        std::uint32_t group_plus_one = 0;  // 0: empty
        std::uint32_t count = 0;
        std::uint32_t size = 0;
        char prefix[12] = {};
    };
    static constexpr std::size_t kPrefix = sizeof(Slot::prefix);
    static constexpr std::size_t kBatch = 16;

    void flush();
    Slot& find_or_insert(std::string_view key, std::uint64_t hash);
    bool same_key(const Slot& slot, std::string_view key, std::uint64_t hash) const noexcept;
    void grow();

    std::vector<std::size_t> group_of_row_;
    std::vector<Slot> slots_;
    std::size_t n_groups_ = 0;
    std::string keys_;                       // every group's key, concatenated
    std::vector<std::size_t> key_offsets_;  // where each group's key starts in keys_
    std::string pending_keys_;               // the batch's encoded keys, concatenated
    std::size_t pending_ends_[kBatch] = {};
    std::uint64_t pending_hashes_[kBatch] = {};
    std::size_t pending_ = 0;
};

// The same for `n_rows` rows given row-major (n_rows × n_quasi values).
QuasiIdentifierGroups group_rows(std::span<const std::string> values, std::size_t n_rows, std::size_t n_quasi);

struct KAnonymityResult {
    std::uint64_t k_value = 0;
    bool anonymized = true;
    std::uint64_t generalized_rows = 0;
    std::uint64_t suppressed_rows = 0;
    double information_loss = 0.0;  // suppressed share of the rows, in percent
};

KAnonymityResult check_k_anonymity(const QuasiIdentifierGroups& groups, std::uint64_t k);

// Indices of the rows in groups of at least k rows: groups in first-appearance
// order, rows within a group in input order.
std::vector<std::size_t> k_anonymous_rows(const QuasiIdentifierGroups& groups, std::uint64_t k);

// ---- generalisation ----

// Bin index of each value among `intervals` equal-width bins over [min, max]
// (NaN ignored for the range; a zero or NaN range uses width 1). The maximum
// lands in the last bin; NaN and values below the minimum land in bin 0. With
// `intervals` 0 the width is infinite and every index is 0.
std::vector<std::uint64_t> generalize_numeric(std::span<const double> data, std::uint64_t intervals);

// Root mean square of |x - bin midpoint| / range; 0.0 for empty input, unequal
// lengths or a zero range. Bin indices are not bounded by `intervals`.
double information_loss(std::span<const double> original, std::span<const std::uint64_t> generalized,
                        std::uint64_t intervals);

// ---- budget ----

// An exact sum of finite doubles: a two's complement integer in units of
// 2^-1074 (the smallest subnormal), wide enough for 2^60 summands of any size.
class ExactSum {
public:
    void add(double v) noexcept { add_scaled(v, false); }
    void subtract(double v) noexcept { add_scaled(v, true); }
    int sign() const noexcept;
    bool zero() const noexcept { return sign() == 0; }
    // The double nearest the sum (ties to even); +-inf beyond the largest double.
    double nearest() const noexcept;
    // Doubles whose exact sum is this sum, largest magnitude first (none for 0).
    std::vector<double> parts() const;

private:
    static constexpr std::size_t kLimbs = 35;
    void add_scaled(double v, bool negate) noexcept;
    std::array<std::uint64_t, kLimbs> limbs_{};  // least significant first
};

// An epsilon budget with exact accounts: what remains is epsilon minus the
// exact sum of the granted costs, so 0.1 + 0.1 + 0.1 spends a budget of 0.3
// and 0.3 + 0.3 + 0.3 + 0.1 one of 1. A cost is granted when it fits within
// the remainder up to the rounding of the decimal values behind the doubles
// (an allowance of 2^-52 (epsilon + spent + cost)); a grant that leaves no
// more than that allowance exhausts the budget. Costs that are negative, NaN
// or infinite are refused, so the budget never grows.
class PrivacyBudget {
public:
    // InvalidConfig unless epsilon is finite and > 0 and delta in [0, 1).
    PrivacyBudget(double epsilon, double delta);
    // A budget with this remainder (the parts of remaining_parts());
    // InvalidConfig for parameters the constructor refuses, DataValidation for
    // a non-finite part or a remainder outside [0, epsilon].
    static PrivacyBudget restore(double epsilon, double delta, std::span<const double> remaining_parts);

    bool consume(double cost);
    double epsilon() const noexcept { return epsilon_; }
    double delta() const noexcept { return delta_; }
    double remaining_epsilon() const noexcept { return remaining_.nearest(); }
    std::vector<double> remaining_parts() const { return remaining_.parts(); }
    bool exhausted() const noexcept { return remaining_epsilon() <= 0.0; }
    // Share of the budget spent, in percent.
    double spent_percentage() const noexcept { return (epsilon_ - remaining_epsilon()) / epsilon_ * 100.0; }

private:
    double epsilon_;
    double delta_;
    ExactSum remaining_;
};

}  // namespace segmora::engine
