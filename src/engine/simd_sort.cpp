#include "engine/simd_sort.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "engine/thread_pool.hpp"
#include "interrupt.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's AVX-512 intrinsics start their results from a deliberately
// undefined vector, which -Wuninitialized reports once they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define SEGMORA_SIMD_SORT 1
#else
#define SEGMORA_SIMD_SORT 0
#endif

namespace segmora::engine {

#if SEGMORA_SIMD_SORT

namespace {

#define SEGMORA_AVX512 __attribute__((target("avx512f,popcnt")))

using Vec = __m512i;
using Mask = __mmask8;
constexpr std::size_t kLanes = 8;
constexpr int kMaxRegisters = 16;                                // a network sorts up to 16 vectors
constexpr std::size_t kNetworkUpTo = kMaxRegisters * kLanes;     // 128 keys
constexpr std::size_t kMiddlePivotFrom = 1024;                   // pivots: the median of 8 keys below this,
constexpr std::size_t kWidePivotFrom = 4096;                     // of 16 below this, else of 64
constexpr std::size_t kPollFrom = 1 << 20;                       // parts this large look for interrupts first
constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();

// The first `count` lanes (all of them from 8 on).
inline Mask lanes_below(std::size_t count) noexcept {
    return count >= kLanes ? Mask{0xFF} : static_cast<Mask>((1u << count) - 1);
}

// The first `count` lanes, count <= 8.
inline Mask first_lanes(std::size_t count) noexcept { return static_cast<Mask>((1u << count) - 1); }

// The order-preserving image of a double as a signed integer (negative
// numbers with every bit but the sign flipped), and back: the map is its own
// inverse.
SEGMORA_AVX512 inline Vec flip_keys(Vec v) {
    return _mm512_xor_si512(v, _mm512_and_si512(_mm512_srai_epi64(v, 63), _mm512_set1_epi64(kHighest)));
}
inline std::int64_t flip_key(std::int64_t bits) noexcept { return bits ^ ((bits >> 63) & kHighest); }

SEGMORA_AVX512 void flip_all(double* values, std::size_t n) {
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) _mm512_storeu_si512(values + i, flip_keys(_mm512_loadu_si512(values + i)));
    const Mask tail = lanes_below(n - i);
    _mm512_mask_storeu_epi64(values + i, tail, flip_keys(_mm512_maskz_loadu_epi64(tail, values + i)));
}

// ---- sorting networks ----
//
// Every step is a compare-exchange of each lane with a partner lane: the lanes
// in `upper` keep the larger key, the others the smaller. Partners are i ^ 1,
// i ^ 2, i ^ 4 (swap1/2/4) and the mirror images i ^ 3 and i ^ 7.

SEGMORA_AVX512 inline Vec exchange(Vec v, Vec partner, Mask upper) {
    return _mm512_mask_max_epi64(_mm512_min_epi64(v, partner), upper, v, partner);
}
SEGMORA_AVX512 inline Vec swap1(Vec v) { return _mm512_shuffle_epi32(v, _MM_PERM_BADC); }
SEGMORA_AVX512 inline Vec swap2(Vec v) { return _mm512_permutex_epi64(v, 0x4E); }
SEGMORA_AVX512 inline Vec swap4(Vec v) { return _mm512_shuffle_i64x2(v, v, 0x4E); }
SEGMORA_AVX512 inline Vec mirror4(Vec v) { return _mm512_permutex_epi64(v, 0x1B); }
SEGMORA_AVX512 inline Vec mirror8(Vec v) {
    return _mm512_permutexvar_epi64(_mm512_set_epi64(0, 1, 2, 3, 4, 5, 6, 7), v);
}

// Sorts the eight lanes of v (a bitonic network of six steps).
SEGMORA_AVX512 inline Vec sort_lanes(Vec v) {
    v = exchange(v, swap1(v), 0xAA);
    v = exchange(v, mirror4(v), 0xCC);
    v = exchange(v, swap1(v), 0xAA);
    v = exchange(v, mirror8(v), 0xF0);
    v = exchange(v, swap2(v), 0xCC);
    return exchange(v, swap1(v), 0xAA);
}

// Sorts the lanes of a bitonic v.
SEGMORA_AVX512 inline Vec merge_lanes(Vec v) {
    v = exchange(v, swap4(v), 0xF0);
    v = exchange(v, swap2(v), 0xCC);
    return exchange(v, swap1(v), 0xAA);
}

// The compare-exchanges of Batcher's odd-even merge sort of R inputs.
template <int R>
struct OddEvenMergeSort {
    int count = 0;
    int pairs[R * R][2] = {};
    constexpr OddEvenMergeSort() {
        for (int p = 1; p < R; p *= 2)
            for (int k = p; k >= 1; k /= 2)
                for (int j = k % p; j + k < R; j += 2 * k)
                    for (int i = 0; i < k && i + j + k < R; ++i)
                        if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
                            pairs[count][0] = i + j;
                            pairs[count][1] = i + j + k;
                            ++count;
                        }
    }
};

