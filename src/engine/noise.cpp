#include "engine/noise.hpp"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>

#include "engine/simd.hpp"
#include "error.hpp"
#include "interrupt.hpp"
#include "text.hpp"

namespace segmora::engine {

// ---- the random source ----

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

NoiseSource::NoiseSource() { rekey(); }

void NoiseSource::rekey() {
    fill_from_os(key_.data(), sizeof key_);
    counter_ = 0;
    index_ = kBufferWords;
    words_left_ = kReseedWords;
    pid_ = static_cast<long>(getpid());
    ++keyings_;
}

void NoiseSource::check_fork() {
    if (static_cast<long>(getpid()) != pid_) rekey();
}

void NoiseSource::refill() {
    chacha12_blocks8(key_, counter_, buffer_);
    counter_ += 8;
    index_ = 0;
}

std::uint32_t NoiseSource::next_word() {
    if (words_left_ == 0) rekey();
    --words_left_;
    if (index_ == kBufferWords) refill();
    return buffer_[index_++];
}

void NoiseSource::fill(std::span<std::uint32_t> out) {
    std::size_t i = 0;
    while (i < out.size()) {
        if (words_left_ == 0) rekey();
        if (index_ == kBufferWords) {
            // Whole groups of blocks go straight to the output.
            while (out.size() - i >= kBufferWords && words_left_ >= kBufferWords) {
                chacha12_blocks8(key_, counter_, out.data() + i);
                counter_ += 8;
                i += kBufferWords;
                words_left_ -= kBufferWords;
            }
            if (i == out.size() || words_left_ == 0) continue;
            refill();
        }
        const std::size_t take = std::min({out.size() - i, kBufferWords - index_, static_cast<std::size_t>(words_left_)});
        std::memcpy(out.data() + i, buffer_ + index_, take * sizeof(std::uint32_t));
        index_ += take;
        i += take;
        words_left_ -= take;
    }
}

NoiseSource& thread_noise_source() {
    thread_local NoiseSource source;
    return source;
}

// ---- kernels ----

namespace {

// -ln x for a normal x in (0, 1]: x = m 2^e with m in [sqrt(1/2), sqrt(2)),
// ln m = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 0.1716, by its odd series
// to s^21 (the next term is below 2^-55 of s).
[[gnu::always_inline]] inline double neg_log_one(double x) noexcept {
    constexpr std::uint64_t kSqrtHalf = 0x3fe6a09e667f3bcdull;
    constexpr double kLn2Hi = 0x1.62e42fee00000p-1;  // few bits: e * kLn2Hi is exact
    constexpr double kLn2Lo = 0x1.a39ef35793c76p-33;
    const std::uint64_t u = std::bit_cast<std::uint64_t>(x) + (0x3ff0000000000000ull - kSqrtHalf);
    const double e = (std::bit_cast<double>((u >> 52) | 0x4330000000000000ull) - 0x1p52) - 1023.0;
    const double m = std::bit_cast<double>((u & 0x000fffffffffffffull) + kSqrtHalf);
    const double s = (m - 1.0) / (m + 1.0);
    const double z = s * s;
    double p = 1.0 / 21.0;
    p = p * z + 1.0 / 19.0;
    p = p * z + 1.0 / 17.0;
    p = p * z + 1.0 / 15.0;
    p = p * z + 1.0 / 13.0;
    p = p * z + 1.0 / 11.0;
    p = p * z + 1.0 / 9.0;
    p = p * z + 1.0 / 7.0;
    p = p * z + 1.0 / 5.0;
    p = p * z + 1.0 / 3.0;
    const double log_m = 2.0 * s + 2.0 * s * (z * p);
    return -(e * kLn2Hi + (e * kLn2Lo + log_m));
}

// exp(-x) for x in [0, 1]: exp(-x/8)^8, the inner one by its Taylor series to
// degree 11 (the next term is below 2^-64).
[[gnu::always_inline]] inline double exp_neg_one(double x) noexcept {
    const double y = -0.125 * x;
    double p = 1.0 / 39916800.0;
    p = p * y + 1.0 / 3628800.0;
    p = p * y + 1.0 / 362880.0;
    p = p * y + 1.0 / 40320.0;
    p = p * y + 1.0 / 5040.0;
    p = p * y + 1.0 / 720.0;
    p = p * y + 1.0 / 120.0;
    p = p * y + 1.0 / 24.0;
    p = p * y + 1.0 / 6.0;
    p = p * y + 0.5;
    p = p * y + 1.0;
    p = p * y + 1.0;
    p = p * p;
    p = p * p;
    return p * p;
}

// floor(y) for |y| < 2^51, in operations that vectorise (std::floor does not
// under the default trapping-math rules): adding and removing 2^52 rounds to
// an integer, which is lowered by one where it rounded up.
[[gnu::always_inline]] inline double floor_exact(double y) noexcept {
    const double r = (y + 0x1p52) - 0x1p52;
    return r > y ? r - 1.0 : r;
}

// exp(-x) for x in [0, 1] within a relative 2^-24, enough for coins read to
// at most 15 bits: exp(-x/8)^8, the inner one to degree 5.
[[gnu::always_inline]] inline double exp_neg_coin(double x) noexcept {
    const double y = -0.125 * x;
    double p = 1.0 / 120.0;
    p = p * y + 1.0 / 24.0;
    p = p * y + 1.0 / 6.0;
    p = p * y + 0.5;
    p = p * y + 1.0;
    p = p * y + 1.0;
    p = p * p;
    p = p * p;
    return p * p;
}

// Random 64-bit word i of a buffer of 32-bit words (both halves random, in
// the machine's order; the exact paths read the same word the same way).
[[gnu::always_inline]] inline std::uint64_t word64(const std::uint32_t* words, std::size_t i) noexcept {
    std::uint64_t w;
    std::memcpy(&w, words + 2 * i, sizeof w);
    return w;
}

// W's midpoint when W's top `Bits` bits are those of `leading`: every W that
// begins with them lies within 2^-(Bits + 1) of it.
template <int Bits>
[[gnu::always_inline]] inline double midpoint_of(std::uint64_t leading) noexcept {
    const std::uint64_t mantissa = (leading >> (64 - Bits)) << (52 - Bits);
    return (std::bit_cast<double>(mantissa | 0x3ff0000000000000ull) - 1.0) + std::ldexp(1.0, -(Bits + 1));
}

// The largest k with W < exp(-k / scale), for the W that begins with the top
// `Bits` bits of `leading`, and whether that is settled: k is y's floor, y =
// scale (-ln W) at W's midpoint, when a bound on y's distance from scale
// (-ln W) for every such W (the interval's width, the kernel's error and the
// product's rounding, each taken at least 4 times) keeps that floor. y stays
// below 2^37 (scale <= 2^31, -ln W <= 45).
template <int Bits>
[[gnu::always_inline]] inline void geometric_estimate(std::uint64_t leading, double scale, double& k,
                                                      bool& unsettled) noexcept {
    const double mid = midpoint_of<Bits>(leading);
    // 2^-e for mid in [2^e, 2^(e+1)): the exponent field mirrored (mid >= 2^-(Bits+1) is normal)
    const double inverse_bound = std::bit_cast<double>((0x7fe0000000000000ull - (std::bit_cast<std::uint64_t>(mid) & 0x7ff0000000000000ull)));
    const double neg_log_mid = neg_log_one(mid);
    const double y = scale * neg_log_mid;
    // |ln W - ln mid| <= h / (mid - h) <= 2h / mid, h = 2^-(Bits+1), unless W's bits are all zero (then unsettled)
    const double err = scale * (std::ldexp(1.0, -(Bits - 2)) * inverse_bound + 0x1p-45 * neg_log_mid + 0x1p-59);
    k = floor_exact(y);
    const double fraction = y - k;  // exact: y < 2^52
    unsettled = (fraction < err) | (fraction >= 1.0 - err) | ((leading >> (64 - Bits)) == 0);
}

// The lowest bit of v as 0.0 or 1.0 (without the conversion AVX2 lacks).
[[gnu::always_inline]] inline double low_bit(std::uint64_t v) noexcept {
    return std::bit_cast<double>((v & 1) | 0x4330000000000000ull) - 0x1p52;
}

// Discrete Laplace draws, one per 64-bit word of `words`: the top 52 bits begin the uniform W of the magnitude
// (its further bits, if needed, are drawn afresh), the lowest bit is the
// sign. `redo` marks an unsettled magnitude and a negative zero (drawn again).
SEGMORA_TARGET_CLONES_WIDE
void laplace_estimates(const std::uint32_t* words, std::size_t n, double scale, double* z, double* redo) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t leading = word64(words, i);
        double k;
        bool unsettled;
        geometric_estimate<52>(leading, scale, k, unsettled);
        const double negative = low_bit(leading);
        z[i] = k - 2.0 * negative * k;
        redo[i] = unsettled | ((negative == 1.0) & (k == 0.0)) ? 1.0 : 0.0;
    }
}

}  // namespace

