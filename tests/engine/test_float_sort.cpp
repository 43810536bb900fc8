// The radix sorts against std::sort, on both sides of every size threshold and
// on the value patterns that steer their digit choices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "engine/float_sort.hpp"

namespace segmora::engine {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Pattern {
    const char* name;
    std::function<double(std::mt19937_64&, std::size_t)> draw;
};

const Pattern kPatterns[] = {
    {"normal", [](std::mt19937_64& g, std::size_t) { return std::normal_distribution<double>()(g); }},
    {"two decimals", [](std::mt19937_64& g, std::size_t) { return std::round(std::normal_distribution<double>()(g) * 100) / 100; }},
    {"unit interval", [](std::mt19937_64& g, std::size_t) { return std::uniform_real_distribution<double>()(g); }},
    {"every exponent", [](std::mt19937_64& g, std::size_t i) {
         if (i % 97 == 0) return i % 2 ? kInf : -kInf;
         if (i % 89 == 0) return i % 2 ? 0.0 : -0.0;
         return std::ldexp(static_cast<double>(static_cast<std::int64_t>(g() % 2001) - 1000), static_cast<int>(g() % 2000) - 1000);
     }},
    {"one dense cluster", [](std::mt19937_64& g, std::size_t i) {
         return i % 50 == 0 ? std::exp(std::normal_distribution<double>(0, 20)(g)) : 1000.0 + std::ldexp(static_cast<double>(g() % 4096), -40);
     }},
    {"two values", [](std::mt19937_64&, std::size_t i) { return i % 3 ? 7.5 : -7.5; }},
    {"one value", [](std::mt19937_64&, std::size_t) { return 3.25; }},
};

TEST(FloatSort, AgreesWithStdSortAndDropsNaN) {
    for (const Pattern& pattern : kPatterns) {
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{255}, std::size_t{256}, std::size_t{5000}, std::size_t{40000}, std::size_t{140000}}) {
            std::mt19937_64 g(n);
            std::vector<double> xs(n);
            for (std::size_t i = 0; i < n; ++i) xs[i] = pattern.draw(g, i);
            std::vector<double> expected = xs;
            std::sort(expected.begin(), expected.end());
            std::vector<double> sorted = xs;
            sort_numbers(sorted);
            ASSERT_TRUE(std::equal(sorted.begin(), sorted.end(), expected.begin())) << pattern.name << " n=" << n;

            std::vector<double> with_nan;
            for (std::size_t i = 0; i < n; ++i) {
                if (i % 7 == 0) with_nan.push_back(std::nan(""));
                with_nan.push_back(xs[i]);
            }
            EXPECT_EQ(drop_nan_and_sort(with_nan), (n + 6) / 7) << pattern.name << " n=" << n;
            ASSERT_TRUE(std::equal(with_nan.begin(), with_nan.end(), expected.begin(), expected.end())) << pattern.name << " n=" << n;
        }
    }
}

}  // namespace
}  // namespace segmora::engine
