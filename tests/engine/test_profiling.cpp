// Core-only parts of profiling: the statistics and the importance list.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "engine/cohorts.hpp"
#include "engine/profiling.hpp"

namespace segmora::engine {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(SegmentStatistics, OrderStatisticsOfAnEvenCountAndNaNLast) {
    const std::vector<double> values{4, 1, 3, 2, 8, 6};
    const SegmentStatistics s = SegmentStatistics::from_values(values);
    EXPECT_EQ(s.mean, 4.0);
    EXPECT_EQ(s.median, 3.5);
    EXPECT_EQ(s.min, 1.0);
    EXPECT_EQ(s.max, 8.0);
    EXPECT_EQ(s.q25, 2.0);  // sorted[1]
    EXPECT_EQ(s.q75, 6.0);  // sorted[4]
    EXPECT_DOUBLE_EQ(s.std, std::sqrt(34.0 / 6.0));
    const std::vector<double> with_nan{kNaN, 3, kNaN, 1, 2};  // NaN sorts after every number
    const SegmentStatistics n = SegmentStatistics::from_values(with_nan);
    EXPECT_EQ(n.min, 1.0);
    EXPECT_EQ(n.median, 3.0);
    EXPECT_EQ(n.q25, 2.0);
    EXPECT_TRUE(std::isnan(n.max));
    EXPECT_TRUE(std::isnan(n.mean));
}

TEST(Profiling, ImportanceHighestFirstNaNLastAndNamesRepeatInPlace) {
    std::vector<FeatureColumn> features{{4, {1, 1}}, {0, {0, 10}}, {2, {kNaN, 1}}, {1, {0, 1}}};
    const std::vector<std::uint64_t> members{0, 1};
    const std::vector<std::string> names{"a", "b", "a"};
    const SegmentProfile p = ProfilingEngine::profile_segment_with_labels(1, members, features, names, std::nullopt);
    ASSERT_EQ(p.importance.size(), 4u);
    EXPECT_EQ(p.importance[0].name, "a");  // feature 0: 5 / 10
    EXPECT_EQ(p.importance[1].name, "b");  // feature 1: 0.5 / 1, ties keep index order
    EXPECT_EQ(p.importance[2].name, "feature_4");
    EXPECT_TRUE(std::isnan(p.importance[3].importance));
    EXPECT_DOUBLE_EQ(p.importance[1].normalized, p.importance[1].importance / 4.0);
    ASSERT_EQ(p.statistics.size(), 3u);  // feature 2 is named "a" too: it replaces feature 0's entry in place
    EXPECT_EQ(p.statistics[0].first, "a");
    EXPECT_TRUE(std::isnan(p.statistics[0].second.mean));
}

TEST(Cohorts, SizeDifferenceIsSigned64Bit) {
    Cohort a, b;
    a.size = std::uint64_t{5} << 32;
    b.size = 1;
    EXPECT_EQ(compare_cohorts(a, b).size_diff, 1 - (std::int64_t{5} << 32));
}

}  // namespace
}  // namespace segmora::engine