SEGMORA_TARGET_CLONES_WIDE
void neg_log(const double* x, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = neg_log_one(x[i]);
}

SEGMORA_TARGET_CLONES_WIDE
void exp_neg(const double* x, double* out, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) out[i] = exp_neg_one(x[i]);
}

// ---- exact coins ----

namespace {

// Relative safety margin around a floating-point exp(-x) compared with random
// bits: every estimate here is within 2^-40, and the margin costs nothing, as
// no comparison resolves it (they use at most 32 bits).
constexpr double kMargin = 0x1p-34;
// The same for the Gaussian proposals' 15-bit coins, whose estimates are
// within 2^-24 (plus 2^-41 from the exponent's fraction).
constexpr double kCoinMargin = 0x1p-21;

// v (below 2^115) within a relative 2^-52, from two signed halves: the
// compiler's 128-bit and unsigned conversions are a library call and a branch.
inline double as_double(uint128 v) noexcept {
    return static_cast<double>(static_cast<std::int64_t>(v >> 52)) * 0x1p52 +
           static_cast<double>(static_cast<std::int64_t>(v & ((std::uint64_t{1} << 52) - 1)));
}

// floor(sqrt(v)) exactly.
std::uint64_t isqrt(std::uint64_t v) {
    auto r = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(v)));
    while (static_cast<uint128>(r) * r > v) --r;
    while (static_cast<uint128>(r + 1) * (r + 1) <= v) ++r;
    return r;
}

