// Special functions for the purchase and spend models: log-gamma, digamma and
// trigamma on positive arguments, the Gaussian hypergeometric function 2F1 on
// real arguments below 1, and logarithms and exponentials of whole arrays.
//
// Everything here is plain IEEE arithmetic in a fixed order, so results are
// the same on every machine and in every thread (std::lgamma would write the
// global signgam from worker threads). log_gamma, digamma and trigamma take
// x > 0 and are accurate to a few units in the last place away from the zeros
// of log-gamma (absolute error there about 1e-15). hyp2f1 sums the power series
// for 0 <= z < 1 and maps z < 0 into [0, 1/2] or [1/2, 1) by Pfaff's
// transformation; it returns NaN only for NaN arguments or c a non-positive
// integer.
//
// log_array, exp_array and log1p_array evaluate four values at a time with the
// classic reduced-argument polynomials (error below one unit in the last
// place): log of positive normal numbers, exp of arguments in [-708, 709]
// (clamped into that range), log1p of arguments in [0, 1]. Both machine clones
// (AVX2 and baseline) give bit-identical results.
#pragma once

#include <cstddef>

namespace segmora::engine {

double log_gamma(double x) noexcept;
double digamma(double x) noexcept;
double trigamma(double x) noexcept;

// 2F1(a, b; c; z) for z < 1.
double hyp2f1(double a, double b, double c, double z) noexcept;

// c * 2F1(a, b; c; z) for z in [0, 1), finite as c passes through 0 (the
// series with (c)_n written as c (c + 1)_(n-1)); c must not be a negative integer.
double c_times_hyp2f1(double a, double b, double c, double z) noexcept;

// out[i] = f(in[i]) for i < n; `in` and `out` may be the same array.
void log_array(const double* in, double* out, std::size_t n) noexcept;
void exp_array(const double* in, double* out, std::size_t n) noexcept;
void log1p_array(const double* in, double* out, std::size_t n) noexcept;

}  // namespace segmora::engine
