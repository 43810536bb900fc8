// Differential-privacy noise released on a grid that does not depend on the data.
//
// Floating-point noise added to a floating-point value leaks: which doubles can
// come out depends on the input, so one output can tell neighbouring inputs
// apart (Mironov, CCS 2012). Here every output is an integer multiple of a
// power of two g chosen from the parameters alone. A value x is rounded to
// r = floor(x/g + 1/2), integer noise z is added, and g (r + z) is released,
// clamped at zero (a NaN becoming 0.0). The sensitivity in grid steps is
// Δg = ceil(Δ/g), so neighbouring inputs give r values at most Δg apart.
//
// Laplace: z has P(z) proportional to exp(-|z|/T), T = ceil(Δg/ε) steps, so
// the privacy loss is at most Δg/T <= ε: pure ε-differential privacy, with no
// extra factor. g is the largest power of two not above min(Δ, Δ/ε) 2^-20
// (coarser only where needed to keep Δ/(εg) <= 2^30 and Δg <= 2^52); the
// noise's scale g T exceeds Δ/ε by a factor of at most 1 + 2^-19 for ε >= 0.002,
// and ε below 2^-30 is refused.
//
// Gaussian: z is a discrete Gaussian, P(z) proportional to exp(-z²/2S). σ is
// the classical sqrt(2 ln(1.25/δ)) Δ/ε for ε < 1 and, for ε >= 1, the analytic
// Gaussian mechanism's (Balle and Wang 2018): the smallest σ for which
// Φ(Δ/2σ - εσ/Δ) - e^ε Φ(-Δ/2σ - εσ/Δ) <= δ, solved by bisection to adjacent
// doubles. g is the largest power of two not above min(Δ, σ) 2^-20 (coarser
// only where needed to keep σ/g <= 2^25 and Δg <= 2^52; σ above 2^26 Δ is
// refused); S starts at ceil((σ Δg/Δ)²) steps² and is raised until a rigorous
// upper bound of the discrete Gaussian's exact δ for sensitivity Δg
// (Canonne, Kamath and Steinke 2020, Theorem 7; tail sums bounded by Gaussian
// integrals) is at most δ: (ε, δ)-differential privacy.
//
// The samplers are exact. A discrete Laplace magnitude is the largest k with
// W < exp(-k/T) for a uniform W (inversion), with a random sign (a negative
// zero is drawn again); the discrete Gaussian is the rejection sampler of
// Canonne, Kamath and Steinke (proposals from the discrete Laplace with
// t = floor(sqrt(S)) + 1, accepted with probability exp(-(|y|t - S)² / 2St²)).
// Every decision compares random bits with exp(-a/d) for integers a and d:
// vectorised floating-point estimates (a logarithm for the magnitudes, an
// exponential for the coins) with a safety margin settle almost all of them,
// exact integer arithmetic (exact_exp.hpp) the rest. The only departure from
// the exact distributions: a Gaussian proposal beyond 2^36 steps (probability
// below e^-1000) is rejected outright. The bits come from a ChaCha12 stream
// keyed from the operating system, so the guarantees hold against any
// adversary that cannot tell ChaCha12 from random. Draws are made in blocks.
//
// Parameter errors are SegmoraError InvalidConfig naming the parameter and its
// value, raised before any draw; the output is then untouched. A long call
// polls for interrupts between blocks of values (Interrupted).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/exact_exp.hpp"
#include "engine/random.hpp"

namespace segmora::engine {

// A ChaCha12 stream keyed from the operating system's entropy (getrandom,
// falling back to std::random_device), rekeyed after every kReseedWords words
// and whenever the process id differs from the one it was keyed in, so a
// forked child never replays its parent's stream. Never seeded from the clock
// or a constant. Words are produced eight ChaCha blocks at a time.
class NoiseSource final : public WordSource {
public:
    static constexpr std::uint64_t kReseedWords = std::uint64_t{1} << 18;  // 1 MiB of output

