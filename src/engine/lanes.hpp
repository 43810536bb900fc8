// Four doubles at a time: GCC vector types, the lane-wise select, and the
// logarithm and exponential kernels behind log_array and exp_array, for hot
// loops that keep their values in registers between steps.
//
// Everything is plain IEEE arithmetic lane by lane, so a function compiled for
// AVX2 and for the baseline (SEGMORA_TARGET_CLONES) gives identical results.
// The helpers are always inlined: callers carry the target of their own clone.
// Kernel domains: log of positive normal numbers, exp of [-708, 709] (clamped
// into it), log1p of [0, 1]; each within one unit in the last place (log1p two).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/simd.hpp"

// Lane values never cross a call boundary between clones (helpers are
// inlined into their cloned caller), so GCC's note that 32-byte vectors pass
// differently with and without AVX does not concern the files using them.
#pragma GCC diagnostic ignored "-Wpsabi"

#define SEGMORA_INLINE inline __attribute__((always_inline))

namespace segmora::engine::lanes {

using f64x4 = double __attribute__((vector_size(32)));
using i64x4 = std::int64_t __attribute__((vector_size(32)));  // what comparing f64x4 gives

SEGMORA_INLINE f64x4 load4(const double* p) noexcept {
    f64x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

SEGMORA_INLINE void store4(double* p, const f64x4& v) noexcept { std::memcpy(p, &v, sizeof v); }

SEGMORA_INLINE f64x4 splat(double v) noexcept { return f64x4{v, v, v, v}; }
SEGMORA_INLINE i64x4 splat_int(std::int64_t v) noexcept { return i64x4{v, v, v, v}; }

SEGMORA_INLINE f64x4 as_double(const i64x4& v) noexcept {
    f64x4 out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

SEGMORA_INLINE i64x4 as_int(const f64x4& v) noexcept {
    i64x4 out;
    std::memcpy(&out, &v, sizeof out);
    return out;
}

// Lane by lane: `yes` where the mask (a comparison's all-ones or zero) is set, else `no`.
SEGMORA_INLINE f64x4 select(const i64x4& mask, const f64x4& yes, const f64x4& no) noexcept {
    return as_double((as_int(yes) & mask) | (as_int(no) & ~mask));
}

SEGMORA_INLINE f64x4 max(const f64x4& a, const f64x4& b) noexcept { return select(a > b, a, b); }
SEGMORA_INLINE f64x4 abs(const f64x4& a) noexcept { return as_double(as_int(a) & splat_int(0x7fffffffffffffffLL)); }

// The lanes added in lane order.
SEGMORA_INLINE double sum(const f64x4& v) noexcept { return ((v[0] + v[1]) + v[2]) + v[3]; }

// Four values from `p` (the first `n` of them, the rest `filler`).
SEGMORA_INLINE f64x4 load_part(const double* p, std::size_t n, double filler) noexcept {
    if (n >= 4) return load4(p);
    double tail[4] = {filler, filler, filler, filler};
    std::memcpy(tail, p, n * sizeof(double));
    return load4(tail);
}

constexpr double kLn2Hi = 6.93147180369123816490e-01;
constexpr double kLn2Lo = 1.90821492927058770002e-10;
constexpr double kRoundMagic = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
constexpr std::int64_t kRoundMagicBits = 0x4338000000000000LL;

// log x for positive normal x: x = 2^k (1 + f) with 1 + f in [sqrt(2)/2, sqrt(2)),
// log(1 + f) = f - f^2/2 + s (f^2/2 + R(s^2)) with s = f / (2 + f).
SEGMORA_INLINE f64x4 log_kernel(const f64x4& x) noexcept {
    i64x4 bits = as_int(x) + splat_int((0x3ff00000LL - 0x3fe6a09eLL) << 32);
    const i64x4 k = (bits >> 52) - splat_int(0x3ff);
    bits = (bits & splat_int(0x000fffffffffffffLL)) + splat_int(0x3fe6a09eLL << 32);
    const f64x4 f = as_double(bits) - 1.0;
    const f64x4 dk = as_double(k + splat_int(kRoundMagicBits)) - kRoundMagic;
    const f64x4 hfsq = 0.5 * f * f;
    const f64x4 s = f / (2.0 + f);
    const f64x4 z = s * s;
    const f64x4 w = z * z;
    const f64x4 t1 = w * (3.999999999940941908e-01 + w * (2.222219843214978396e-01 + w * 1.531383769920937332e-01));
    const f64x4 t2 = z * (6.666666666666735130e-01 +
                          w * (2.857142874366239149e-01 + w * (1.818357216161805012e-01 + w * 1.479819860511658591e-01)));
    const f64x4 r = t2 + t1;
    return s * (hfsq + r) + dk * kLn2Lo - hfsq + f + dk * kLn2Hi;
}

// exp x for x in [-708, 709]: x = k ln2 + r with |r| <= ln2 / 2, e^r from a
// rational form in r^2, then the exponent field raised by k.
SEGMORA_INLINE f64x4 exp_kernel(const f64x4& argument) noexcept {
    f64x4 x = select(argument < -708.0, splat(-708.0), argument);
    x = select(x > 709.0, splat(709.0), x);
    const f64x4 rounded = x * 1.44269504088896338700e+00 + kRoundMagic;
    const i64x4 k = as_int(rounded) - splat_int(kRoundMagicBits);
    const f64x4 dk = rounded - kRoundMagic;
    const f64x4 hi = x - dk * kLn2Hi;
    const f64x4 lo = dk * kLn2Lo;
    const f64x4 r = hi - lo;
    const f64x4 rr = r * r;
    const f64x4 c =
        r - rr * (1.66666666666666019037e-01 +
                  rr * (-2.77777777770155933842e-03 +
                        rr * (6.61375632143793436117e-05 + rr * (-1.65339022054652515390e-06 + rr * 4.13813679705723846039e-08))));
    const f64x4 y = 1.0 + (r * c / (2.0 - c) - lo + hi);
    return as_double(as_int(y) + (k << 52));
}

// log1p y for y in [0, 1]: log(u) y / (u - 1) with u = 1 + y rounded, exact
// enough because u - 1 is exact.
SEGMORA_INLINE f64x4 log1p_kernel(const f64x4& y) noexcept {
    const f64x4 u = 1.0 + y;
    const f64x4 d = u - 1.0;
    const i64x4 exact = d == 0.0;
    const f64x4 v = log_kernel(u) * (y / select(exact, splat(1.0), d));
    return select(exact, y, v);
}

}  // namespace segmora::engine::lanes

