#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/privacy.hpp"
#include "error.hpp"

using namespace segmora::engine;

TEST(ExactSum, KeepsEverySumExactlyAndRoundsItToNearest) {
    ExactSum sum;
    for (int i = 0; i < 10; ++i) sum.add(0.1);
    EXPECT_EQ(sum.nearest(), 1.0);  // 10 x 0.1000000000000000055511 rounds to 1
    sum.subtract(1.0);
    EXPECT_EQ(sum.nearest(), 0x1p-54);  // 0.1 is 3602879701896397 2^-55
    ExactSum mixed;
    for (double v : {1e308, 1e308, -1e308, 4.9406564584124654e-324, -1e308})
        mixed.add(v);
    EXPECT_EQ(mixed.nearest(), 4.9406564584124654e-324);
    EXPECT_EQ(mixed.parts(), std::vector<double>{4.9406564584124654e-324});
    ExactSum ties;  // 1 + 2^-53 lies halfway: to even, 1; 1 + 3 2^-53: to 1 + 2^-51
    ties.add(1.0);
    ties.add(0x1p-53);
    EXPECT_EQ(ties.nearest(), 1.0);
    ties.add(0x1p-52);
    EXPECT_EQ(ties.nearest(), 1.0 + 0x1p-51);
    EXPECT_EQ(ties.parts(), (std::vector<double>{1.0 + 0x1p-51, -0x1p-53}));
    ExactSum negative;
    negative.subtract(0.3);
    EXPECT_EQ(negative.sign(), -1);
    EXPECT_EQ(negative.nearest(), -0.3);
}

TEST(PrivacyBudget, RefusesParametersAndBadRestores) {
    auto message = [](auto&& call) {
        try { call(); } catch (const segmora::SegmoraError& e) { return e.display(); }
        return std::string("no error");
    };
    EXPECT_EQ(message([] { PrivacyBudget(0.0, 0.0); }), "Invalid configuration: epsilon must be finite and > 0, got 0");
    EXPECT_EQ(message([] { PrivacyBudget(1.0, 1.0); }), "Invalid configuration: delta must be in [0, 1), got 1");
    const double parts[] = {0.5, 0x1p-60};
    EXPECT_EQ(message([&] { PrivacyBudget::restore(0.5, 0.0, parts); }),
              "Data validation error: remaining_epsilon is not between 0 and epsilon");
    const PrivacyBudget b = PrivacyBudget::restore(1.0, 0.0, parts);
    EXPECT_EQ(b.remaining_parts(), (std::vector<double>{0.5, 0x1p-60}));
}

TEST(KAnonymity, GroupingMatchesAnOrderedReference) {
    // Values share long prefixes (beyond what a table slot holds), batches and
    // table growth are crossed, and ("ab", "c") / ("a", "bc") style splits occur.
    std::mt19937 rng(5);
    const std::size_t n_rows = 5000, n_quasi = 2;
    std::vector<std::string> values;
    for (std::size_t i = 0; i < n_rows * n_quasi; ++i)
        values.push_back(std::string(rng() % 3 == 0 ? 14 : 0, 'p') + std::string(rng() % 4, 'a') + "b" +
                         std::string(rng() % 3, 'b'));
    std::map<std::vector<std::string>, std::size_t> reference;
    std::vector<std::size_t> expected;
    for (std::size_t r = 0; r < n_rows; ++r) {
        std::vector<std::string> key(values.begin() + r * n_quasi, values.begin() + (r + 1) * n_quasi);
        expected.push_back(reference.emplace(key, reference.size()).first->second);
    }
    const QuasiIdentifierGroups g = group_rows(values, n_rows, n_quasi);
    EXPECT_EQ(g.group_of_row, expected);
    std::vector<std::uint64_t> sizes(reference.size(), 0);
    for (std::size_t e : expected) ++sizes[e];
    EXPECT_EQ(g.group_sizes, sizes);
    EXPECT_GT(reference.size(), 64u);
}
