#include "engine/privacy.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
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

// ---- noise ----

namespace {

// Fills `out` from the operating system's entropy pool.
void fill_from_os(void* out, std::size_t size) {
    auto* p = static_cast<unsigned char*>(out);
    while (size > 0) {
        const ssize_t got = getrandom(p, size, 0);
        if (got > 0) {
            p += got;
            size -= static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            break;  // no getrandom on this kernel: the device below
        }
    }
    if (size == 0) return;
    std::random_device device;
    for (; size > 0; --size) *p++ = static_cast<unsigned char>(device());
}

}  // namespace

NoiseSource::NoiseSource() : rng_(std::array<std::uint32_t, 8>{}) { rekey(); }

void NoiseSource::rekey() {
    std::array<std::uint32_t, 8> key{};
    fill_from_os(key.data(), sizeof key);
    rng_ = ChaCha12Rng(key);
    words_left_ = kReseedWords;
    pid_ = static_cast<long>(getpid());
    ++keyings_;
}

void NoiseSource::check_fork() {
    if (static_cast<long>(getpid()) != pid_) rekey();
}

std::uint32_t NoiseSource::next_u32() {
    if (words_left_ == 0) rekey();
    --words_left_;
    return rng_.next_u32();
}

double NoiseSource::open_unit() {
    for (;;) {
        const std::uint64_t hi = next_u32();
        const std::uint64_t bits = ((hi << 32) | next_u32()) >> 12;  // 52 bits
        if (bits != 0) return static_cast<double>(bits) * 0x1p-52;
    }
}

double NoiseSource::unit() {
    const std::uint64_t hi = next_u32();
    const std::uint64_t bits = ((hi << 32) | next_u32()) >> 11;  // 53 bits
    return static_cast<double>(bits) * 0x1p-53;
}

NoiseSource& thread_noise_source() {
    thread_local NoiseSource source;
    return source;
}

namespace {

void require_epsilon(double epsilon) {
    if (!(std::isfinite(epsilon) && epsilon > 0.0))
        throw SegmoraError::invalid_config(format("epsilon must be finite and > 0, got {}", epsilon));
}

void require_sensitivity(double sensitivity) {
    if (!(std::isfinite(sensitivity) && sensitivity >= 0.0))
        throw SegmoraError::invalid_config(format("sensitivity must be finite and >= 0, got {}", sensitivity));
}

void require_delta(double delta) {
    if (!(delta > 0.0 && delta < 1.0))
        throw SegmoraError::invalid_config(format("delta must be in the open interval (0, 1), got {}", delta));
}

// Clamped at zero; fmax turns a NaN sum into 0.0.
inline double clamp_release(double value) noexcept { return std::fmax(value, 0.0); }

}  // namespace

void add_laplace_noise(std::span<double> values, double epsilon, double sensitivity, NoiseSource& source) {
    require_epsilon(epsilon);
    require_sensitivity(sensitivity);
    if (values.empty()) return;
    source.check_fork();
    const double b = sensitivity / epsilon;
    for (double& x : values) {
        const double u = source.open_unit();
        const double noise = u < 0.5 ? b * std::log(2.0 * u) : -b * std::log(2.0 * (1.0 - u));
        x = clamp_release(x + noise);
    }
}

double gaussian_sigma(double epsilon, double delta, double sensitivity) noexcept {
    return std::sqrt(2.0 * std::log(1.25 / delta)) * sensitivity / epsilon;
}

void add_gaussian_noise(std::span<double> values, double epsilon, double delta, double sensitivity,
                        NoiseSource& source) {
    require_epsilon(epsilon);
    require_delta(delta);
    require_sensitivity(sensitivity);
    if (values.empty()) return;
    source.check_fork();
    const double sigma = gaussian_sigma(epsilon, delta, sensitivity);
    for (double& x : values) {
        const double u = source.open_unit();
        const double v = source.unit();
        const double z = std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
        x = clamp_release(x + sigma * z);
    }
}

// ---- budget ----

bool PrivacyBudget::consume(double cost) noexcept {
    // A negative cost would grow the budget; NaN fails both tests.
    if (!(cost >= 0.0) || !(cost <= remaining_epsilon)) return false;
    remaining_epsilon -= cost;
    return true;
}

}  // namespace segmora::engine