// Sorts each lane across the vectors v[0, R): afterwards v[0] holds the
// smallest key of every lane and v[R - 1] the largest.
template <int R>
SEGMORA_AVX512 inline void sort_columns(Vec* v) {
    constexpr OddEvenMergeSort<R> kNetwork;
#pragma GCC unroll 64
    for (int k = 0; k < kNetwork.count; ++k) {
        const int a = kNetwork.pairs[k][0], b = kNetwork.pairs[k][1];
        const Vec lo = _mm512_min_epi64(v[a], v[b]), hi = _mm512_max_epi64(v[a], v[b]);
        v[a] = lo;
        v[b] = hi;
    }
}

// Transposes the 8 x 8 keys of in[0, 8) (vector r lane l to vector l lane r)
// into out[0], out[stride], ... out[7 stride]: for d = 4, 2, 1, bit d of the
// vector and of the lane are swapped where they differ.
SEGMORA_AVX512 inline void transpose8(const Vec* in, Vec* out, int stride) {
    Vec v[kLanes];
#pragma GCC unroll 8
    for (int r = 0; r < static_cast<int>(kLanes); ++r) v[r] = in[r];
#pragma GCC unroll 3
    for (int d = 4; d >= 1; d /= 2) {
        alignas(64) std::int64_t low[kLanes], high[kLanes];
        for (int l = 0; l < static_cast<int>(kLanes); ++l) {
            low[l] = (l & d) ? 8 + l - d : l;
            high[l] = (l & d) ? 8 + l : l + d;
        }
        const Vec to_low = _mm512_load_si512(low), to_high = _mm512_load_si512(high);
#pragma GCC unroll 8
        for (int r = 0; r < static_cast<int>(kLanes); ++r) {
            if (r & d) continue;
            const Vec a = v[r], b = v[r + d];
            v[r] = _mm512_permutex2var_epi64(a, to_low, b);
            v[r + d] = _mm512_permutex2var_epi64(a, to_high, b);
        }
    }
#pragma GCC unroll 8
    for (int r = 0; r < static_cast<int>(kLanes); ++r) out[r * stride] = v[r];
}

// Merges sorted runs of Run vectors in v[0, R) into one.
template <int R, int Run>
SEGMORA_AVX512 inline void merge_runs(Vec* v) {
#pragma GCC unroll 4
    for (int block = 2 * Run; block <= R; block *= 2) {
        // The block's halves compared mirror-wise...
        const int half = block / 2;
#pragma GCC unroll 8
        for (int pair = 0; pair < R / 2; ++pair) {
            const int r = pair / half * block + pair % half, q = r ^ (block - 1);
            const Vec w = mirror8(v[q]);
            const Vec lo = _mm512_min_epi64(v[r], w), hi = _mm512_max_epi64(v[r], w);
            v[r] = lo;
            v[q] = mirror8(hi);
        }
        // ...leave two bitonic halves, each sorted by halving steps.
#pragma GCC unroll 4
        for (int d = block / 4; d >= 1; d /= 2) {
#pragma GCC unroll 8
            for (int pair = 0; pair < R / 2; ++pair) {
                const int r = pair / d * 2 * d + pair % d;
                const Vec lo = _mm512_min_epi64(v[r], v[r + d]), hi = _mm512_max_epi64(v[r], v[r + d]);
                v[r] = lo;
                v[r + d] = hi;
            }
        }
#pragma GCC unroll 16
        for (int r = 0; r < R; ++r) v[r] = merge_lanes(v[r]);
    }
}

