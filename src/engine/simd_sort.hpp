// A vectorised in-place sort of float64 samples (AVX-512).
//
// simd_sort_available() says whether this processor runs it; where it does not
// (or on a build for another architecture) sort_numbers_simd must not be
// called. The values become their order-preserving 64-bit integer images
// (negative numbers with every bit but the sign flipped), NaNs left out on
// request, in one pass that may also copy them; a quicksort whose partitions split each vector of eight
// keys with one permutation sorts the images, sorting networks in registers
// finish runs of 128 or fewer and write them back as values, and a part whose
// keys all equal the pivot is only turned back. A part still large after
// 2 log2(n) + 8 levels of partitioning goes to std::sort, so the worst case
// stays O(n log n). The order is the unique ascending order of the images (-0
// before +0), the same as any other sort by them gives. The calling thread
// polls for interrupts before partitioning a million keys or more
// (Interrupted, the contents of `values` then unspecified).
#pragma once

#include <cstddef>
#include <span>

#include "engine/float_sort.hpp"

namespace segmora::engine {

// True when this process can run sort_numbers_simd (x86-64 with AVX-512F).
bool simd_sort_available() noexcept;

// Sorts the numbers of source[0, n) ascending into out[0, count), the NaNs left
// out when `drop_nan` (else there must be none); returns count. `out` has room
// for n values and is `source` itself or does not overlap it. `max_levels`
// (for tests) replaces the levels of partitioning allowed before std::sort
// takes over; -1 keeps 2 log2(n) + 8. Requires simd_sort_available().
std::size_t sort_numbers_simd(const double* source, std::size_t n, double* out, bool drop_nan, int max_levels = -1);

// sort_samples with this sort, on `workers` threads of a pool made for the
// call (the calling thread alone when fewer than 2) that share the work part by
// part: whichever thread is free turns the next sample into keys or takes the
// next part, partitioning a large one once and putting its parts back.
// Requires simd_sort_available(); leaves each *out at the sample's size.
void sort_samples_simd(std::span<SampleSort> samples, std::size_t workers);

}  // namespace segmora::engine
