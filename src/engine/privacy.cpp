#include "engine/privacy.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <utility>

#include "engine/keyed_hash.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

// ---- k-anonymity ----

namespace {

// Appends one value as its length (7 bits per byte, high bit set on all but
// the last) then its bytes, so that a sequence of values encodes unambiguously.
void append_field(std::string& key, std::string_view value) {
    std::uint64_t size = value.size();
    while (size >= 0x80) {
        key.push_back(static_cast<char>((size & 0x7f) | 0x80));
        size >>= 7;
    }
    key.push_back(static_cast<char>(size));
    key.append(value);
}

}  // namespace

QuasiIdentifierGrouper::QuasiIdentifierGrouper(std::size_t expected_rows) : slots_(64) {
    group_of_row_.reserve(expected_rows);
}

void QuasiIdentifierGrouper::add_row(std::span<const std::string_view> values) {
    const std::size_t begin = pending_keys_.size();
    for (std::string_view v : values) append_field(pending_keys_, v);
    const HashKey& k = process_hash_key();
    const std::uint64_t hash = siphash13(k.k0, k.k1, pending_keys_.data() + begin, pending_keys_.size() - begin);
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
    pending_hashes_[pending_] = hash;
    pending_ends_[pending_] = pending_keys_.size();
    if (++pending_ == kBatch) flush();
}

void QuasiIdentifierGrouper::flush() {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < pending_; ++i) {
        const std::string_view key(pending_keys_.data() + begin, pending_ends_[i] - begin);
        Slot& slot = find_or_insert(key, pending_hashes_[i]);
        if (slot.count == std::numeric_limits<std::uint32_t>::max())
            throw SegmoraError::data_validation("too many rows in one quasi-identifier group");
        ++slot.count;
        group_of_row_.push_back(slot.group_plus_one - 1);
        begin = pending_ends_[i];
    }
    pending_ = 0;
    pending_keys_.clear();
}

bool QuasiIdentifierGrouper::same_key(const Slot& slot, std::string_view key, std::uint64_t hash) const noexcept {
    if (slot.hash != hash || slot.size != key.size()) return false;
    const std::size_t head = std::min(key.size(), kPrefix);
    if (std::memcmp(slot.prefix, key.data(), head) != 0) return false;
    if (key.size() <= kPrefix) return true;
    const std::size_t offset = key_offsets_[slot.group_plus_one - 1];
    return std::memcmp(keys_.data() + offset + head, key.data() + head, key.size() - head) == 0;
}

QuasiIdentifierGrouper::Slot& QuasiIdentifierGrouper::find_or_insert(std::string_view key, std::uint64_t hash) {
    std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.group_plus_one == 0) break;
        if (same_key(slot, key, hash)) return slot;
    }
    if (n_groups_ >= std::numeric_limits<std::uint32_t>::max() - 1)
        throw SegmoraError::data_validation("too many quasi-identifier groups");
    if (key.size() > std::numeric_limits<std::uint32_t>::max())
        throw SegmoraError::data_validation("quasi-identifier values too long");
    key_offsets_.push_back(keys_.size());
    keys_.append(key);
    ++n_groups_;
    if (2 * n_groups_ > slots_.size()) grow();  // load stays at most one half
    mask = slots_.size() - 1;
    std::size_t i = hash & mask;
    while (slots_[i].group_plus_one != 0) i = (i + 1) & mask;
    Slot& slot = slots_[i];
    slot.hash = hash;
    slot.group_plus_one = static_cast<std::uint32_t>(n_groups_);
    slot.size = static_cast<std::uint32_t>(key.size());
    std::memcpy(slot.prefix, key.data(), std::min(key.size(), kPrefix));
    return slot;
}

void QuasiIdentifierGrouper::grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
        if (slot.group_plus_one == 0) continue;
        std::size_t i = slot.hash & mask;
        while (slots_[i].group_plus_one != 0) i = (i + 1) & mask;
        slots_[i] = slot;
    }
}

QuasiIdentifierGroups QuasiIdentifierGrouper::finish() && {
    flush();
    QuasiIdentifierGroups out;
    out.group_of_row = std::move(group_of_row_);
    out.group_sizes.assign(n_groups_, 0);
    for (const Slot& slot : slots_)
        if (slot.group_plus_one != 0) out.group_sizes[slot.group_plus_one - 1] = slot.count;
    return out;
}

QuasiIdentifierGroups group_rows(std::span<const std::string> values, std::size_t n_rows, std::size_t n_quasi) {
    QuasiIdentifierGrouper grouper(n_rows);
    std::vector<std::string_view> row(n_quasi);
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (r % 16384 == 0) poll_interrupt();  // a long grouping can be stopped; nothing is kept
        for (std::size_t q = 0; q < n_quasi; ++q) row[q] = values[r * n_quasi + q];
        grouper.add_row(row);
    }
    return std::move(grouper).finish();
}