// Sorts the 8 R keys of v[0, R) (R a power of two up to 16), v[0] lane 0 the
// smallest after. Up to 4 vectors: each sorted in its lanes, then merged. From
// 8: the lanes sorted across the vectors, each 8 x 8 square transposed, which
// leaves runs of 8 R / 8 keys, then merged.
template <int R>
SEGMORA_AVX512 inline void sort_vectors(Vec* v) {
    if constexpr (R < 8) {
#pragma GCC unroll 4
        for (int r = 0; r < R; ++r) v[r] = sort_lanes(v[r]);
        merge_runs<R, 1>(v);
    } else if constexpr (R == 8) {
        sort_columns<8>(v);
        transpose8(v, v, 1);
        merge_runs<8, 1>(v);
    } else {
        static_assert(R == 16);
        sort_columns<16>(v);
        // Column l becomes v[2 l] (its first 8 keys) followed by v[2 l + 1].
        Vec columns[16];
        transpose8(v, columns, 2);
        transpose8(v + 8, columns + 1, 2);
        merge_runs<16, 2>(columns);
#pragma GCC unroll 16
        for (int r = 0; r < 16; ++r) v[r] = columns[r];
    }
}

// Sorts keys[0, n), n <= 8 R, in registers (missing lanes read as the highest
// key) and writes them back as values.
template <int R>
SEGMORA_AVX512 void sort_network(double* keys, std::size_t n) {
    Vec v[R];
    const Vec fill = _mm512_set1_epi64(kHighest);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * kLanes;
        v[r] = at < n ? _mm512_mask_loadu_epi64(fill, lanes_below(n - at), keys + at) : fill;
    }
    sort_vectors<R>(v);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * kLanes;
        if (at < n) _mm512_mask_storeu_epi64(keys + at, lanes_below(n - at), flip_keys(v[r]));
    }
}

SEGMORA_AVX512 void sort_short(double* keys, std::size_t n) {
    if (n <= 1) return flip_all(keys, n);
    if (n <= 8) return sort_network<1>(keys, n);
    if (n <= 16) return sort_network<2>(keys, n);
    if (n <= 32) return sort_network<4>(keys, n);
    if (n <= 64) return sort_network<8>(keys, n);
    sort_network<16>(keys, n);
}

SEGMORA_AVX512 inline std::int64_t largest(Vec v) {
    alignas(64) std::int64_t lanes[kLanes];
    _mm512_store_si512(lanes, v);
    return *std::max_element(lanes, lanes + kLanes);
}

SEGMORA_AVX512 inline std::int64_t lane_of(Vec v, int lane) {
    alignas(64) std::int64_t lanes[kLanes];
    _mm512_store_si512(lanes, v);
    return lanes[lane];
}

inline std::int64_t key_at(const double* keys, std::size_t i) noexcept {
    std::int64_t k;
    std::memcpy(&k, keys + i, sizeof k);
    return k;
}

// A key of keys[0, n) (n > 128) near the median: the middle one of 8, 16 or
// 64 keys taken at even steps (more for larger parts, where a better split
// pays for them).
SEGMORA_AVX512 std::int64_t choose_pivot(const double* keys, std::size_t n) {
    const std::size_t samples = n < kMiddlePivotFrom ? 8 : n < kWidePivotFrom ? 16 : 64;
    alignas(64) std::int64_t sample[64];
    const std::size_t step = n / samples;
    for (std::size_t k = 0; k < samples; ++k) sample[k] = key_at(keys, step / 2 + k * step);
    Vec v[8];
    if (samples == 8) return lane_of(sort_lanes(_mm512_load_si512(sample)), 4);
    if (samples == 16) {
        v[0] = _mm512_load_si512(sample);
        v[1] = _mm512_load_si512(sample + kLanes);
        sort_vectors<2>(v);
        return lane_of(v[1], 0);
    }
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) v[r] = _mm512_load_si512(sample + r * kLanes);
    sort_vectors<8>(v);
    return lane_of(v[4], 0);
}