// Coins of exp(-1), one word each: true below `low`, false from `high` on,
// decided exactly in between.
class ExpMinusOneCoins {
public:
    ExpMinusOneCoins() {
        const double p = std::exp(-1.0) * 0x1p32;
        low_ = static_cast<std::uint32_t>(std::floor(p * (1.0 - kMargin)));  // word + 1 <= that: true
        high_ = static_cast<std::uint32_t>(std::ceil(p * (1.0 + kMargin)));  // word >= that: false
    }
    bool flip(WordSource& source) const {
        const std::uint32_t word = source.next_word();
        if (word < low_) return true;
        if (word >= high_) return false;
        LazyUniform u(word);
        return less_than_exp(u, 1, 1, source);
    }

private:
    std::uint32_t low_, high_;
};

constexpr std::size_t kChunk = 256;

}  // namespace

// ---- discrete Laplace ----

DiscreteLaplaceSampler::DiscreteLaplaceSampler(std::uint64_t scale) noexcept
    : scale_(scale), scale_d_(static_cast<double>(scale)) {}

std::int64_t DiscreteLaplaceSampler::magnitude(std::uint64_t leading, WordSource& source) const {
    // An estimate, then exact steps.
    LazyUniform w(leading);
    const double estimate = (leading >> 12) != 0 ? -std::log(midpoint_of<52>(leading)) : w.neg_log_estimate(source);
    const double k_estimate = std::floor(scale_d_ * estimate);
    std::int64_t k = k_estimate < 0x1p62 ? static_cast<std::int64_t>(k_estimate) : std::int64_t{1} << 62;
    while (k > 0 && !less_than_exp(w, static_cast<uint128>(k), scale_, source)) --k;
    while (less_than_exp(w, static_cast<uint128>(k) + 1, scale_, source)) ++k;
    return k;
}

double DiscreteLaplaceSampler::draw(std::uint64_t leading, NoiseSource& source) const {
    for (;;) {
        const bool negative = leading & 1;
        const std::uint64_t w = (leading & ~std::uint64_t{0xfff}) | (source.next_word() & 0xfff);
        const std::int64_t k = magnitude(w, source);
        if (!negative || k != 0) {
            const auto m = static_cast<double>(k);  // exact: k >= 2^53 has probability below e^-(2^22)
            return negative ? -m : m;
        }
        leading = source.next_u64();  // a negative zero is drawn again
    }
}

