#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "engine/noise.hpp"
#include "engine/random.hpp"
#include "error.hpp"

using namespace segmora::engine;

namespace {

// Words handed out in order, then zeros.
class FixedWords final : public WordSource {
public:
    explicit FixedWords(std::vector<std::uint32_t> words) : words_(std::move(words)) {}
    std::uint32_t next_word() override { return next_ < words_.size() ? words_[next_++] : 0; }

private:
    std::vector<std::uint32_t> words_;
    std::size_t next_ = 0;
};

// The first 320 bits of exp(-a/d), from a 500-digit decimal evaluation.
struct ExpBits {
    uint128 a, d;
    std::array<std::uint32_t, 10> words;
};

const ExpBits kExpBits[] = {
    {1, 1, {0x5e2d58d8u, 0xb3bcdf1au, 0xbadec782u, 0x9054f90du, 0xda9805aau, 0xb56c7733u, 0x3024b9d0u, 0xa507daedu, 0xb16400bfu, 0x472b4215u}},
    {1, 3, {0xb76e9891u, 0x79752689u, 0xc5984c9cu, 0x50ebe4c9u, 0xa86a1febu, 0x960e6212u, 0x1fe12615u, 0x380ce967u, 0x9568f674u, 0x208c3ec9u}},
    {7, 5, {0x3f20fa87u, 0x6c0e2916u, 0xdab09808u, 0x38296bb7u, 0x541d2181u, 0x038aedbdu, 0x5f2df974u, 0xb3a968fcu, 0xc28f60c2u, 0xee6b6e7cu}},
    {45, 1, {0x00000000u, 0x00000000u, 0x872db9e8u, 0xffa9e7d4u, 0x1f2aaf39u, 0x897b91e4u, 0x002e70fcu, 0xeed39147u, 0x1fad73d5u, 0x1503772cu}},
    {(uint128{1} << 100) + 7, (uint128{1} << 101) - 3,
     {0x9b4597e3u, 0x7cb04ff3u, 0xd675a355u, 0x078f5b0fu, 0x7628ea4eu, 0x0bf0cb59u, 0x2ef0acfcu, 0x3ce5688bu, 0xf978d4b0u, 0x2a9559c9u}},
    {123456789, 1048576, {0x00000000u, 0x00000000u, 0x00000000u, 0x00000000u, 0x00000000u, 0x00468d0au, 0x0a13bd4cu, 0xd9dbf1fbu, 0xee5dffcdu, 0xd263a632u}},
};

}  // namespace

TEST(ChaCha12Blocks8, InterleavesTheBlocksOfTheScalarGenerator) {
    const std::array<std::uint32_t, 8> key = {1, 22, 333, 4444, 55555, 666666, 7777777, 88888888};
    const std::uint64_t counter = (std::uint64_t{1} << 32) - 3;  // the counter's high word changes inside
    std::uint32_t wide[128];
    chacha12_blocks8(key, counter, wide);
    for (std::uint64_t b = 0; b < 8; ++b) {
        std::uint32_t block[16];
        chacha_block(key, counter + b, 0, 12, block);
        for (int w = 0; w < 16; ++w) ASSERT_EQ(wide[8 * w + b], block[w]) << b << " " << w;
    }
}

TEST(NoiseSource, RekeysAfterItsWordQuotaAndFillsAcrossIt) {
    NoiseSource source;
    EXPECT_EQ(source.keyings(), 1u);
    std::vector<std::uint32_t> words(NoiseSource::kReseedWords - 5);
    source.fill(words);
    EXPECT_EQ(source.keyings(), 1u);
    std::vector<std::uint32_t> more(300);  // crosses the quota: the rest comes from a new key
    source.fill(more);
    EXPECT_EQ(source.keyings(), 2u);
    source.check_fork();  // same process: no rekey
    EXPECT_EQ(source.keyings(), 2u);
    const std::map<std::uint32_t, int> distinct = [&] {
        std::map<std::uint32_t, int> m;
        for (std::uint32_t w : more) ++m[w];
        return m;
    }();
    EXPECT_GT(distinct.size(), 295u);
}