KAnonymityResult check_k_anonymity(const QuasiIdentifierGroups& groups, std::uint64_t k) {
    KAnonymityResult out;
    out.k_value = k;
    const std::size_t n_rows = groups.group_of_row.size();
    if (n_rows == 0) return out;
    for (std::uint64_t size : groups.group_sizes)
        if (size < k) out.suppressed_rows += size;
    out.generalized_rows = n_rows - out.suppressed_rows;
    out.anonymized = out.suppressed_rows == 0;
    out.information_loss = static_cast<double>(out.suppressed_rows) / static_cast<double>(n_rows) * 100.0;
    return out;
}

std::vector<std::size_t> k_anonymous_rows(const QuasiIdentifierGroups& groups, std::uint64_t k) {
    // A stable counting sort by group: each kept group gets a run of slots.
    const std::size_t n_groups = groups.group_sizes.size();
    std::vector<std::size_t> start(n_groups, 0);
    std::size_t kept = 0;
    for (std::size_t g = 0; g < n_groups; ++g) {
        start[g] = kept;
        if (groups.group_sizes[g] >= k) kept += groups.group_sizes[g];
    }
    std::vector<std::size_t> out(kept);
    for (std::size_t r = 0; r < groups.group_of_row.size(); ++r) {
        const std::size_t g = groups.group_of_row[r];
        if (groups.group_sizes[g] >= k) out[start[g]++] = r;
    }
    return out;
}

// ---- generalisation ----