void DiscreteLaplaceSampler::sample(std::span<double> out, NoiseSource& source) const {
    // A negative zero is drawn again, so P(z) is proportional to exp(-|z|/scale)
    // for every integer z.
    std::uint32_t words[2 * kChunk];
    double redo[kChunk];
    for (std::size_t begin = 0; begin < out.size(); begin += kChunk) {
        const std::size_t n = std::min(kChunk, out.size() - begin);
        source.fill({words, 2 * n});
        laplace_estimates(words, n, scale_d_, out.data() + begin, redo);
        for (std::size_t i = 0; i < n; ++i)
            if (redo[i] != 0.0) out[begin + i] = draw(word64(words, i), source);
    }
}

// ---- discrete Gaussian ----

DiscreteGaussianSampler::DiscreteGaussianSampler(std::uint64_t variance) noexcept
    : variance_(variance),
      t_(isqrt(variance) + 1),
      denominator_(2 * static_cast<uint128>(variance) * t_ * t_),
      proposal_(t_) {}

namespace {

// The exponent (|y| t - S)² / 2St² of the acceptance exp(-exponent) split as
// whole + rest / denominator exactly (whole saturates far out, where no
// proposal is ever accepted).
struct Exponent {
    std::uint64_t whole;
    uint128 rest;
};

Exponent exact_exponent(std::uint64_t y, std::uint64_t t, std::uint64_t variance, uint128 denominator) {
    const auto diff = static_cast<std::int64_t>(y * t) - static_cast<std::int64_t>(variance);
    const std::uint64_t m = diff < 0 ? static_cast<std::uint64_t>(-diff) : static_cast<std::uint64_t>(diff);
    const uint128 numerator = static_cast<uint128>(m) * m;
    const uint128 whole = numerator / denominator;
    return {whole > (std::uint64_t{1} << 62) ? std::uint64_t{1} << 62 : static_cast<std::uint64_t>(whole),
            numerator % denominator};
}

// Bits of a Gaussian proposal's 64-bit word: the top 48 begin the uniform W of
// the proposal's magnitude, bit 15 is its sign, bits 14 to 0 begin the
// uniform of its acceptance coin. Bits beyond those, if needed, are drawn afresh.
constexpr int kProposalBits = 48;
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 15;
constexpr std::uint64_t kCoinBits = kSignBit - 1;

// Per proposal word: the proposal y, the whole part of its acceptance
// exponent, and the state: 1 accepted, 0 rejected, 2 accepted pending as many
// coins of exp(-1) as the whole part, 3 undecided. Undecided are an
// unsettled magnitude, a negative zero (rejected, as Canonne, Kamath and
// Steinke's sampler restarts), an exponent of 512 or more or whose fraction
// lies within 2^-30 of an integer (the double, within 2^-41 of it, might
// split it wrongly), and a coin the 15 bits cannot settle.
SEGMORA_TARGET_CLONES_WIDE
void gaussian_estimates(const std::uint32_t* words, std::size_t n, double t, double variance, double reciprocal,
                        double* proposal, double* whole, std::int64_t* state) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t word = word64(words, i);
        double k;
        bool unsettled;
        geometric_estimate<kProposalBits>(word, t, k, unsettled);
        const double negative = low_bit(word >> 15);
        proposal[i] = k - 2.0 * negative * k;
        const double diff = k * t - variance;  // exact while k t < 2^53
        const double g = diff * diff * reciprocal;
        const double w = floor_exact(g);  // meaningless where g >= 512, which is undecided
        const double f = g - w;
        const double estimate = exp_neg_coin(f) * 0x1p15;
        const double coin = std::bit_cast<double>((word & kCoinBits) | 0x4330000000000000ull) - 0x1p52;
        const bool accepted = coin + 1.0 <= estimate * (1.0 - kCoinMargin);
        const bool rejected = coin >= estimate * (1.0 + kCoinMargin);
        const bool undecided = unsettled | ((negative == 1.0) & (k == 0.0)) | (g >= 512.0) | (f < 0x1p-30) |
                               (f > 1.0 - 0x1p-30) | (k * t >= 0x1p52) | (!accepted & !rejected);
        whole[i] = w;
        state[i] = undecided ? 3 : accepted & (w != 0.0) ? 2 : accepted ? 1 : 0;
    }
}

}  // namespace

