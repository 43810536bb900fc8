// Ascending sorts of float64 samples, as the drift statistics need them.
//
// sort_numbers sorts values that hold no NaN, in place. Where the processor
// has AVX-512 it runs the vectorised quicksort of simd_sort.hpp; elsewhere a
// radix sort: an LSD radix sort on 8-bit digits of each value's
// order-preserving 64-bit image (negative numbers with every bit flipped,
// others with the sign bit set), skipping the digits every value shares, after
// a split of large samples on their 16 highest varying bits into cache-sized
// buckets; short inputs take a comparison sort. Both give the ascending order of
// the images, so the same bytes: -0 sorts before +0 (they compare equal, so no
// statistic here can tell). drop_nan_and_sort removes the NaNs first (they are
// missing values) and returns how many it removed. sort_samples sorts several
// samples at once on two workers. The calling thread polls for interrupts
// between passes (Interrupted, the values then unspecified).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace segmora::engine {

// Sorts `values` (no NaN) ascending.
void sort_numbers(std::span<double> values);

// Removes every NaN from `values`, sorts the rest ascending; returns the number removed.
std::size_t drop_nan_and_sort(std::vector<double>& values);

// The radix sort alone, whatever the processor (what sort_numbers runs without
// AVX-512): sorts the numbers of `values` into values[0, count), moving the
// NaNs out first when `drop_nan` (else there must be none); returns count.
std::size_t radix_sort_prefix(std::span<double> values, bool drop_nan);

// One of several samples sorted at once: its numbers, NaNs left out, go from
// `source` into *out, which ends up holding exactly them, `count` of them.
// `source` is *out's own storage (sorted in place) or does not overlap it.
struct SampleSort {
    std::span<const double> source;
    std::vector<double>* out = nullptr;
    std::size_t count = 0;
};

// Sorts every sample, on two workers when they are large enough to pay for
// them: with the vectorised sort the workers share the parts of all samples,
// so that one of them busy elsewhere costs time but not half of it; else one
// sample per worker. The result does not depend on how the work was shared.
void sort_samples(std::span<SampleSort> samples);

}  // namespace segmora::engine
