// Core RFM pieces Python cannot pin exactly: instants, day counts, decay at a
// zero half-life, the segment vocabulary and score_dimension on its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/rfm.hpp"

namespace segmora::engine {
namespace {

TEST(Rfc3339, AcceptedGivesTheUtcInstant) {
    const struct {
        const char* text;
        std::int64_t seconds;
        std::uint32_t nanos;
    } cases[] = {{"1970-01-01T00:00:00Z", 0, 0}, {"2024-03-01T10:00:00Z", 1709287200, 0},
                 {"2024-03-01 12:00:00+02:00", 1709287200, 0}, {"2024-03-01t04:30:00.5-05:30", 1709287200, 500000000},
                 {"2024-03-01T10:00:00.1234567899z", 1709287200, 123456789}, {"1969-12-31T23:59:59.25Z", -1, 250000000},
                 {"2016-12-31T23:59:60Z", 1483228800, 0},  // leap second reads as the next second
                 {"2000-02-29T00:00:00Z", 951782400, 0}, {"0000-01-01T00:00:00Z", -62167219200, 0},
                 {"9999-12-31T23:59:59+23:59", 253402300799 - 86340, 0}};
    for (const auto& c : cases) {
        const auto got = parse_rfc3339(c.text);
        EXPECT_TRUE(got.has_value()) << c.text;
        if (!got) continue;
        EXPECT_EQ(got->seconds, c.seconds) << c.text;
        EXPECT_EQ(got->nanos, c.nanos) << c.text;
    }
}

TEST(Rfc3339, RejectedGivesNothing) {
    for (const char* text : {"", "2024-03-01", "2024-03-01T10:00:00", "1900-02-29T00:00:00Z", "2024-02-30T00:00:00Z",
                             "2024-13-01T00:00:00Z", "2024-03-01T24:00:00Z", "2024-03-01T23:60:00Z",
                             "2024-03-01T23:59:61Z", "2024-03-01T10:00:00+24:00", "2024-03-01T10:00:00.Z",
                             "2024-03-01T10:00:00+2:00", "+2024-03-01T10:00:00Z", "2024-03-01T10:00:00Z\n",
                             "2024-03-01T10:00:00UTC"})
        EXPECT_FALSE(parse_rfc3339(text).has_value()) << text;
}

TEST(WholeDays, TruncateTowardZero) {
    const Instant now{10 * 86400, 500};
    EXPECT_EQ(whole_days_between({10 * 86400, 500}, now), 0);
    EXPECT_EQ(whole_days_between({9 * 86400, 500}, now), 1);
    EXPECT_EQ(whole_days_between({9 * 86400, 501}, now), 0);  // one nanosecond short of a day
    EXPECT_EQ(whole_days_between({9 * 86400 - 1, 0}, now), 1);
    EXPECT_EQ(whole_days_between({11 * 86400, 500}, now), -1);
    EXPECT_EQ(whole_days_between({11 * 86400, 499}, now), 0);  // ahead by a nanosecond short of a day
    EXPECT_EQ(whole_days_between({-5 * 86400, 0}, {0, 0}), 5);
}

TEST(Decay, ZeroHalfLifeFollowsPlainArithmeticAndLinearSpanDoesNotWrap) {
    EXPECT_TRUE(std::isnan(decay_weight(DecayFunction::Linear, 0.0, 0)));
    EXPECT_EQ(decay_weight(DecayFunction::Linear, 3.0, 0), 0.0);
    EXPECT_EQ(decay_weight(DecayFunction::Linear, -3.0, 0), 1.0);
    EXPECT_EQ(decay_weight(DecayFunction::Exponential, 0.0, 0), 1.0);  // 2^NaN dropped by the minimum
    EXPECT_EQ(decay_weight(DecayFunction::Exponential, 4.0, 0), 0.0);
    EXPECT_TRUE(std::isnan(decay_weight(DecayFunction::Inverse, 0.0, 0)));
    EXPECT_EQ(decay_weight(DecayFunction::Inverse, 4.0, 0), 0.0);
    // 3 x 2^31 would wrap in 32 bits.
    EXPECT_EQ(decay_weight(DecayFunction::Linear, 0.0, 0x80000000u), 1.0);
    EXPECT_GT(decay_weight(DecayFunction::Linear, 100.0, 0x80000000u), 0.99);
}

TEST(Vocabulary, ThirteenTypesInOrder) {
    const auto& all = segment_types();
    ASSERT_EQ(all.size(), 13u);
    for (std::size_t i = 0; i < all.size(); ++i) EXPECT_EQ(static_cast<std::size_t>(all[i].type), i);
    EXPECT_EQ(display_name(SegmentType::AtRiskSleeping), "At Risk - Sleeping");
    EXPECT_EQ(description(SegmentType::Hibernating), "Inactive but potentially recoverable customers");
}

TEST(Scoring, NanSortsLastAndStable) {
    const double nan = std::nan("");
    const double values[] = {nan, 2.0, nan, 3.0, 2.0};
    std::vector<RFMScore> scores(5);
    for (std::size_t i = 0; i < 5; ++i) {
        scores[i].customer_id = std::to_string(i);
        scores[i].monetary = values[i];
    }
    score_dimension(scores, &RFMScore::monetary, &RFMScore::monetary_score, ScoringMethod::Quintile);
    std::string order;
    for (const auto& s : scores) order += s.customer_id;
    EXPECT_EQ(order, "31402");
    EXPECT_EQ(scores[4].monetary_score, 1u);
}

TEST(Scoring, LatestFirstIsStableOverSecondsAndNanoseconds) {
    const std::vector<Instant> last = {{5, 0}, {7, 0}, {5, 0}, {7, 1}, {-3, 0}, {-3, 999}, {INT64_MIN, 0}};
    EXPECT_EQ(latest_first(last), (std::vector<std::uint32_t>{3, 1, 0, 2, 5, 4, 6}));
    const std::vector<Instant> whole = {{1, 0}, {3, 0}, {2, 0}, {3, 0}};  // equal fractions: one pass
    EXPECT_EQ(latest_first(whole), (std::vector<std::uint32_t>{1, 3, 2, 0}));
    EXPECT_TRUE(latest_first({}).empty());
}

}  // namespace
}  // namespace segmora::engine