bool DiscreteGaussianSampler::decide(std::uint64_t word, double& y, WordSource& source) const {
    constexpr std::uint64_t kFar = std::uint64_t{1} << 36;
    const std::uint64_t fresh = source.next_word();
    const std::uint64_t w = (word & ~((std::uint64_t{1} << (64 - kProposalBits)) - 1)) | (fresh & 0xffff);
    const std::int64_t k = proposal_.magnitude(w, source);
    const bool negative = word & kSignBit;
    if (negative && k == 0) return false;
    if (static_cast<std::uint64_t>(k) >= kFar) return false;  // rejected outright
    y = negative ? -static_cast<double>(k) : static_cast<double>(k);
    const Exponent e = exact_exponent(static_cast<std::uint64_t>(k), t_, variance_, denominator_);
    LazyUniform coin(static_cast<std::uint32_t>(((word & kCoinBits) << 17) | (fresh >> 16 & 0x1ffff)));
    if (!less_than_exp(coin, e.rest, denominator_, source)) return false;
    static const ExpMinusOneCoins minus_one;
    for (std::uint64_t j = 0; j < e.whole; ++j)
        if (!minus_one.flip(source)) return false;
    return true;
}

void DiscreteGaussianSampler::sample(std::span<double> out, NoiseSource& source) const {
    // A proposal y is accepted with probability exp(-(|y| t - S)² / 2St²): as
    // many coins of exp(-1) as the exponent's whole part, and one coin of
    // exp(-fraction), all true.
    static const ExpMinusOneCoins minus_one;
    std::uint32_t words[2 * kChunk];
    double proposals[kChunk], kept[kChunk], whole[kChunk];
    std::int64_t state[kChunk];
    std::size_t open[kChunk];
    const double reciprocal = 1.0 / as_double(denominator_);
    std::size_t filled = 0;
    while (filled < out.size()) {
        const std::size_t need = out.size() - filled;
        const std::size_t m = std::min(kChunk, need + need / 3 + 4);  // acceptance is about 3/4
        source.fill({words, 2 * m});
        gaussian_estimates(words, m, static_cast<double>(t_), static_cast<double>(variance_), reciprocal, proposals,
                           whole, state);
        // The open proposals are settled first; then the accepted ones are
        // kept in proposal order, so that dropping those beyond `need` does
        // not depend on their values.
        std::size_t pending = 0;
        for (std::size_t i = 0; i < m; ++i) {
            open[pending] = i;
            pending += state[i] >= 2;
        }
        for (std::size_t p = 0; p < pending; ++p) {
            const std::size_t i = open[p];
            bool accept = true;
            if (state[i] == 2) {
                for (auto j = static_cast<std::uint64_t>(whole[i]); accept && j > 0; --j) accept = minus_one.flip(source);
            } else {
                accept = decide(word64(words, i), proposals[i], source);
            }
            state[i] = accept;
        }
        std::size_t count = 0;
        for (std::size_t i = 0; i < m; ++i) {
            kept[count] = proposals[i];
            count += static_cast<std::size_t>(state[i]);
        }
        const std::size_t take = std::min(count, need);
        std::copy(kept, kept + take, out.data() + filled);
        filled += take;
    }
}

// ---- calibration ----

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

// Below this epsilon the Laplace noise would span more than 2^31 grid steps
// even on the coarsest grid that still resolves the sensitivity.
constexpr double kSmallestEpsilon = 0x1p-30;

int floor_log2(double v) { return std::ilogb(v); }
int ceil_log2(double v) {
    const int e = std::ilogb(v);
    return std::ldexp(1.0, e) == v ? e : e + 1;
}

// The grid for a noise scale (Δ/ε or σ) and sensitivity Δ > 0: 2^e with e the
// largest such that 2^e <= min(Δ, scale) 2^-20, raised where needed to keep
// scale / 2^e <= 2^coarsest and Δ / 2^e <= 2^52. A scale that underflowed to 0
// (an enormous epsilon) leaves the resolution to Δ.
double grid_step(double sensitivity, double scale, int coarsest) {
    int e = floor_log2(scale > 0.0 ? std::min(sensitivity, scale) : sensitivity) - 20;
    if (scale > 0.0) e = std::max(e, ceil_log2(scale) - coarsest);
    e = std::max(e, ceil_log2(sensitivity) - 52);
    return std::ldexp(1.0, std::max(e, -1074));
}

