// Special functions behind the purchase and spend models: log-gamma, digamma
// and trigamma for their likelihoods, the hypergeometric series of BG/NBD's
// expected purchases, and whole-array logarithms and exponentials.
//
// Plain IEEE arithmetic in a fixed order, so every machine and every thread
// gets the same bits (std::lgamma would also write the global signgam from
// the workers). log_gamma, digamma and trigamma take x > 0 and are good to a
// few units in the last place, except next to the zeros of log-gamma (1 and
// 2), where the error is about 1e-15 absolute. NaN for any other x.
//
// hyp2f1 sums the power series for 0 <= z < 1 and brings z < 0 into (0, 1)
// with Pfaff's transformation; NaN for a NaN argument, z >= 1, or c zero or a
// negative integer. A series stops once what is left is below 1e-17 of the
// sum, or after 2e7 terms: within about 1e-6 of z = 1 the sum is then short.
//
// The array functions run the four-lane kernels of lanes.hpp over a whole
// array, within an ulp or two of the C library (log of positive normal
// numbers, exp with its argument clamped to [-708, 709], log1p on [0, 1]); the
// AVX2 and baseline clones give the same bits. The models call the kernels
// directly; these wrappers are how the tests hold them to that bound.
#pragma once

#include <cstddef>

namespace segmora::engine {

double log_gamma(double x) noexcept;
double digamma(double x) noexcept;
double trigamma(double x) noexcept;

// 2F1(a, b; c; z) for z < 1 (the tests' reference for the series below).
double hyp2f1(double a, double b, double c, double z) noexcept;

// (c 2F1(a, b; c; z) - c) / b for z in [0, 1): the series from its second term
// with (b)_n written as b (b + 1)_(n-1) and (c)_n as c (c + 1)_(n-1), so it stays
// finite as b or c passes through 0; c must not be a negative integer.
double hyp2f1_rest_over_b(double a, double b, double c, double z) noexcept;

// out[i] = f(in[i]) for i < n; `in` and `out` may be the same array.
void log_array(const double* in, double* out, std::size_t n) noexcept;
void exp_array(const double* in, double* out, std::size_t n) noexcept;
void log1p_array(const double* in, double* out, std::size_t n) noexcept;

}  // namespace segmora::engine