namespace {

struct Range {
    double lo = std::numeric_limits<double>::quiet_NaN();
    double hi = std::numeric_limits<double>::quiet_NaN();
};

// Minimum and maximum ignoring NaN (both NaN when every value is NaN).
Range range_of(std::span<const double> data) noexcept {
    Range r;
    for (double x : data) {
        r.lo = std::fmin(r.lo, x);
        r.hi = std::fmax(r.hi, x);
    }
    return r;
}

// Truncates toward zero; NaN and negatives give 0, values beyond the type's range its maximum.
std::uint64_t saturating_index(double q) noexcept {
    if (!(q > 0.0)) return 0;
    if (q >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(q);
}

}  // namespace

std::vector<std::uint64_t> generalize_numeric(std::span<const double> data, std::uint64_t intervals) {
    std::vector<std::uint64_t> out(data.size(), 0);
    if (data.empty()) return out;
    const Range r = range_of(data);
    const double range = r.hi - r.lo;
    const double width = range > 0.0 ? range / static_cast<double>(intervals) : 1.0;
    if (!(width > 0.0)) return out;  // a positive range too small to split
    const std::uint64_t last = intervals - 1;  // wraps for 0 intervals, where every quotient is 0
    for (std::size_t i = 0; i < data.size(); ++i) out[i] = std::min(last, saturating_index((data[i] - r.lo) / width));
    return out;
}

double information_loss(std::span<const double> original, std::span<const std::uint64_t> generalized,
                        std::uint64_t intervals) {
    if (original.empty() || original.size() != generalized.size()) return 0.0;
    const Range r = range_of(original);
    const double range = r.hi - r.lo;
    if (range == 0.0) return 0.0;
    const double width = range / static_cast<double>(intervals);
    double sum = 0.0;
    for (std::size_t i = 0; i < original.size(); ++i) {
        const double start = r.lo + width * static_cast<double>(generalized[i]);
        const double midpoint = (start + (start + width)) * 0.5;
        const double d = std::fabs(original[i] - midpoint) / range;
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(original.size()));
}

// ---- budget ----

void ExactSum::add_scaled(double v, bool negate) noexcept {
    if (v == 0.0) return;
    if (v < 0.0) {
        v = -v;
        negate = !negate;
    }
    // v = mantissa 2^(exponent - 53) with a 53-bit mantissa; in units of 2^-1074
    // it is mantissa shifted left by exponent - 53 + 1074 (right where that is
    // negative: the bits shifted out are zero for every double).
    int exponent = 0;
    const double fraction = std::frexp(v, &exponent);
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    int position = exponent - 53 + 1074;
    if (position < 0) {
        mantissa >>= -position;
        position = 0;
    }
    const auto limb = static_cast<std::size_t>(position) / 64;
    const int bit = position % 64;
    const std::uint64_t parts[2] = {mantissa << bit, bit ? mantissa >> (64 - bit) : 0};
    if (!negate) {
        std::uint64_t carry = 0;
        for (std::size_t i = limb; i < kLimbs; ++i) {
            const std::uint64_t add = (i - limb < 2 ? parts[i - limb] : 0);
            const std::uint64_t sum = limbs_[i] + add;
            const std::uint64_t out = sum + carry;
            carry = (sum < add || out < sum) ? 1 : 0;
            limbs_[i] = out;
            if (i - limb >= 1 && carry == 0) break;
        }
    } else {
        std::uint64_t borrow = 0;
        for (std::size_t i = limb; i < kLimbs; ++i) {
            const std::uint64_t sub = (i - limb < 2 ? parts[i - limb] : 0);
            const std::uint64_t out = limbs_[i] - sub - borrow;
            borrow = (limbs_[i] < sub || (limbs_[i] == sub && borrow)) ? 1 : 0;
            limbs_[i] = out;
            if (i - limb >= 1 && borrow == 0) break;
        }
    }
}

int ExactSum::sign() const noexcept {
    if (limbs_[kLimbs - 1] >> 63) return -1;
    for (std::uint64_t limb : limbs_)
        if (limb) return 1;
    return 0;
}

double ExactSum::nearest() const noexcept {
    const int s = sign();
    if (s == 0) return 0.0;
    std::array<std::uint64_t, kLimbs> m = limbs_;
    if (s < 0) {  // two's complement negation
        std::uint64_t carry = 1;
        for (std::uint64_t& limb : m) {
            limb = ~limb + carry;
            carry = (carry && limb == 0) ? 1 : 0;
        }
    }
    std::size_t top_limb = kLimbs - 1;
    while (m[top_limb] == 0) --top_limb;
    const std::size_t top = 64 * top_limb + 63 - static_cast<std::size_t>(std::countl_zero(m[top_limb]));
    // The bits of the magnitude from `low` up to `low` + 63 (zeros past the top).
    const auto bits_at = [&](std::size_t low) -> std::uint64_t {
        const std::size_t limb = low / 64, shift = low % 64;
        std::uint64_t v = m[limb] >> shift;
        if (shift != 0 && limb + 1 < kLimbs) v |= m[limb + 1] << (64 - shift);
        return v;
    };
    double magnitude;
    if (top < 53) {
        magnitude = std::ldexp(static_cast<double>(m[0]), -1074);  // below 2^-1021: exact
    } else {
        const std::size_t low = top - 52;  // the mantissa's lowest bit
        std::uint64_t mantissa = bits_at(low) & ((std::uint64_t{1} << 53) - 1);
        const bool guard = (bits_at(low - 1) & 1) != 0;
        bool sticky = false;  // any bit below the guard bit
        const std::size_t below = low - 1;
        for (std::size_t i = 0; i < below / 64 && !sticky; ++i) sticky = m[i] != 0;
        if (!sticky && below % 64 != 0) sticky = (m[below / 64] & ((std::uint64_t{1} << (below % 64)) - 1)) != 0;
        if (guard && (sticky || (mantissa & 1))) ++mantissa;  // to nearest, ties to even
        magnitude = std::ldexp(static_cast<double>(mantissa), static_cast<int>(low) - 1074);
    }
    return s < 0 ? -magnitude : magnitude;
}

std::vector<double> ExactSum::parts() const {
    std::vector<double> out;
    ExactSum rest = *this;
    while (!rest.zero()) {
        const double part = rest.nearest();  // the rest shrinks below half an ulp of it
        out.push_back(part);
        rest.subtract(part);
    }
    return out;
}

namespace {

void require_budget_parameters(double epsilon, double delta) {
    if (!(std::isfinite(epsilon) && epsilon > 0.0))
        throw SegmoraError::invalid_config(format("epsilon must be finite and > 0, got {}", epsilon));
    if (!(delta >= 0.0 && delta < 1.0))
        throw SegmoraError::invalid_config(format("delta must be in [0, 1), got {}", delta));
}

}  // namespace

PrivacyBudget::PrivacyBudget(double epsilon, double delta) : epsilon_(epsilon), delta_(delta) {
    require_budget_parameters(epsilon, delta);
    remaining_.add(epsilon);
}

PrivacyBudget PrivacyBudget::restore(double epsilon, double delta, std::span<const double> remaining_parts) {
    PrivacyBudget budget(epsilon, delta);
    budget.remaining_ = ExactSum{};
    for (double part : remaining_parts) {
        if (!std::isfinite(part)) throw SegmoraError::data_validation("a part of the remainder is not finite");
        budget.remaining_.add(part);
    }
    ExactSum above = budget.remaining_;
    above.subtract(epsilon);
    if (budget.remaining_.sign() < 0 || above.sign() > 0)
        throw SegmoraError::data_validation("remaining_epsilon is not between 0 and epsilon");
    return budget;
}

bool PrivacyBudget::consume(double cost) {
    if (!(cost >= 0.0) || std::isinf(cost)) return false;  // NaN, negative or infinite
    if (remaining_.zero()) return cost == 0.0;
    // The decimal values the doubles stand for may differ from them by half an
    // ulp each: epsilon, every cost granted so far and this one.
    const double allowance = 0x1p-52 * (epsilon_ + (epsilon_ - remaining_epsilon()) + cost);
    ExactSum after = remaining_;
    after.subtract(cost);
    ExactSum slack = after;
    slack.add(allowance);
    if (slack.sign() < 0) return false;
    remaining_ = after;
    ExactSum beyond = after;
    beyond.subtract(allowance);
    if (beyond.sign() <= 0) remaining_ = ExactSum{};  // nothing left beyond rounding
    return true;
}

}  // namespace segmora::engine