// ln(erfc(z) / 2), accurate where erfc underflows too.
double log_half_erfc(double z) {
    if (z < 0.0) return std::log1p(-0.5 * std::erfc(-z));
    if (z < 26.0) return std::log(0.5 * std::erfc(z));
    // erfc(z) = exp(-z²) / (z sqrt(pi)) (1 - 1/2z² + 3/4z⁴ - 15/8z⁶ + 105/16z⁸ - ...)
    const double w = 1.0 / (z * z);
    const double series = 1.0 + w * (-0.5 + w * (0.75 + w * (-1.875 + w * 6.5625)));
    return -z * z - std::log(z * std::sqrt(std::numbers::pi)) + std::log(series) - std::numbers::ln2;
}

// ln(upper - e^epsilon lower) from the logarithms of both terms; -inf when not positive.
double log_difference(double log_upper, double epsilon, double log_lower) {
    const double subtracted = epsilon + log_lower;
    if (subtracted >= log_upper) return -std::numeric_limits<double>::infinity();
    return log_upper + std::log1p(-std::exp(subtracted - log_upper));
}

// ln δ of the continuous Gaussian mechanism with σ = s Δ at epsilon:
// Φ(1/2s - εs) - e^ε Φ(-1/2s - εs), with Φ(x) = erfc(-x/√2)/2.
double continuous_log_delta(double epsilon, double s) {
    const double a = 0.5 / s - epsilon * s, b = -0.5 / s - epsilon * s;
    return log_difference(log_half_erfc(-a / std::numbers::sqrt2), epsilon, log_half_erfc(-b / std::numbers::sqrt2));
}

// An upper bound of ln δ for the discrete Gaussian of variance S and integer
// sensitivity k at epsilon: δ = P[X > a] - e^ε P[X > a + k], a = εS/k - k/2.
// For integers m >= 1 the tail P[X >= m] lies between I(m) and I(m - 1), I(v)
// = erfc(v / √(2S)) / 2 (the weights decrease past 0 and their sum is √(2πS)
// to double precision for S >= 4); below 1 the symmetry P[X >= m] =
// 1 - P[X >= 1 - m] applies. The thresholds are widened by a step each way.
double discrete_log_delta_upper(double epsilon, double variance, double k) {
    const long double a = static_cast<long double>(epsilon) * variance / k - k / 2.0L;
    const double low = static_cast<double>(std::floor(a));        // <= the first integer above a
    const double high = static_cast<double>(std::floor(a)) + k + 2.0;  // >= the first integer above a + k
    const double scale = std::sqrt(2.0 * variance);
    const double log_upper =
        low >= 1.0 ? log_half_erfc((low - 1.0) / scale) : std::log1p(-0.5 * std::erfc((1.0 - low) / scale));
    const double log_lower = high >= 1.0 ? log_half_erfc(high / scale) : std::log1p(-0.5 * std::erfc(-high / scale));
    return log_difference(log_upper, epsilon, log_lower);
}

}  // namespace

double gaussian_sigma(double epsilon, double delta, double sensitivity) {
    require_epsilon(epsilon);
    require_delta(delta);
    require_sensitivity(sensitivity);
    if (epsilon < 1.0) return std::sqrt(2.0 * std::log(1.25 / delta)) * sensitivity / epsilon;
    // The smallest s = σ/Δ meeting δ: bracket it, then halve the bracket down
    // to adjacent doubles.
    const double log_delta = std::log(delta);
    const auto meets = [&](double s) { return continuous_log_delta(epsilon, s) <= log_delta; };
    double high = std::sqrt(2.0 * std::log(1.25 / delta)) / epsilon;
    while (!meets(high)) high *= 2.0;
    double low = high;
    while (meets(low)) low *= 0.5;
    for (;;) {
        const double mid = low + (high - low) * 0.5;
        if (mid <= low || mid >= high) break;
        (meets(mid) ? high : low) = mid;
    }
    return high * sensitivity;
}

NoiseGrid laplace_grid(double epsilon, double sensitivity) {
    require_epsilon(epsilon);
    require_sensitivity(sensitivity);
    NoiseGrid grid;
    if (sensitivity == 0.0) return grid;
    if (epsilon < kSmallestEpsilon)
        throw SegmoraError::invalid_config(
            format("epsilon must be at least 2^-30 for a sensitivity above 0, got {}", epsilon));
    const double scale = sensitivity / epsilon;
    if (!(scale <= 0x1p1000))
        throw SegmoraError::invalid_config(format("sensitivity / epsilon must be at most 2^1000, got {}", scale));
    grid.step = grid_step(sensitivity, scale, 30);
    grid.sensitivity_steps = std::max(1.0, std::ceil(sensitivity / grid.step));
    double t = std::ceil(grid.sensitivity_steps / epsilon);
    while (std::fma(t, epsilon, -grid.sensitivity_steps) < 0.0) t += 1.0;  // exactly t epsilon >= Δg
    grid.laplace_scale = static_cast<std::uint64_t>(t);
    return grid;
}

