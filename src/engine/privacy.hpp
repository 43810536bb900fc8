// Privacy: k-anonymity over quasi-identifier columns, equal-width generalisation
// with its information loss, Laplace and Gaussian noise, and an epsilon budget.
//
// Grouping: rows with equal quasi-identifier values (compared as a sequence, so
// ("ab", "c") and ("a", "bc") differ) form one group; groups are numbered in
// order of first appearance and hashed with the process's keyed hash. The
// k-anonymity, generalisation and loss functions are deterministic and never
// fail, short of 2^32 groups or rows in one group (DataValidation); grouping
// polls for interrupts between blocks of rows (Interrupted). The noise functions validate their parameters first
// (SegmoraError InvalidConfig naming the parameter and its value) and then draw
// from a NoiseSource; outputs are clamped at zero, a NaN becoming 0.0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/random.hpp"

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

// ---- differential-privacy noise ----

// A ChaCha12 stream keyed from the operating system's entropy (getrandom,
// falling back to std::random_device), rekeyed after every kReseedWords words
// and whenever the process id differs from the one it was keyed in, so a
// forked child never replays its parent's stream. Never seeded from the clock
// or a constant.
class NoiseSource {
public:
    static constexpr std::uint64_t kReseedWords = std::uint64_t{1} << 18;  // 1 MiB of output

    NoiseSource();
    // Rekeys now if the process has forked since the last keying.
    void check_fork();
    // Uniform in [2^-52, 1): a multiple of 2^-52, never 0.
    double open_unit();
    // Uniform in [0, 1): a multiple of 2^-53.
    double unit();
    // How many times the source has been keyed (1 after construction).
    std::uint64_t keyings() const noexcept { return keyings_; }

private:
    std::uint32_t next_u32();
    void rekey();

    ChaCha12Rng rng_;
    std::uint64_t words_left_ = 0;
    long pid_ = 0;
    std::uint64_t keyings_ = 0;
};

// The calling thread's own source, created on its first use.
NoiseSource& thread_noise_source();

// Laplace mechanism, in place: scale sensitivity / epsilon; each value becomes
// max(x + noise, 0). On a parameter error `values` is left untouched.
void add_laplace_noise(std::span<double> values, double epsilon, double sensitivity, NoiseSource& source);

// sqrt(2 ln(1.25 / delta)) * sensitivity / epsilon.
double gaussian_sigma(double epsilon, double delta, double sensitivity) noexcept;

// Gaussian mechanism (Box-Muller, cosine variate), in place: each value becomes
// max(x + sigma z, 0). On a parameter error `values` is left untouched.
void add_gaussian_noise(std::span<double> values, double epsilon, double delta, double sensitivity,
                        NoiseSource& source);

// ---- budget ----

struct PrivacyBudget {
    double epsilon = 0.0;
    double delta = 0.0;
    double remaining_epsilon = 0.0;

    // Spends `cost` when 0 <= cost <= remaining; a negative or NaN cost, or one
    // beyond the remainder, returns false and changes nothing.
    bool consume(double cost) noexcept;
    bool exhausted() const noexcept { return remaining_epsilon <= 0.0; }
    // Share of the budget spent, in percent.
    double spent_percentage() const noexcept { return (epsilon - remaining_epsilon) / epsilon * 100.0; }
};

}  // namespace segmora::engine