TEST(NoiseSource, ForkedChildDoesNotReplayTheParent) {
    NoiseSource source;
    source.next_word();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    std::array<std::uint32_t, 8> draws{};
    if (pid == 0) {
        source.check_fork();
        for (auto& d : draws) d = source.next_word();
        const bool rekeyed = source.keyings() == 2;
        const ssize_t w1 = write(fds[1], draws.data(), sizeof draws);
        const ssize_t w2 = write(fds[1], &rekeyed, sizeof rekeyed);
        _exit(w1 == sizeof draws && w2 == sizeof rekeyed ? 0 : 1);
    }
    source.check_fork();
    for (auto& d : draws) d = source.next_word();
    std::array<std::uint32_t, 8> child{};
    bool rekeyed = false;
    ASSERT_EQ(read(fds[0], child.data(), sizeof child), static_cast<ssize_t>(sizeof child));
    ASSERT_EQ(read(fds[0], &rekeyed, sizeof rekeyed), static_cast<ssize_t>(sizeof rekeyed));
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(rekeyed);
    EXPECT_EQ(source.keyings(), 1u);
    EXPECT_NE(draws, child);
}

TEST(NoiseKernels, StayWithinTheirErrorBounds) {
    std::mt19937_64 rng(3);
    std::vector<double> x;
    for (int i = 0; i < 200000; ++i) x.push_back(std::ldexp(static_cast<double>(rng() >> 11) + 1.0, -53 - static_cast<int>(rng() % 12)));
    for (double v : {1.0, 0x1.fffffffffffffp-1, 0x1p-53, 0.5, 0x1.6a09e667f3bcdp-1, 0x1.6a09e667f3bccp-1}) x.push_back(v);
    std::vector<double> out(x.size());
    neg_log(x.data(), out.data(), x.size());
    long double worst = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const long double ref = -std::log(static_cast<long double>(x[i]));
        if (ref != 0) worst = std::max(worst, std::fabs((out[i] - ref) / ref));
        else EXPECT_EQ(out[i], 0.0);
    }
    EXPECT_LT(worst, 0x1p-48L);
    std::vector<double> y;
    for (int i = 0; i < 200000; ++i) y.push_back(static_cast<double>(rng() >> 11) * 0x1p-53);
    y.push_back(1.0);
    y.push_back(0.0);
    exp_neg(y.data(), out.data(), y.size());
    worst = 0;
    for (std::size_t i = 0; i < y.size(); ++i) {
        const long double ref = std::exp(-static_cast<long double>(y[i]));
        worst = std::max(worst, std::fabs((out[i] - ref) / ref));
    }
    EXPECT_LT(worst, 0x1p-46L);
}

TEST(LessThanExp, DecidesAtAnyDepthAgainstDecimalReferenceBits) {
    // W agrees with exp(-a/d) on the first 9 words and then falls one unit
    // below or above it in the 10th: the decision needs all 320 bits.
    for (const ExpBits& e : kExpBits) {
        for (const bool below : {true, false}) {
            for (const std::size_t known : {1u, 2u}) {
                std::vector<std::uint32_t> rest(e.words.begin() + static_cast<std::ptrdiff_t>(known), e.words.end());
                rest.back() += below ? -1u : 1u;
                FixedWords source(rest);
                LazyUniform w = known == 1 ? LazyUniform(e.words[0]) : LazyUniform((std::uint64_t{e.words[0]} << 32) | e.words[1]);
                EXPECT_EQ(less_than_exp(w, e.a, e.d, source), below) << static_cast<double>(e.a) / static_cast<double>(e.d);
            }
        }
    }
}