NoiseGrid gaussian_grid(double epsilon, double delta, double sensitivity) {
    const double sigma = gaussian_sigma(epsilon, delta, sensitivity);
    NoiseGrid grid;
    if (sensitivity == 0.0) return grid;
    const double per_sensitivity = sigma / sensitivity;
    if (!(per_sensitivity <= 0x1p26))
        throw SegmoraError::invalid_config(
            format("sigma / sensitivity must be at most 2^26, got {} (epsilon {}, delta {})", per_sensitivity, epsilon, delta));
    grid.step = grid_step(sensitivity, sigma, 25);
    grid.sensitivity_steps = std::max(1.0, std::ceil(sensitivity / grid.step));
    // σ in steps for sensitivity Δg, then S raised until the discrete bound meets δ.
    const double sigma_steps = per_sensitivity * grid.sensitivity_steps;
    auto variance = static_cast<std::uint64_t>(std::max(4.0, std::ceil(sigma_steps * sigma_steps)));
    const double log_delta = std::log(delta) - 0x1p-30;
    std::uint64_t step = std::max<std::uint64_t>(1, variance >> 24);
    while (discrete_log_delta_upper(epsilon, static_cast<double>(variance), grid.sensitivity_steps) > log_delta) {
        variance += step;
        step *= 2;
    }
    grid.variance = variance;
    return grid;
}

// ---- mechanisms ----

namespace {

// Each value rounded to the grid, floor(x / g + 1/2) g (values of 2^52 g and
// more are on it already), plus g z, clamped at zero (a NaN becoming 0.0).
// x / g is exact (g is a power of two) and so is q - floor(q), except for q in
// (-1, 0), which is settled by comparing q with -1/2.
SEGMORA_TARGET_CLONES_WIDE
void release(const double* in, double* out, const double* z, std::size_t n, double g) noexcept {
    const double whole = std::ldexp(g, 52), inverse = 1.0 / g;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = in[i];
        const double q = x * inverse;
        const double f = floor_exact(q);
        const double up = (q > -1.0) & (q < 0.0) ? (q >= -0.5 ? 1.0 : 0.0) : (q - f >= 0.5 ? 1.0 : 0.0);
        const double on_grid = std::fabs(x) < whole ? (f + up) * g : x;
        const double v = on_grid + g * z[i];
        out[i] = v > 0.0 ? v : 0.0;
    }
}

template <class Sampler>
void release_on_grid(std::span<const double> in, std::span<double> out, double g, const Sampler& sampler,
                     NoiseSource& source) {
    double noise[kChunk];
    for (std::size_t begin = 0; begin < in.size(); begin += kChunk) {
        if (begin % (64 * kChunk) == 0) poll_interrupt();  // a long call can be stopped; the output is new
        const std::size_t n = std::min(kChunk, in.size() - begin);
        sampler.sample({noise, n}, source);
        release(in.data() + begin, out.data() + begin, noise, n, g);
    }
}

void clamp_all(std::span<const double> in, std::span<double> out) noexcept {
    for (std::size_t i = 0; i < in.size(); ++i) out[i] = std::fmax(in[i], 0.0);  // fmax turns NaN into 0.0
}

}  // namespace

void add_laplace_noise(std::span<const double> in, std::span<double> out, double epsilon, double sensitivity,
                       NoiseSource& source) {
    const NoiseGrid grid = laplace_grid(epsilon, sensitivity);
    if (in.empty()) return;
    if (sensitivity == 0.0) return clamp_all(in, out);
    source.check_fork();
    release_on_grid(in, out, grid.step, DiscreteLaplaceSampler(grid.laplace_scale), source);
}

void add_gaussian_noise(std::span<const double> in, std::span<double> out, double epsilon, double delta,
                        double sensitivity, NoiseSource& source) {
    const NoiseGrid grid = gaussian_grid(epsilon, delta, sensitivity);
    if (in.empty()) return;
    if (sensitivity == 0.0) return clamp_all(in, out);
    source.check_fork();
    release_on_grid(in, out, grid.step, DiscreteGaussianSampler(grid.variance), source);
}

}  // namespace segmora::engine