// For each mask of eight lanes, the lane order that puts the lanes of the mask
// first and the others after them (each group in lane order).
struct SplitOrders {
    alignas(64) std::int64_t order[256][kLanes];
    constexpr SplitOrders() : order{} {
        for (unsigned mask = 0; mask < 256; ++mask) {
            std::size_t at = 0;
            for (unsigned lane = 0; lane < kLanes; ++lane)
                if (mask >> lane & 1) order[mask][at++] = lane;
            for (unsigned lane = 0; lane < kLanes; ++lane)
                if (!(mask >> lane & 1)) order[mask][at++] = lane;
        }
    }
};
constexpr SplitOrders kSplitOrders;

// Writes split vectors to both ends of a range: keys below the pivot upwards
// from the front, the others downwards from the back; keeps the largest key.
class Splitter {
public:
    SEGMORA_AVX512 Splitter(double* begin, double* end, std::int64_t pivot)
        : pivot_(_mm512_set1_epi64(pivot)), below_at_(begin), above_at_(end) {}

    double* below_at() const noexcept { return below_at_; }
    double* above_at() const noexcept { return above_at_; }

    // Splits v with one permutation and writes a whole vector at each end:
    // the lanes past the kept ones land in room not yet claimed, so both ends
    // need room for eight keys.
    SEGMORA_AVX512 __attribute__((always_inline)) inline void split(Vec v) {
        const auto below = static_cast<unsigned>(_mm512_cmplt_epi64_mask(v, pivot_));
        const auto count_below = static_cast<std::size_t>(std::popcount(below));
        const Vec order = _mm512_load_si512(kSplitOrders.order[below]);
        const Vec split = _mm512_permutexvar_epi64(order, v);
        _mm512_storeu_si512(below_at_, split);
        _mm512_storeu_si512(above_at_ - kLanes, split);
        below_at_ += count_below;
        above_at_ -= kLanes - count_below;
        max_ = _mm512_max_epi64(max_, v);
    }

    // Splits the lanes of v in `valid`, writing no more than they fill.
    SEGMORA_AVX512 __attribute__((always_inline)) inline void split_exact(Vec v, Mask valid) {
        const Mask below = _mm512_mask_cmplt_epi64_mask(valid, v, pivot_);
        const Mask above = static_cast<Mask>(valid & ~below);
        const auto count_below = static_cast<std::size_t>(std::popcount(static_cast<unsigned>(below)));
        const auto count_above = static_cast<std::size_t>(std::popcount(static_cast<unsigned>(above)));
        _mm512_mask_storeu_epi64(below_at_, first_lanes(count_below), _mm512_maskz_compress_epi64(below, v));
        below_at_ += count_below;
        above_at_ -= count_above;
        _mm512_mask_storeu_epi64(above_at_, first_lanes(count_above), _mm512_maskz_compress_epi64(above, v));
        max_ = _mm512_mask_max_epi64(max_, valid, max_, v);
    }

    SEGMORA_AVX512 std::int64_t largest_key() const { return largest(max_); }

private:
    Vec pivot_;
    double* below_at_;
    double* above_at_;
    Vec max_ = _mm512_set1_epi64(kLowest);
};

// Moves the keys of keys[0, n) (n > 128) below `pivot` to the front and the
// others to the back, in place; returns how many are below. A block of vectors
// from each end is held in registers first, which leaves room at both ends:
// each further block is read from the end with less room left and written,
// split, to both, so no write reaches a key not yet read.
SEGMORA_AVX512 std::size_t partition(double* keys, std::size_t n, std::int64_t pivot, std::int64_t& largest) {
    constexpr std::size_t kBlock = 8;  // vectors per read
    constexpr std::size_t kBlockKeys = kBlock * kLanes;
    Splitter out(keys, keys + n, pivot);
    const std::size_t odd = n % kLanes;
    const Vec head = _mm512_maskz_loadu_epi64(lanes_below(odd), keys);
    double* left = keys + odd;
    double* right = keys + n;
    Vec first[kBlock], last[kBlock];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kBlock; ++k) {
        first[k] = _mm512_loadu_si512(left + k * kLanes);
        last[k] = _mm512_loadu_si512(right - kBlockKeys + k * kLanes);
    }
    left += kBlockKeys;
    right -= kBlockKeys;
    // The room at the front (left - below_at) and at the back (above_at -
    // right) add up to 2 kBlockKeys + odd before each read, so the end read
    // from keeps at least what it read after it, and so does the other.
    while (static_cast<std::size_t>(right - left) >= kBlockKeys) {
        double* from;
        if (left - out.below_at() <= out.above_at() - right) {
            from = left;
            left += kBlockKeys;
        } else {
            right -= kBlockKeys;
            from = right;
        }
        Vec v[kBlock];
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kBlock; ++k) v[k] = _mm512_loadu_si512(from + k * kLanes);
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kBlock; ++k) out.split(v[k]);
    }
    while (left < right) {
        Vec v;
        if (left - out.below_at() <= out.above_at() - right) {
            v = _mm512_loadu_si512(left);
            left += kLanes;
        } else {
            right -= kLanes;
            v = _mm512_loadu_si512(right);
        }
        out.split(v);
    }
    // What is left to write fills the room exactly.
    out.split_exact(head, lanes_below(odd));
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kBlock; ++k) {
        out.split_exact(first[k], 0xFF);
        out.split_exact(last[k], 0xFF);
    }
    largest = out.largest_key();
    return static_cast<std::size_t>(out.below_at() - keys);
}

