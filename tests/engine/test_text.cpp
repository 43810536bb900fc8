#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "text.hpp"
#include "error.hpp"

using segmora::Fixed;
using segmora::format;

TEST(Text, FloatsPrintShortestWithoutExponentOrTrailingZero) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::string tiny = "0." + std::string(323, '0') + "5";
    const std::pair<double, std::string> cases[] = {
        {1.0, "1"}, {0.1, "0.1"}, {-2.5, "-2.5"}, {1e21, "1000000000000000000000"}, {1e23, "100000000000000000000000"},
        {123456789012345680000.0, "123456789012345680000"}, {-1.5e300, "-15" + std::string(299, '0')}, {5e-324, tiny},
        {-5e-324, "-" + tiny}, {1234.5678, "1234.5678"}, {-0.0, "-0"}, {0.0, "0"}, {1.5e-7, "0.00000015"},
        {0.1 + 0.2, "0.30000000000000004"}, {std::nan(""), "NaN"}, {inf, "inf"}, {-inf, "-inf"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(format("{}", value), text);
}

TEST(Text, FixedPointAndOtherValues) {
    EXPECT_EQ(format("{}", Fixed{0.0, 2}), "0.00");
    EXPECT_EQ(format("{}", Fixed{2.345678, 4}), "2.3457");
    EXPECT_EQ(format("{}", Fixed{std::nan(""), 2}), "NaN");
    EXPECT_EQ(format("{} {}", true, false), "true false");
    EXPECT_EQ(format("n_clusters ({}) cannot exceed number of data points ({})", 2ull, 1ul),
              "n_clusters (2) cannot exceed number of data points (1)");
    EXPECT_EQ(format("x={}", -7), "x=-7");
    EXPECT_EQ(format("{} and {}", "a"), "a and {}");
}

TEST(SegmoraError, DisplayTextsCarryTheirPrefix) {
    using segmora::ErrorKind;
    using segmora::SegmoraError;
    EXPECT_STREQ(SegmoraError(ErrorKind::InvalidConfig, "x").what(), "Invalid configuration: x");
    EXPECT_STREQ(SegmoraError(ErrorKind::DataValidation, "x").what(), "Data validation error: x");
    EXPECT_STREQ(SegmoraError(ErrorKind::Clustering, "x").what(), "Clustering error: x");
    EXPECT_STREQ(SegmoraError(ErrorKind::Io, "x").what(), "IO error: x");
    EXPECT_STREQ(SegmoraError(ErrorKind::Arrow, "x").what(), "Arrow error: x");
    EXPECT_EQ(SegmoraError(ErrorKind::Arrow, "x").message(), "x");
}
