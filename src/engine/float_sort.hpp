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
// missing values) and returns how many it removed. sort_both runs two such
// sorts side by side on two workers when both samples are large. The calling
// thread polls for interrupts between passes (Interrupted, the values then in
// an unspecified order).
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <vector>

namespace segmora::engine {

// Sorts `values` (no NaN) ascending.
void sort_numbers(std::span<double> values);

// Removes every NaN from `values`, sorts the rest ascending; returns the number removed.
std::size_t drop_nan_and_sort(std::vector<double>& values);

// Sorts the numbers of `source` (its NaNs left out) ascending into out[0,
// count) in the same pass that copies them; returns count. `out` has room for
// source.size() values and does not overlap `source`.
std::size_t sort_numbers_into(std::span<const double> source, double* out);

// The radix sort alone, whatever the processor (what sort_numbers runs without
// AVX-512): sorts the numbers of `values` into values[0, count), moving the
// NaNs out first when `drop_nan` (else there must be none); returns count.
std::size_t radix_sort_prefix(std::span<double> values, bool drop_nan);

// Runs first() and second() at once on two workers when `size` (the smaller
// sample) is large enough to pay for them, else one after the other.
void sort_both(std::size_t size, const std::function<void()>& first, const std::function<void()>& second);

}  // namespace segmora::engine
