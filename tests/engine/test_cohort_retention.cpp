// Cohort retention core: calendar periods and their labels at year boundaries,
// and a small table checked cell by cell.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "engine/cohort_retention.hpp"
#include "engine/thread_pool.hpp"

namespace segmora::engine {
namespace {

std::int64_t at(const char* text) { return parse_rfc3339(text)->seconds; }

struct LabelCase {
    CalendarPeriod period;
    const char* when;
    const char* label;
};

class Labels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(Labels, PeriodOfAnInstantAndItsLabel) {
    const LabelCase& c = GetParam();
    const std::optional<std::int64_t> number = calendar_period_of(c.period, at(c.when));
    ASSERT_TRUE(number.has_value());
    EXPECT_EQ(calendar_period_label(c.period, *number), c.label);
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, Labels,
    ::testing::Values(LabelCase{CalendarPeriod::Week, "2020-12-31T23:59:59Z", "2020-W53"},
                      LabelCase{CalendarPeriod::Week, "2021-01-03T12:00:00Z", "2020-W53"},
                      LabelCase{CalendarPeriod::Week, "2021-01-04T00:00:00Z", "2021-W01"},
                      LabelCase{CalendarPeriod::Week, "2024-12-30T00:00:00Z", "2025-W01"},
                      LabelCase{CalendarPeriod::Week, "1969-12-29T00:00:00Z", "1970-W01"},
                      LabelCase{CalendarPeriod::Week, "1969-12-28T23:59:59Z", "1969-W52"},
                      LabelCase{CalendarPeriod::Month, "1969-12-31T23:59:59Z", "1969-12"},
                      LabelCase{CalendarPeriod::Month, "2024-02-29T23:00:00-05:00", "2024-03"},
                      LabelCase{CalendarPeriod::Quarter, "2024-04-01T00:00:00Z", "2024-Q2"},
                      LabelCase{CalendarPeriod::Quarter, "0001-03-31T00:00:00Z", "0001-Q1"},
                      LabelCase{CalendarPeriod::Year, "1999-12-31T23:59:60Z", "2000"}),
    [](const ::testing::TestParamInfo<LabelCase>& info) {
        std::string name = std::to_string(info.index) + "_" + info.param.label;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

TEST(CohortRetention, TableCellByCell) {
    // a: Jan, Jan, Mar. b: Feb, Apr. c: Mar only. d: no purchase. Purchases after as_of are left out.
    const char* stamps[] = {"2024-01-05T00:00:00Z", "2024-01-20T00:00:00Z", "2024-03-02T00:00:00Z",
                            "2024-02-10T00:00:00Z", "2024-04-01T00:00:00Z", "2024-03-31T23:59:59Z",
                            "2024-06-01T00:00:00Z"};
    Grouping groups;
    groups.group_of = {0, 0, 0, 1, kSkippedRow, 1, 2, 3, 2};
    groups.first_row = {0, 3, 5, 6};
    std::vector<std::optional<Instant>> when;
    for (const char* s : stamps) when.push_back(parse_rfc3339(s));
    when.insert(when.begin() + 6, std::nullopt);  // d's purchase has no time
    when.insert(when.begin() + 4, parse_rfc3339("2024-03-01T00:00:00Z"));  // a skipped row counts for nothing
    const std::vector<double> amounts(when.size(), 1.0);
    const auto pool = build_thread_pool(2);
    const CohortTable t = cohort_retention(groups, {when, amounts}, CalendarPeriod::Month,
                                           parse_rfc3339("2024-04-15T00:00:00Z"), *pool);
    ASSERT_EQ(t.cohorts.size(), 3u);
    EXPECT_EQ(calendar_period_label(CalendarPeriod::Month, t.cohorts[0]), "2024-01");
    EXPECT_EQ(t.ages, 4u);
    EXPECT_EQ(t.active, (std::vector<std::uint64_t>{1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(t.customers, (std::vector<std::uint64_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}));
    for (std::size_t cell = 0; cell < 12; ++cell) {
        const bool reached = cell % 4 <= 3 - cell / 4;  // Jan reaches age 3 by April, Feb 2, Mar 1
        EXPECT_EQ(std::isnan(t.retention[cell]), !reached) << "cell " << cell;
        if (reached) {
            EXPECT_EQ(t.retention[cell], static_cast<double>(t.active[cell]));
        }
    }
}

}  // namespace
}  // namespace segmora::engine
