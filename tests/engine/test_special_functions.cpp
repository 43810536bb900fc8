#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "engine/special_functions.hpp"

using namespace segmora::engine;

namespace {

// Distance in units in the last place of `expected`.
double ulps(double got, double expected) {
    if (got == expected) return 0.0;
    return std::fabs(got - expected) / (std::nextafter(std::fabs(expected), INFINITY) - std::fabs(expected));
}

struct ArrayCase {
    const char* name;
    void (*array)(const double*, double*, std::size_t) noexcept;
    double (*exact)(double);
    double low, high;  // inputs exp(uniform(low, high)) for log, uniform(low, high) otherwise
    bool exponential;
    double max_ulps;
};

}  // namespace

TEST(SpecialFunctions, ArrayKernelsStayWithinAnUlpOrTwoOfTheLibrary) {
    const ArrayCase cases[] = {
        {"log", log_array, [](double v) { return std::log(v); }, -700, 700, true, 1},
        {"exp", exp_array, [](double v) { return std::exp(v); }, -708, 709, false, 1},
        {"log1p", log1p_array, [](double v) { return std::log1p(v); }, -40, 0, true, 2},
    };
    std::mt19937_64 rng(7);
    for (const ArrayCase& c : cases) {
        std::uniform_real_distribution<double> draw(c.low, c.high);
        std::vector<double> in(100'003), out(in.size());  // an odd length: the last group of four is partial
        for (double& v : in) v = c.exponential ? std::exp(draw(rng)) : draw(rng);
        in[0] = c.exponential ? 1.0 : 0.0;
        c.array(in.data(), out.data(), in.size());
        double worst = 0.0;
        for (std::size_t i = 0; i < in.size(); ++i) worst = std::max(worst, ulps(out[i], c.exact(in[i])));
        EXPECT_LE(worst, c.max_ulps) << c.name;
        EXPECT_EQ(out[0], c.exact(in[0])) << c.name;
    }
    const double extremes[] = {-800.0, 800.0};  // clamped into the kernel's range
    double clamped[2];
    exp_array(extremes, clamped, 2);
    EXPECT_EQ(clamped[0], std::exp(-708.0));
    EXPECT_EQ(clamped[1], std::exp(709.0));
}

TEST(SpecialFunctions, GammaFamilyMatchesTheLibraryAndItsRecurrences) {
    for (double x : {1e-8, 0.1, 0.5, 1.0, 1.5, 2.0, 3.7, 9.99, 10.0, 42.5, 1e4, 1e12}) {
        EXPECT_NEAR(log_gamma(x), std::lgamma(x), 4e-15 * std::max(1.0, std::fabs(std::lgamma(x)))) << x;
        // psi(x + 1) = psi(x) + 1/x, psi'(x + 1) = psi'(x) - 1/x^2, and psi = d lgamma / dx
        EXPECT_NEAR(digamma(x + 1.0), digamma(x) + 1.0 / x, 1e-14 * std::max(1.0, 1.0 / x)) << x;
        EXPECT_NEAR(trigamma(x + 1.0), trigamma(x) - 1.0 / (x * x), 1e-14 * trigamma(x)) << x;
        const double h = 1e-5 * x;
        EXPECT_NEAR(digamma(x), (log_gamma(x + h) - log_gamma(x - h)) / (2 * h), 1e-6 * std::max(1.0, std::fabs(digamma(x)))) << x;
    }
    EXPECT_NEAR(digamma(1.0), -0.57721566490153286, 1e-15);
    EXPECT_NEAR(trigamma(1.0), 1.6449340668482264, 1e-15);  // pi^2 / 6
    EXPECT_TRUE(std::isnan(log_gamma(0.0)) && std::isnan(digamma(-1.0)) && std::isnan(trigamma(NAN)));
}

TEST(SpecialFunctions, HypergeometricMatchesClosedFormsOnBothSidesOfZero) {
    struct Case {
        double a, b, c, z, expected;
    };
    const Case cases[] = {
        {1, 1, 2, 0.5, -std::log(0.5) / 0.5},              // -log(1 - z) / z
        {1, 1, 2, -3.0, std::log(4.0) / 3.0},               // beyond |z| = 1, through Pfaff
        {1, 1, 2, -0.25, std::log(1.25) / 0.25},
        {0.5, 0.5, 1.5, 0.81, std::asin(0.9) / 0.9},        // arcsin(sqrt z) / sqrt z
        {0.5, 1.0, 1.5, -4.0, std::atan(2.0) / 2.0},        // arctan(sqrt -z) / sqrt -z
        {2.5, 3.0, 3.0, 0.99, std::pow(0.01, -2.5)},        // (1 - z)^-a
        {-3, 2, 5, 0.7, 1 - 3 * 2 * 0.7 / 5 + 3 * 2 * 3 * 0.49 / (5 * 6) - 6 * 2 * 3 * 4 * 0.343 / (5 * 6 * 7 * 6)},
    };
    for (const Case& c : cases) EXPECT_NEAR(hyp2f1(c.a, c.b, c.c, c.z), c.expected, 1e-14 * std::fabs(c.expected)) << c.z;
    EXPECT_NEAR(1.0 + 1.0 * hyp2f1_rest_over_b(1, 1, 2, 0.5) / 2.0, hyp2f1(1, 1, 2, 0.5), 1e-15);
    EXPECT_NEAR(hyp2f1_rest_over_b(0.5, 2.0, 3.0, 0.3), 3.0 * (hyp2f1(0.5, 2.0, 3.0, 0.3) - 1.0) / 2.0, 1e-15);
    // c = 0: a z 2F1(a+1, b+1; 2; z); b = 0: the limit from either side
    EXPECT_NEAR(hyp2f1_rest_over_b(0.5, 2.0, 0.0, 0.3), 0.5 * 0.3 * hyp2f1(1.5, 3.0, 2.0, 0.3), 1e-15);
    EXPECT_NEAR(hyp2f1_rest_over_b(0.5, 0.0, 2.0, 0.3), hyp2f1_rest_over_b(0.5, 1e-9, 2.0, 0.3), 1e-9);
    EXPECT_NEAR(hyp2f1_rest_over_b(0.5, 0.0, 2.0, 0.3), hyp2f1_rest_over_b(0.5, -1e-9, 2.0, 0.3), 1e-9);
    EXPECT_TRUE(std::isnan(hyp2f1(1, 1, -2, 0.5)) && std::isnan(hyp2f1(1, 1, 2, 1.0)));
}