TEST(LessThanExp, AgreesWithLongDoubleWhereThatIsClear) {
    std::mt19937_64 rng(9);
    FixedWords nothing({});
    for (int i = 0; i < 3000; ++i) {
        const std::uint64_t a = rng() % 5000, d = 1 + rng() % 700;
        const std::uint64_t bits = rng() >> (rng() % 40);
        const long double w = std::ldexp(static_cast<long double>(bits), -64);
        const long double p = std::exp(-static_cast<long double>(a) / static_cast<long double>(d));
        if (std::fabs(w - p) < 0x1p-56L * (p + 0x1p-64L)) continue;
        LazyUniform u(bits);
        ASSERT_EQ(less_than_exp(u, a, d, nothing), w < p) << a << "/" << d << " " << bits;
    }
}

TEST(DiscreteLaplace, MagnitudeIsExactNextToEveryBoundary) {
    // W a little below exp(-k/T) has magnitude at least k; a little above, k - 1.
    FixedWords zeros({});
    for (std::uint64_t scale : {1u, 7u, 1000u, 1u << 30}) {
        const DiscreteLaplaceSampler sampler(scale);
        for (std::uint64_t k : {1u, 2u, 5u, 40u, 300u}) {
            const long double p = std::exp(-static_cast<long double>(k) / scale);
            if (p < 0x1p-40L) continue;
            const auto at = static_cast<std::uint64_t>(std::ldexp(p, 64));
            EXPECT_EQ(sampler.magnitude(at - 256, zeros), static_cast<std::int64_t>(k)) << scale << " " << k;
            EXPECT_EQ(sampler.magnitude(at + 256, zeros), static_cast<std::int64_t>(k) - 1) << scale << " " << k;
        }
    }
}

// Chi-square of 10^6 draws against P(z) proportional to `weight(z)`, over its
// quantile at 1e-9 (Wilson and Hilferty's approximation), so a sound sampler
// stays below 1. Every z expected at least 5 times has a bin of its own and the
// rest share one: a bin expected 0.01 times would let one legitimate rare draw
// add 100 to the statistic.
template <class Sampler, class Weight>
double chi_square_over_quantile(const Sampler& sampler, Weight weight) {
    constexpr int kReach = 400;
    constexpr double kDraws = 1e6;
    NoiseSource source;
    std::vector<double> z(static_cast<std::size_t>(kDraws));
    sampler.sample(z, source);
    double total = 0;
    for (int v = -kReach; v <= kReach; ++v) total += weight(v);
    std::vector<int> bin(2 * kReach + 1);
    std::vector<double> expected(1, 0.0);  // bin 0: the rest
    for (int v = -kReach; v <= kReach; ++v) {
        const double e = weight(v) / total * kDraws;
        bin[v + kReach] = e >= 5 ? static_cast<int>(expected.size()) : 0;
        if (e >= 5) expected.push_back(e);
        else expected[0] += e;
    }
    std::vector<double> observed(expected.size(), 0.0);
    for (double v : z) observed[std::fabs(v) <= kReach ? bin[static_cast<std::size_t>(v + kReach)] : 0] += 1;
    double chi = 0;
    for (std::size_t i = 0; i < expected.size(); ++i)
        chi += (observed[i] - expected[i]) * (observed[i] - expected[i]) / expected[i];
    const double df = static_cast<double>(expected.size() - 1), h = 2.0 / (9.0 * df);
    return chi / (df * std::pow(1.0 - h + 5.998 * std::sqrt(h), 3));
}

TEST(DiscreteSamplers, MatchTheirDistributions) {
    EXPECT_LT(chi_square_over_quantile(DiscreteLaplaceSampler(3), [](int v) { return std::exp(-std::abs(v) / 3.0); }), 1.0);
    EXPECT_LT(chi_square_over_quantile(DiscreteGaussianSampler(9), [](int v) { return std::exp(-v * v / 18.0); }), 1.0);
    EXPECT_LT(chi_square_over_quantile(DiscreteGaussianSampler(5), [](int v) { return std::exp(-v * v / 10.0); }), 1.0);
}

