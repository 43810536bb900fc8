// Every sort of float_sort.hpp and simd_sort.hpp against std::sort by the
// order-preserving image (so -0 before +0, byte for byte), on both sides of
// every size threshold (two samples at once shared by two workers included) and
// on the value patterns that steer their digit and pivot choices; the
// vectorised sort also with its partition levels cut short.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>

#include "engine/float_sort.hpp"
#include "engine/simd_sort.hpp"

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
    {"signed zeros", [](std::mt19937_64& g, std::size_t) { return g() % 2 ? 0.0 : -0.0; }},
    {"ascending", [](std::mt19937_64&, std::size_t i) { return static_cast<double>(i); }},
    {"descending", [](std::mt19937_64&, std::size_t i) { return -static_cast<double>(i); }},
    {"two values", [](std::mt19937_64&, std::size_t i) { return i % 3 ? 7.5 : -7.5; }},
    {"one value", [](std::mt19937_64&, std::size_t) { return 3.25; }},
};

const std::size_t kSizes[] = {0, 1, 7, 8, 9, 127, 128, 129, 255, 256, 1023, 1024, 4097, 40000, 140000};

std::int64_t image(double v) {
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits ^ ((bits >> 63) & std::numeric_limits<std::int64_t>::max());
}

// The sample, the same with a NaN before every seventh value, and its numbers in order.
struct Case {
    std::vector<double> plain, with_nan, expected;
};

Case make_case(const Pattern& pattern, std::size_t n) {
    std::mt19937_64 g(n);
    Case c;
    for (std::size_t i = 0; i < n; ++i) {
        c.plain.push_back(pattern.draw(g, i));
        if (i % 7 == 0) c.with_nan.push_back(i % 2 ? std::nan("") : -std::nan(""));
        c.with_nan.push_back(c.plain.back());
    }
    c.expected = c.plain;
    std::sort(c.expected.begin(), c.expected.end(), [](double a, double b) { return image(a) < image(b); });
    return c;
}

::testing::AssertionResult same_bytes(const std::vector<double>& got, std::size_t count, const std::vector<double>& want) {
    if (count == want.size() && (count == 0 || std::memcmp(got.data(), want.data(), count * sizeof(double)) == 0))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "count " << count << " of " << want.size();
}

TEST(FloatSort, EverySortAgreesWithStdSortByImage) {
    for (const Pattern& pattern : kPatterns) {
        for (const std::size_t n : kSizes) {
            SCOPED_TRACE(::testing::Message() << pattern.name << " n=" << n);
            const Case c = make_case(pattern, n);
            std::vector<double> v = c.plain;
            sort_numbers(v);
            EXPECT_TRUE(same_bytes(v, n, c.expected));
            v = c.with_nan;
            EXPECT_EQ(drop_nan_and_sort(v), (n + 6) / 7);
            EXPECT_TRUE(same_bytes(v, v.size(), c.expected));
            v = c.with_nan;
            EXPECT_TRUE(same_bytes(v, radix_sort_prefix(v, true), c.expected));
            // Two samples at once, one copied from a source left alone, one in place.
            std::vector<double> copied, in_place = c.with_nan;
            const std::vector<double> source = c.with_nan;
            SampleSort samples[] = {{source, &copied}, {in_place, &in_place}};
            sort_samples(samples);
            EXPECT_TRUE(same_bytes(copied, copied.size(), c.expected));
            EXPECT_TRUE(same_bytes(in_place, in_place.size(), c.expected));
            EXPECT_EQ(samples[0].count, n);
            EXPECT_TRUE(source.empty() || std::memcmp(source.data(), c.with_nan.data(), source.size() * sizeof(double)) == 0);
            if (!simd_sort_available()) continue;
            for (const int levels : {0, 1, 3}) {  // std::sort takes over after that many partitions
                v = c.with_nan;
                EXPECT_TRUE(same_bytes(v, sort_numbers_simd(v.data(), v.size(), v.data(), true, levels), c.expected))
                    << "levels " << levels;
            }
        }
    }
}

}  // namespace
}  // namespace segmora::engine
