// Engine-only parts of behavioral rules: Not logic, Text and List values,
// aggregates and time windows, which Python cannot build.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/behavioral.hpp"
#include "error.hpp"

namespace segmora::engine {
namespace {

Condition cond(std::string field, ComparisonOp op, RuleValue value) {
    return Condition{std::move(field), op, std::move(value), std::nullopt, std::nullopt};
}

BehavioralRule rule(std::vector<Condition> conditions, LogicalOperator logic) {
    return BehavioralRule{"r", "d", std::move(conditions), logic};
}

BehavioralSegment segment(std::vector<BehavioralRule> rules) { return BehavioralSegment{"s", "", std::move(rules), 0}; }

TEST(BehavioralSql, AggregateAndWindow) {
    Condition c{"orders", ComparisonOp::GreaterOrEqual, RuleValue::number(5), AggregateFunction::Sum, 30u};
    EXPECT_EQ(c.to_sql(), "SUM(orders) in last 30 days >= 5");
    c.aggregate = AggregateFunction::Count;
    c.time_window_days.reset();
    EXPECT_EQ(c.to_sql(), "COUNT(orders) >= 5");
    c.aggregate.reset();
    c.time_window_days = 0u;
    EXPECT_EQ(c.to_sql(), "orders in last 0 days >= 5");
}

TEST(BehavioralSql, TextDoublesEmbeddedQuotesListsAndNumbers) {
    EXPECT_EQ(cond("city", ComparisonOp::Equal, RuleValue::text("Paris")).to_sql(), "city = 'Paris'");
    EXPECT_EQ(cond("city", ComparisonOp::Equal, RuleValue::text("O'Hare")).to_sql(), "city = 'O''Hare'");
    EXPECT_EQ(cond("c", ComparisonOp::NotEqual, RuleValue::text("x' OR '1'='1")).to_sql(), "c != 'x'' OR ''1''=''1'");
    EXPECT_EQ(cond("c", ComparisonOp::Contains, RuleValue::text("")).to_sql(), "c CONTAINS ''");
    EXPECT_EQ(cond("c", ComparisonOp::Equal, RuleValue::text("''")).to_sql(), "c = ''''''");
    EXPECT_EQ(cond("tier", ComparisonOp::In, RuleValue::list({"1", "2", "3"})).to_sql(), "tier IN (1, 2, 3)");
    EXPECT_EQ(cond("tier", ComparisonOp::In, RuleValue::list({})).to_sql(), "tier IN ()");
    EXPECT_EQ(cond("x", ComparisonOp::LessThan, RuleValue::number(0.1)).to_sql(), "x < 0.1");
    EXPECT_EQ(cond("x", ComparisonOp::LessThan, RuleValue::number(1e21)).to_sql(), "x < 1000000000000000000000");
}

TEST(BehavioralNot, SqlAndMatching) {
    const auto r = rule({cond("a", ComparisonOp::GreaterThan, RuleValue::number(1)),
                         cond("b", ComparisonOp::LessThan, RuleValue::number(2))},
                        LogicalOperator::Not);
    EXPECT_EQ(r.to_sql(), "NOT (a > 1 OR b < 2)");
    EXPECT_EQ(rule({}, LogicalOperator::Not).to_sql(), "1=1");
    const auto s = segment({r});
    EXPECT_TRUE(s.matches({}));                          // empty data passes Not
    EXPECT_TRUE(s.matches({{"a", 0}, {"b", 5}}));        // nothing holds
    EXPECT_FALSE(s.matches({{"a", 5}}));                 // a holds; b missing is skipped
    EXPECT_FALSE(s.matches({{"a", 0}, {"b", 1}}));
    EXPECT_TRUE(s.matches({{"c", 9}}));                  // every condition skipped
    EXPECT_TRUE(s.matches({{"a", std::nan("")}}));       // NaN holds nothing
    EXPECT_TRUE(segment({rule({}, LogicalOperator::Not)}).matches({{"a", 1}}));
}

TEST(BehavioralMatch, TextListInContainsAreNotEvaluated) {
    const Condition text = cond("a", ComparisonOp::Equal, RuleValue::text("1"));
    const Condition in = cond("a", ComparisonOp::In, RuleValue::number(1));
    const Condition yes = cond("a", ComparisonOp::Equal, RuleValue::number(1));
    const CustomerData data{{"a", 1}};
    EXPECT_FALSE(segment({rule({yes, text}, LogicalOperator::And)}).matches(data));
    EXPECT_FALSE(segment({rule({yes, in}, LogicalOperator::And)}).matches(data));
    EXPECT_TRUE(segment({rule({text, in, yes}, LogicalOperator::Or)}).matches(data));
    EXPECT_FALSE(segment({rule({text, in}, LogicalOperator::Or)}).matches(data));
    EXPECT_TRUE(segment({rule({text, in}, LogicalOperator::Not)}).matches(data));
}

TEST(BehavioralCondition, NumberConditionChecks) {
    EXPECT_NO_THROW(make_number_condition("stats.orders", ComparisonOp::Equal, 0));
    EXPECT_THROW(make_number_condition("1x", ComparisonOp::Equal, 0), SegmoraError);
    try {
        make_number_condition("x", ComparisonOp::Equal, -INFINITY);
        FAIL();
    } catch (const SegmoraError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::InvalidConfig);
        EXPECT_STREQ(e.what(), "Invalid configuration: condition value must be a finite number, got -inf");
    }
    for (ComparisonOp op : {ComparisonOp::In, ComparisonOp::Contains}) {
        try {
            make_number_condition("x", op, 1);
            FAIL();
        } catch (const SegmoraError& e) {
            EXPECT_EQ(e.display(), "Invalid configuration: operator " + std::string(sql_text(op)) +
                                       " needs a list or text value, not a number");
        }
    }
}

TEST(BehavioralSegmenterTest, ExportNeutralisesLineBreaksOnly) {
    BehavioralSegmenter s{{BehavioralSegment{"a\nb\rc\td", "", {}, 0}}};
    EXPECT_EQ(s.export_sql(), "-- Segment: a b c\td\nSELECT * FROM customers WHERE 1=1;\n\n");
}

}  // namespace
}  // namespace segmora::engine