TEST(Calibration, AnalyticSigmaMatchesTheBalleWangEquation) {
    // Solved with SciPy's brentq on Phi(1/2s - e s) - e^e Phi(-1/2s - e s) = delta.
    const struct {
        double epsilon, delta, sigma;
    } rows[] = {{1.0, 1e-5, 3.7306316348159445}, {2.0, 1e-6, 2.230476271186419}, {10.0, 1e-10, 0.6830439672274808},
                {1.0, 0.5, 0.5070650314763314}};
    for (const auto& r : rows) EXPECT_NEAR(gaussian_sigma(r.epsilon, r.delta, 2.0), 2.0 * r.sigma, 2.0 * r.sigma * 1e-12);
    EXPECT_DOUBLE_EQ(gaussian_sigma(0.5, 1e-5, 1.0), std::sqrt(2.0 * std::log(1.25 / 1e-5)) / 0.5);
}

TEST(Calibration, GridsMeetTheirPrivacyExactly) {
    for (double epsilon : {1e-9, 1e-6, 0.01, 0.5, 1.0, 7.0, 1e4, 1e300}) {
        for (double sensitivity : {1e-300, 0.3, 1.0, 3e5}) {
            const NoiseGrid g = laplace_grid(epsilon, sensitivity);
            const double t = static_cast<double>(g.laplace_scale);
            EXPECT_GE(std::fma(t, epsilon, -g.sensitivity_steps), 0.0);  // Δg / T <= ε
            EXPECT_LT(std::fma(t - 1.0, epsilon, -g.sensitivity_steps), 0.0);  // and T is the least such
            EXPECT_GE(g.sensitivity_steps, sensitivity / g.step);
            EXPECT_LE(t, 0x1p31);
            EXPECT_EQ(std::ldexp(1.0, std::ilogb(g.step)), g.step);
        }
    }
    for (double epsilon : {0.01, 1.0, 40.0, 1e300})  // enormous epsilons: a tiny σ, still a grid that resolves Δ
        EXPECT_GE(gaussian_grid(epsilon, 1e-5, 1e-300).variance, 4u);
    const NoiseGrid g = gaussian_grid(1.0, 1e-5, 1.0);
    const double wanted = 3.7306316348159445 * g.sensitivity_steps;  // σ for sensitivity Δg, in steps
    EXPECT_GE(static_cast<double>(g.variance), wanted * wanted);
    EXPECT_LT(static_cast<double>(g.variance), wanted * wanted * (1.0 + 0x1p-16));
    EXPECT_EQ(g.step, 0x1p-20);
}

TEST(Noise, ParametersAreCheckedBeforeAnyDraw) {
    NoiseSource source;
    std::vector<double> data = {1.0};
    auto message = [](auto&& call) {
        try { call(); } catch (const segmora::SegmoraError& e) { return e.display(); }
        return std::string("no error");
    };
    EXPECT_EQ(message([&] { add_laplace_noise(data, data, 0.0, 1.0, source); }),
              "Invalid configuration: epsilon must be finite and > 0, got 0");
    EXPECT_EQ(message([&] { add_laplace_noise(data, data, 1.0, -1.0, source); }),
              "Invalid configuration: sensitivity must be finite and >= 0, got -1");
    EXPECT_EQ(message([&] { add_laplace_noise(data, data, 0x1p-31, 1.0, source); }),
              "Invalid configuration: epsilon must be at least 2^-30 for a sensitivity above 0, got 0.0000000004656612873077393");
    EXPECT_EQ(message([&] { add_gaussian_noise(data, data, 1.0, 1.0, 1.0, source); }),
              "Invalid configuration: delta must be in the open interval (0, 1), got 1");
    EXPECT_EQ(source.keyings(), 1u);
    EXPECT_EQ(data, std::vector<double>{1.0});
}
