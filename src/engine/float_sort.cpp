#include "engine/float_sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "engine/simd_sort.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"

namespace segmora::engine {

namespace {

constexpr std::size_t kComparisonBelow = 256;    // below this a comparison sort is faster
constexpr std::size_t kInsertionBelow = 48;      // buckets this small: insertion sort
constexpr std::size_t kSplitFrom = 1 << 15;      // larger samples are split into cache-sized buckets first
constexpr std::size_t kTwoWorkersFrom = 1 << 16; // samples averaging fewer values sort faster than two threads start
constexpr int kSplitBits = 16;
constexpr std::size_t kBuckets = 256;

// The order-preserving image of a double: unsigned order of keys equals the
// numeric order of the values (NaN excluded).
inline std::uint64_t key_of(double v) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

inline double value_of(std::uint64_t key) noexcept {
    return std::bit_cast<double>((key >> 63) ? key & ~(std::uint64_t{1} << 63) : ~key);
}

// The values' storage doubles as scratch space for keys.
inline std::uint64_t load_key(const double* at) noexcept {
    std::uint64_t k;
    std::memcpy(&k, at, sizeof k);
    return k;
}
inline void store_key(double* at, std::uint64_t k) noexcept { std::memcpy(at, &k, sizeof k); }

inline std::size_t byte_of(std::uint64_t key, int d) noexcept { return (key >> (8 * d)) & (kBuckets - 1); }

// Sorts keys[0, n) by their low `n_bytes` bytes (the others are equal) and
// writes the values in order to out[0, n); out doubles as scratch. Count is
// wide enough for n.
template <class Count>
void sort_bucket(std::uint64_t* keys, double* out, std::size_t n, int n_bytes) {
    if (n < kInsertionBelow) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint64_t k = keys[i];
            std::size_t j = i;
            for (; j > 0 && keys[j - 1] > k; --j) keys[j] = keys[j - 1];
            keys[j] = k;
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = value_of(keys[i]);
        return;
    }
    Count count[8][kBuckets];
    for (int d = 0; d < n_bytes; ++d) std::fill(std::begin(count[d]), std::end(count[d]), 0);
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = keys[i];
        any |= k;
        all &= k;
        for (int d = 0; d < n_bytes; ++d) ++count[d][byte_of(k, d)];
    }
    // A byte that every key shares leaves the order as it is.
    int active[8];
    int n_active = 0;
    for (int d = 0; d < n_bytes; ++d)
        if (byte_of(any ^ all, d) != 0) active[n_active++] = d;
    // Passes alternate keys -> out -> keys ...; the last one decodes into out
    // unless it reads from out, which then takes a final copy.
    for (int p = 0; p < n_active; ++p) {
        const int d = active[p];
        Count at[kBuckets];
        Count sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) at[b] = std::exchange(sum, static_cast<Count>(sum + count[d][b]));
        const bool from_keys = p % 2 == 0;
        if (p + 1 == n_active && from_keys) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t k = keys[i];
                out[at[byte_of(k, d)]++] = value_of(k);
            }
            return;
        }
        if (from_keys) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t k = keys[i];
                store_key(out + at[byte_of(k, d)]++, k);
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t k = load_key(out + i);
                keys[at[byte_of(k, d)]++] = k;
            }
        }
    }
    for (std::size_t i = 0; i < n; ++i) out[i] = value_of(keys[i]);
}

// Sorts values[0, n) (no NaN), whose keys have the bits of `varying` set
// somewhere among them and share every other bit.
template <class Count>
void radix_sort(double* values, std::size_t n, std::uint64_t varying) {
    std::unique_ptr<std::uint64_t[]> keys(new std::uint64_t[n]);
    const int top = 63 - std::countl_zero(varying);
    if (n < kSplitFrom || top < kSplitBits) {
        for (std::size_t i = 0; i < n; ++i) keys[i] = key_of(values[i]);
        sort_bucket<Count>(keys.get(), values, n, top / 8 + 1);
        return;
    }
    // One pass on the 16 highest varying bits splits the sample into buckets
    // that are sorted in cache, each on the bytes below.
    const int shift = top + 1 - kSplitBits;
    constexpr std::size_t kSplits = std::size_t{1} << kSplitBits;
    std::vector<Count> start(kSplits + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++start[((key_of(values[i]) >> shift) & (kSplits - 1)) + 1];
    for (std::size_t b = 0; b < kSplits; ++b) start[b + 1] += start[b];
    {
        std::vector<Count> at(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = key_of(values[i]);
            keys[at[(k >> shift) & (kSplits - 1)]++] = k;
        }
    }
    poll_interrupt();
    const int n_bytes = (shift + 7) / 8;
    for (std::size_t b = 0; b < kSplits; ++b) {
        const std::size_t begin = start[b], end = start[b + 1];
        if (end - begin > 1) sort_bucket<Count>(keys.get() + begin, values + begin, end - begin, n_bytes);
        else if (end - begin == 1) values[begin] = value_of(keys[begin]);
    }
}

}  // namespace

std::size_t radix_sort_prefix(std::span<double> values, bool drop_nan) {
    std::size_t n = 0;
    if (drop_nan) {
        for (const double v : values)
            if (!std::isnan(v)) values[n++] = v;
    } else {
        n = values.size();
    }
    std::uint64_t any = 0, all = ~std::uint64_t{0};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = key_of(values[i]);
        any |= k;
        all &= k;
    }
    if (n < kComparisonBelow)
        std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n),
                  [](double a, double b) { return key_of(a) < key_of(b); });
    else if (any != all) {
        if (n <= std::numeric_limits<std::uint32_t>::max()) radix_sort<std::uint32_t>(values.data(), n, any ^ all);
        else radix_sort<std::size_t>(values.data(), n, any ^ all);
    }
    return n;
}

namespace {

// Sorts the numbers of `values` (moving out the NaNs first when `drop_nan`)
// into values[0, count); returns count.
std::size_t sort_prefix(std::span<double> values, bool drop_nan) {
    if (simd_sort_available()) return sort_numbers_simd(values.data(), values.size(), values.data(), drop_nan);
    return radix_sort_prefix(values, drop_nan);
}

}  // namespace

void sort_numbers(std::span<double> values) { sort_prefix(values, false); }

std::size_t drop_nan_and_sort(std::vector<double>& values) {
    const std::size_t kept = sort_prefix(values, true);
    const std::size_t dropped = values.size() - kept;
    values.resize(kept);
    return dropped;
}

void sort_samples(std::span<SampleSort> samples) {
    std::size_t total = 0;
    for (const SampleSort& sample : samples) total += sample.source.size();
    const std::size_t workers = samples.size() >= 2 && total >= 2 * kTwoWorkersFrom ? 2 : 1;
    if (simd_sort_available()) {
        sort_samples_simd(samples, workers);
    } else {
        auto sort_one = [&](std::size_t k) {
            SampleSort& sample = samples[k];
            if (sample.out->data() != sample.source.data()) {
                sample.out->resize(sample.source.size());
                std::copy(sample.source.begin(), sample.source.end(), sample.out->begin());
            }
            sample.count = radix_sort_prefix(*sample.out, true);
        };
        if (workers < 2) {
            for (std::size_t k = 0; k < samples.size(); ++k) sort_one(k);
        } else {
            ThreadPool pool(workers);
            pool.run_tasks(samples.size(), sort_one);
        }
    }
    for (SampleSort& sample : samples) sample.out->resize(sample.count);
}

}  // namespace segmora::engine