// Writes the keys of source[0, n) to out (which may be source itself), the
// NaNs left out when `drop_nan`; returns how many keys there are.
SEGMORA_AVX512 std::size_t to_keys(const double* source, std::size_t n, double* out, bool drop_nan) {
    std::size_t kept = 0, i = 0;
    // A whole vector is written at `kept` <= i: over nothing not yet read.
    for (; i + kLanes <= n; i += kLanes) {
        const Vec v = _mm512_loadu_si512(source + i);
        if (!drop_nan) {
            _mm512_storeu_si512(out + i, flip_keys(v));
            continue;
        }
        const Mask number = _mm512_cmp_pd_mask(_mm512_castsi512_pd(v), _mm512_castsi512_pd(v), _CMP_ORD_Q);
        _mm512_storeu_si512(out + kept, _mm512_maskz_compress_epi64(number, flip_keys(v)));
        kept += static_cast<std::size_t>(std::popcount(static_cast<unsigned>(number)));
    }
    if (!drop_nan) kept = i;
    const Mask tail = lanes_below(n - i);
    const Vec v = _mm512_maskz_loadu_epi64(tail, source + i);
    const Mask number =
        drop_nan ? _mm512_mask_cmp_pd_mask(tail, _mm512_castsi512_pd(v), _mm512_castsi512_pd(v), _CMP_ORD_Q) : tail;
    const auto count = static_cast<std::size_t>(std::popcount(static_cast<unsigned>(number)));
    _mm512_mask_storeu_epi64(out + kept, first_lanes(count), _mm512_maskz_compress_epi64(number, flip_keys(v)));
    return kept + count;
}

// The values of keys[0, n) sorted by std::sort, for parts the partitions do
// not shrink.
void sort_plainly(double* keys, std::size_t n) {
    flip_all(keys, n);
    std::sort(keys, keys + n, [](double a, double b) {
        return flip_key(std::bit_cast<std::int64_t>(a)) < flip_key(std::bit_cast<std::int64_t>(b));
    });
}

// The parts of a partitioned range still to sort (one or two).
struct Split {
    double* keys[2];
    std::size_t size[2];
    int parts;
};

// Partitions keys[0, n) (n > 128) once; a side whose keys all equal the pivot
// is turned back into values there and then.
SEGMORA_AVX512 Split split_once(double* keys, std::size_t n) {
    const std::int64_t pivot = choose_pivot(keys, n);
    std::int64_t largest;
    std::size_t below = partition(keys, n, pivot, largest);
    // Every key at or above the pivot equals it: that side is sorted.
    if (largest == pivot) {
        flip_all(keys + below, n - below);
        return {{keys, nullptr}, {below, 0}, 1};
    }
    if (below == 0) {
        // The pivot is the smallest key: its copies go to the front, done.
        below = partition(keys, n, pivot + 1, largest);
        flip_all(keys, below);
        return {{keys + below, nullptr}, {n - below, 0}, 1};
    }
    return {{keys, keys + below}, {below, n - below}, 2};
}

