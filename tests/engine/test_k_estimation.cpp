// How each k-estimation method picks k from its scores, and the vote.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/k_estimation.hpp"

using namespace segmora::engine::k_estimation;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Pick = std::pair<std::uint64_t, double>;  // k and confidence
Pick pick(const KEstimationResult& r) { return {r.k, r.confidence}; }
}  // namespace

TEST(Elbow, PicksTheFirstLargestCurvatureAndItsConfidence) {
    // Curvatures |60 - 10| = 50 at k 3 and |10 - 5| = 5 at k 4.
    const auto r = elbow_from_scores({{2, 100}, {3, 40}, {4, 30}, {5, 25}}, 2);
    EXPECT_EQ(r.method, "elbow");
    EXPECT_EQ(r.k, 3u);
    EXPECT_DOUBLE_EQ(r.confidence, 1.0 / (std::pow(4.0, 0.25) + 1.0));
    EXPECT_EQ(elbow_from_scores({{1, 10}, {2, 5}, {3, 5}, {4, 0}}, 1).k, 2u);  // 5 at k 2 and at k 3
    EXPECT_EQ(elbow_from_scores({{1, 30}, {2, 20}, {3, 10}}, 1).k, 1u);       // a straight line
    EXPECT_EQ(elbow_from_scores({{1, 30}, {2, kNaN}, {3, 10}}, 1).k, 1u);     // NaN never wins
    EXPECT_EQ(elbow_from_scores({{2, 100}, {3, 1}}, 2).k, 2u);
    EXPECT_EQ(elbow_from_scores({}, 5).confidence, 1.0);
    EXPECT_EQ(elbow_from_scores({{1, 1}}, 1).confidence, 0.5);
    Scores sixteen;
    for (std::uint64_t k = 1; k <= 16; ++k) sixteen.emplace_back(k, 1.0);
    EXPECT_DOUBLE_EQ(elbow_from_scores(sixteen, 1).confidence, 1.0 / 3.0);
}

TEST(Silhouette, TiesGoToTheLargerKAndNaNIsSkipped) {
    EXPECT_EQ(silhouette_from_scores({{2, 0.5}, {3, 0.7}, {4, 0.7}, {5, 0.1}}, 2).k, 4u);
    EXPECT_EQ(pick(silhouette_from_scores({{2, 0.5}, {3, kNaN}, {4, 0.2}}, 2)), Pick(2, 0.5));
    EXPECT_EQ(pick(silhouette_from_scores({{2, kNaN}, {3, kNaN}}, 2)), Pick(2, -kInf));
    EXPECT_EQ(silhouette_from_scores({{3, -0.25}}, 3).confidence, -0.25);
}

TEST(Gap, SmallestKWithinOneSpreadOfTheNext) {
    using Row = std::tuple<Scores, std::vector<double>, Pick>;  // gaps from k_min = first k (7 when none)
    for (const auto& [gaps, spread, expected] : {
             // 0.5 < 1.2 - 0.1; 1.2 >= 1.25 - 0.1: k 2, its gap clamped to 1.
             Row{{{1, 0.5}, {2, 1.2}, {3, 1.25}, {4, 1.1}}, {0.1, 0.1, 0.1, 0.1}, Pick(2, 1.0)},
             Row{{{1, 0.5}, {2, 0.55}}, {0.0, 0.05}, Pick(1, 0.5)},  // equality passes
             Row{{{1, 0.1}, {2, 0.3}, {3, 0.5}}, {0.01, 0.01, 0.01}, Pick(3, 0.5)},  // none passes: largest gap
             Row{{{1, 0.6}, {2, 0.9}, {3, 0.9}, {4, 1.5}}, {0.0, 0.0, 0.0, 0.0}, Pick(2, 0.9)},
             Row{{{1, kNaN}, {2, 0.4}, {3, 0.3}}, {kNaN, 0.0, 0.2}, Pick(2, 0.4)},  // NaN never passes
             Row{{{1, kNaN}, {2, kNaN}}, {kNaN, kNaN}, Pick(1, 0.0)},
             Row{{{2, -0.2}}, {0.1}, Pick(2, 0.0)},
             Row{{}, {}, Pick(7, 0.0)},
         }) {
        const auto r = gap_from_scores(gaps, spread, gaps.empty() ? 7 : gaps.front().first);
        EXPECT_EQ(pick(r), expected);
        EXPECT_EQ(r.method, "gap_statistic");
    }
}

TEST(Vote, MajorityAndTies) {
    // Three different answers: the smallest k, whatever the order.
    using V = std::tuple<int, int, int, std::uint64_t, double>;
    for (auto [a, b, c, k, confidence] :
         {V{3, 3, 3, 3, 1.0}, V{4, 2, 4, 4, 2.0 / 3.0}, V{5, 2, 7, 2, 1.0 / 3.0}, V{7, 5, 2, 2, 1.0 / 3.0},
          V{2, 5, 7, 2, 1.0 / 3.0}}) {
        const auto r = vote(a, b, c);
        EXPECT_EQ(pick(r), Pick(k, confidence)) << a << b << c;
        EXPECT_EQ(r.method, "ensemble");
        EXPECT_TRUE(r.scores.empty());
    }
}
