// Behavioral rule segmentation: conditions, rules, prioritised segments and the
// segmenter that classifies customer records and renders SQL.
//
// A Condition compares one customer field with a value; a BehavioralRule joins
// conditions with AND, OR or NOT; a BehavioralSegment holds only if all of its
// rules hold. In memory only Number values with the six ordered comparisons are
// evaluated (equality within 1e-10); In and Contains, and Text or List values,
// exist for SQL rendering and are skipped (Or, Not) or fail the rule (And).
// Customer records map field names to doubles (a keyed-hash map: the names
// come from callers); names compare exactly. A record needs only the fields
// the conditions name (fields_named): the others never change a result.
// Rendering never fails. Text values are quoted with embedded quotes doubled, and
// segment names in export comments have every line terminator and NUL replaced
// by a space, so no
// caller-supplied text can end a literal or a comment. Number values must be
// finite when built through make_number_condition.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/keyed_hash.hpp"

namespace segmora::engine {

enum class ComparisonOp { GreaterThan, LessThan, GreaterOrEqual, LessOrEqual, Equal, NotEqual, In, Contains };

// ">", "<", ">=", "<=", "=", "!=", "IN", "CONTAINS".
std::string_view sql_text(ComparisonOp op) noexcept;

// The operator written as one of ">", "<", ">=", "<=", "==", "=", "!=", "<>",
// "in", "IN", "contains", "CONTAINS" (case-sensitive); nothing otherwise.
std::optional<ComparisonOp> parse_comparison_op(std::string_view text) noexcept;

enum class AggregateFunction { Sum, Avg, Count, Min, Max };

// "SUM", "AVG", "COUNT", "MIN", "MAX".
std::string_view sql_text(AggregateFunction fn) noexcept;

// Right-hand side of a condition: a number, a text or a list of texts.
struct RuleValue {
    std::variant<double, std::string, std::vector<std::string>> value;

    static RuleValue number(double v) { return {v}; }
    static RuleValue text(std::string s) { return {std::move(s)}; }
    static RuleValue list(std::vector<std::string> items) { return {std::move(items)}; }

    const double* as_number() const noexcept { return std::get_if<double>(&value); }
    // 100 / 0.25; 'text' with every ' doubled; (a, b) unquoted.
    std::string to_sql() const;
};

struct Condition {
    std::string field;
    ComparisonOp op = ComparisonOp::Equal;
    RuleValue value;
    std::optional<AggregateFunction> aggregate;
    std::optional<std::uint32_t> time_window_days;

    // The condition's WHERE text: [AGG(]field[)][ in last N days] op value.
    std::string to_sql() const;
    // Whether the customer's value x satisfies a Number condition.
    bool holds(double x) const noexcept;
};

// A condition on `field` with a Number value, no aggregate and no window. Throws
// InvalidConfig if `field` is not a valid SQL identifier, `op` is In or Contains
// (they need a list or text value) or `value` is NaN or infinite.
Condition make_number_condition(std::string field, ComparisonOp op, double value);

enum class LogicalOperator { And, Or, Not };

using CustomerData = StringMap<double>;

struct BehavioralRule {
    std::string name;
    std::string description;
    std::vector<Condition> conditions;
    LogicalOperator logic = LogicalOperator::And;

    // "1=1" without conditions; else conditions joined by AND / OR, or NOT (... OR ...).
    std::string to_sql() const;
    bool passes(const CustomerData& customer) const;
};

struct BehavioralSegment {
    std::string name;
    std::string description;
    std::vector<BehavioralRule> rules;
    std::uint32_t priority = 0;

    // True without rules; else every rule passes, tested in order.
    bool matches(const CustomerData& customer) const;
    // "1=1" without rules; else "((rule1) AND (rule2))".
    std::string to_sql() const;
};

struct BehavioralSegmenter {
    std::vector<BehavioralSegment> segments;  // in the caller's order, never sorted

    // Names of all matching segments, in segmenter order.
    std::vector<std::string> classify(const CustomerData& customer) const;
    // The matching segment of highest priority; equal priorities go to the later one.
    std::optional<std::string> classify_primary(const CustomerData& customer) const;
    // One "-- Segment: {name}\nSELECT * FROM customers WHERE {sql};\n\n" block per segment.
    std::string export_sql() const;
};

// Every field the conditions of these segments name, sorted, each once.
std::vector<std::string_view> fields_named(std::span<const BehavioralSegment> segments);

}  // namespace segmora::engine