    NoiseSource();
    // Rekeys now if the process has forked since the last keying.
    void check_fork();
    std::uint32_t next_word() override;
    std::uint64_t next_u64() {
        const std::uint64_t hi = next_word();
        return (hi << 32) | next_word();
    }
    // Fills `out` with the next words of the stream.
    void fill(std::span<std::uint32_t> out);
    // How many times the source has been keyed (1 after construction).
    std::uint64_t keyings() const noexcept { return keyings_; }

private:
    static constexpr std::size_t kBufferWords = 128;  // eight blocks
    void rekey();
    void refill();

    std::array<std::uint32_t, 8> key_{};
    std::uint64_t counter_ = 0;
    std::uint32_t buffer_[kBufferWords] = {};
    std::size_t index_ = kBufferWords;
    std::uint64_t words_left_ = 0;
    long pid_ = 0;
    std::uint64_t keyings_ = 0;
};

// The calling thread's own source, created on its first use.
NoiseSource& thread_noise_source();

// ---- exact integer samplers ----

// Draws integers z (as doubles) with P(z) proportional to exp(-|z| / scale),
// 1 <= scale <= 2^31.
class DiscreteLaplaceSampler {
public:
    explicit DiscreteLaplaceSampler(std::uint64_t scale) noexcept;
    void sample(std::span<double> out, NoiseSource& source) const;
    // The largest k with W < exp(-k / scale) for the uniform W that begins with
    // the 64 bits of `leading`, exactly.
    std::int64_t magnitude(std::uint64_t leading, WordSource& source) const;

private:
    // One draw, exactly: W's top 52 bits and the sign (lowest bit) from `leading`.
    double draw(std::uint64_t leading, NoiseSource& source) const;
    std::uint64_t scale_;
    double scale_d_;
};

// Draws integers z (as doubles) with P(z) proportional to exp(-z² / 2 variance),
// 4 <= variance <= 2^52 + 2^30.
class DiscreteGaussianSampler {
public:
    explicit DiscreteGaussianSampler(std::uint64_t variance) noexcept;
    void sample(std::span<double> out, NoiseSource& source) const;

private:
    // The exact fate of one proposal word (see noise.cpp): true and the
    // accepted y, or false.
    bool decide(std::uint64_t word, double& y, WordSource& source) const;

    std::uint64_t variance_;
    std::uint64_t t_;  // floor(sqrt(variance)) + 1, the proposal's scale
    uint128 denominator_;  // 2 variance t²
    DiscreteLaplaceSampler proposal_;
};

// ---- mechanisms ----

// The grid and the noise in grid steps for one parameter set.
struct NoiseGrid {
    double step = 1.0;                 // g, a power of two
    double sensitivity_steps = 0.0;    // ceil(Δ / g)
    std::uint64_t laplace_scale = 0;   // T (Laplace)
    std::uint64_t variance = 0;        // S (Gaussian)
};

// The Laplace grid of the header comment; InvalidConfig for a bad parameter or
// a scale Δ/ε beyond 2^1017 (no grid of doubles can carry it).
NoiseGrid laplace_grid(double epsilon, double sensitivity);
// The Gaussian grid of the header comment; InvalidConfig likewise.
NoiseGrid gaussian_grid(double epsilon, double delta, double sensitivity);

// σ for (ε, δ) and sensitivity Δ: classical below ε = 1, analytic from 1 on.
double gaussian_sigma(double epsilon, double delta, double sensitivity);

// Laplace mechanism: out[i] is in[i] released as the header says (with
// sensitivity 0, max(in[i], 0) and no noise). `out` has in's size and may be
// `in` itself.
void add_laplace_noise(std::span<const double> in, std::span<double> out, double epsilon, double sensitivity,
                       NoiseSource& source);
// Gaussian mechanism, likewise.
void add_gaussian_noise(std::span<const double> in, std::span<double> out, double epsilon, double delta,
                        double sensitivity, NoiseSource& source);

// ---- kernels (exposed for their accuracy tests) ----

// out[i] = -ln(x[i]) for normal x[i] in (0, 1]; relative error below 2^-48.
void neg_log(const double* x, double* out, std::size_t n) noexcept;
// out[i] = exp(-x[i]) for x[i] in [0, 1]; relative error below 2^-46.
void exp_neg(const double* x, double* out, std::size_t n) noexcept;

}  // namespace segmora::engine