// Sorts keys[0, n) and turns them back into values: each key is turned back
// once, where a sorting network writes it or in a run of equal keys.
SEGMORA_AVX512 void quicksort(double* keys, std::size_t n, int budget) {
    while (n > kNetworkUpTo) {
        if (budget-- == 0) return sort_plainly(keys, n);
        if (n >= kPollFrom) poll_interrupt();
        const Split split = split_once(keys, n);
        // The smaller part by recursion, the larger by the loop.
        const int larger = split.parts == 2 && split.size[0] < split.size[1] ? 1 : 0;
        if (split.parts == 2) quicksort(split.keys[1 - larger], split.size[1 - larger], budget);
        keys = split.keys[larger];
        n = split.size[larger];
    }
    sort_short(keys, n);
}

// Several sorts whose parts any of the threads running work() may take: each
// sample is first turned into keys by one of them; a part larger than
// kShareAbove is partitioned once and its parts put back, a smaller one sorted
// to the end. A thread returns when no part is left and none is in hand.
// A range of keys still to sort.
struct Part {
    double* keys;
    std::size_t size;
    int levels;  // partitions allowed before std::sort takes over
};

class SharedSort {
public:
    SharedSort(std::span<SampleSort> samples, const ThreadPool& pool) : samples_(samples), pool_(pool) {}

    // Turns a sample into keys in *out (sized to the source first when apart
    // from it): the part that sorts it.
    static Part prepare(SampleSort& sample) {
        if (sample.out->data() != sample.source.data()) sample.out->resize(sample.source.size());
        double* out = sample.out->data();
        sample.count = to_keys(sample.source.data(), sample.source.size(), out, true);
        return {out, sample.count, 2 * static_cast<int>(std::bit_width(sample.count)) + 8};
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return next_sample_ < samples_.size() || !parts_.empty() || in_hand_ == 0 || failed_; });
            if (failed_ || pool_.cancelled() || (next_sample_ == samples_.size() && parts_.empty())) return;
            ++in_hand_;
            Part part{};
            std::size_t sample = samples_.size();
            if (next_sample_ < samples_.size()) sample = next_sample_++;
            else part = parts_.back(), parts_.pop_back();
            lock.unlock();
            Part made[2];
            int count = 0;
            try {
                if (sample < samples_.size()) made[count++] = prepare(samples_[sample]);
                else if (part.size > kShareAbove && part.levels > 0) count = split(part, made);
                else quicksort(part.keys, part.size, part.levels);
            } catch (...) {
                lock.lock();
                failed_ = true;
                --in_hand_;
                changed_.notify_all();
                throw;
            }
            lock.lock();
            for (int k = 0; k < count; ++k) parts_.push_back(made[k]);
            --in_hand_;
            changed_.notify_all();
        }
    }

private:
    static int split(const Part& part, Part* made) {
        const Split s = split_once(part.keys, part.size);
        for (int k = 0; k < s.parts; ++k) made[k] = {s.keys[k], s.size[k], part.levels - 1};
        return s.parts;
    }

    static constexpr std::size_t kShareAbove = 1 << 15;

    std::span<SampleSort> samples_;
    const ThreadPool& pool_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Part> parts_;
    std::size_t next_sample_ = 0, in_hand_ = 0;
    bool failed_ = false;
};

}  // namespace

bool simd_sort_available() noexcept {
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt");
    }();
    return available;
}

std::size_t sort_numbers_simd(const double* source, std::size_t n, double* out, bool drop_nan, int max_levels) {
    const std::size_t count = to_keys(source, n, out, drop_nan);
    quicksort(out, count, max_levels >= 0 ? max_levels : 2 * static_cast<int>(std::bit_width(count)) + 8);
    return count;
}

void sort_samples_simd(std::span<SampleSort> samples, std::size_t workers) {
    if (workers < 2) {
        for (SampleSort& sample : samples) {
            const Part part = SharedSort::prepare(sample);
            quicksort(part.keys, part.size, part.levels);
        }
        return;
    }
    ThreadPool pool(workers);
    SharedSort shared(samples, pool);
    pool.run_tasks(workers, [&](std::size_t) { shared.work(); });
}

#else

bool simd_sort_available() noexcept { return false; }

void sort_samples_simd(std::span<SampleSort>, std::size_t) {}

std::size_t sort_numbers_simd(const double*, std::size_t, double*, bool, int) { return 0; }

#endif

}  // namespace segmora::engine
