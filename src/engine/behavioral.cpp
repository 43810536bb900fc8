#include "engine/behavioral.hpp"

#include <algorithm>
#include <cmath>

#include "engine/sql_export.hpp"
#include "text.hpp"
#include "error.hpp"

namespace segmora::engine {

namespace {

constexpr double kEqualTolerance = 1e-10;

struct OpName {
    std::string_view text;
    ComparisonOp op;
};

constexpr OpName kOpNames[] = {
    {">", ComparisonOp::GreaterThan},     {"<", ComparisonOp::LessThan},   {">=", ComparisonOp::GreaterOrEqual},
    {"<=", ComparisonOp::LessOrEqual},    {"==", ComparisonOp::Equal},     {"=", ComparisonOp::Equal},
    {"!=", ComparisonOp::NotEqual},       {"<>", ComparisonOp::NotEqual},  {"in", ComparisonOp::In},
    {"IN", ComparisonOp::In},             {"contains", ComparisonOp::Contains}, {"CONTAINS", ComparisonOp::Contains},
};

template <class Items, class Render>
std::string join(const Items& items, std::string_view sep, Render render) {
    std::string out;
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += sep;
        first = false;
        out += render(item);
    }
    return out;
}

// The customer's value of the condition's field when the condition can be tested
// in memory (Number value, ordered or equality operator, field present).
std::optional<double> testable_value(const Condition& c, const CustomerData& customer) {
    if (!c.value.as_number() || c.op == ComparisonOp::In || c.op == ComparisonOp::Contains) return std::nullopt;
    const auto it = customer.find(c.field);
    if (it == customer.end()) return std::nullopt;
    return it->second;
}

// `text` with CR and LF replaced by spaces, so it stays on one comment line.
// Every line terminator Unicode or Python's str.splitlines() knows (LF, VT, FF,
// CR, FS, GS, RS, NEL, LS, PS) and NUL become one space each.
std::string single_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0 || (c >= 0x0A && c <= 0x0D) || (c >= 0x1C && c <= 0x1E)) {
            out += ' ';
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85) {
            out += ' ';  // U+0085
            i += 1;
        } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xA8 || static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
            out += ' ';  // U+2028, U+2029
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace

std::string_view sql_text(ComparisonOp op) noexcept {
    switch (op) {
        case ComparisonOp::GreaterThan: return ">";
        case ComparisonOp::LessThan: return "<";
        case ComparisonOp::GreaterOrEqual: return ">=";
        case ComparisonOp::LessOrEqual: return "<=";
        case ComparisonOp::Equal: return "=";
        case ComparisonOp::NotEqual: return "!=";
        case ComparisonOp::In: return "IN";
        case ComparisonOp::Contains: return "CONTAINS";
    }
    return "";
}

std::optional<ComparisonOp> parse_comparison_op(std::string_view text) noexcept {
    for (const OpName& name : kOpNames)
        if (name.text == text) return name.op;
    return std::nullopt;
}

std::string_view sql_text(AggregateFunction fn) noexcept {
    switch (fn) {
        case AggregateFunction::Sum: return "SUM";
        case AggregateFunction::Avg: return "AVG";
        case AggregateFunction::Count: return "COUNT";
        case AggregateFunction::Min: return "MIN";
        case AggregateFunction::Max: return "MAX";
    }
    return "";
}

std::string RuleValue::to_sql() const {
    if (const double* number = std::get_if<double>(&value)) return to_text(*number);
    if (const std::string* text = std::get_if<std::string>(&value)) {
        std::string out = "'";
        for (char c : *text) {
            if (c == '\'') out += '\'';  // a doubled quote stays inside the literal
            out += c;
        }
        out += '\'';
        return out;
    }
    const auto& items = std::get<std::vector<std::string>>(value);
    return format("({})", join(items, ", ", [](const std::string& s) { return s; }));
}

std::string Condition::to_sql() const {
    std::string out;
    if (aggregate) out += format("{}({})", sql_text(*aggregate), field);
    else out += field;
    if (time_window_days) out += format(" in last {} days", *time_window_days);
    out += format(" {} {}", sql_text(op), value.to_sql());
    return out;
}

bool Condition::holds(double x) const noexcept {
    const double* number = value.as_number();
    if (!number) return false;
    const double v = *number;
    switch (op) {
        case ComparisonOp::GreaterThan: return x > v;
        case ComparisonOp::LessThan: return x < v;
        case ComparisonOp::GreaterOrEqual: return x >= v;
        case ComparisonOp::LessOrEqual: return x <= v;
        case ComparisonOp::Equal: return std::fabs(x - v) < kEqualTolerance;
        case ComparisonOp::NotEqual: return std::fabs(x - v) >= kEqualTolerance;
        case ComparisonOp::In:
        case ComparisonOp::Contains: return false;
    }
    return false;
}

Condition make_number_condition(std::string field, ComparisonOp op, double value) {
    validate_identifier(field);
    if (op == ComparisonOp::In || op == ComparisonOp::Contains)
        throw SegmoraError::invalid_config(format("operator {} needs a list or text value, not a number", sql_text(op)));
    if (!std::isfinite(value))
        throw SegmoraError::invalid_config(format("condition value must be a finite number, got {}", value));
    return Condition{std::move(field), op, RuleValue::number(value), std::nullopt, std::nullopt};
}

std::string BehavioralRule::to_sql() const {
    if (conditions.empty()) return "1=1";
    auto render = [](const Condition& c) { return c.to_sql(); };
    switch (logic) {
        case LogicalOperator::And: return join(conditions, " AND ", render);
        case LogicalOperator::Or: return join(conditions, " OR ", render);
        case LogicalOperator::Not: return format("NOT ({})", join(conditions, " OR ", render));
    }
    return "1=1";
}

bool BehavioralRule::passes(const CustomerData& customer) const {
    // Whether any testable condition holds (Or and Not skip untestable ones).
    auto any_holds = [&] {
        for (const Condition& c : conditions) {
            const auto x = testable_value(c, customer);
            if (x && c.holds(*x)) return true;
        }
        return false;
    };
    switch (logic) {
        case LogicalOperator::And:
            if (conditions.empty()) return true;
            if (customer.empty()) return false;
            for (const Condition& c : conditions) {
                const auto x = testable_value(c, customer);
                if (!x || !c.holds(*x)) return false;
            }
            return true;
        case LogicalOperator::Or:
            if (conditions.empty() || customer.empty()) return false;
            return any_holds();
        case LogicalOperator::Not:
            if (conditions.empty() || customer.empty()) return true;
            return !any_holds();
    }
    return false;
}

bool BehavioralSegment::matches(const CustomerData& customer) const {
    for (const BehavioralRule& rule : rules)
        if (!rule.passes(customer)) return false;
    return true;
}

std::string BehavioralSegment::to_sql() const {
    if (rules.empty()) return "1=1";
    return format("({})", join(rules, " AND ", [](const BehavioralRule& r) { return format("({})", r.to_sql()); }));
}

std::vector<std::string> BehavioralSegmenter::classify(const CustomerData& customer) const {
    std::vector<std::string> names;
    for (const BehavioralSegment& segment : segments)
        if (segment.matches(customer)) names.push_back(segment.name);
    return names;
}

std::optional<std::string> BehavioralSegmenter::classify_primary(const CustomerData& customer) const {
    const BehavioralSegment* best = nullptr;
    for (const BehavioralSegment& segment : segments) {
        if (!segment.matches(customer)) continue;
        // A later segment of equal or higher priority takes over.
        if (!best || segment.priority >= best->priority) best = &segment;
    }
    if (!best) return std::nullopt;
    return best->name;
}

std::string BehavioralSegmenter::export_sql() const {
    std::string out;
    for (const BehavioralSegment& segment : segments)
        out += format("-- Segment: {}\nSELECT * FROM customers WHERE {};\n\n", single_line(segment.name),
                      segment.to_sql());
    return out;
}

std::vector<std::string_view> fields_named(std::span<const BehavioralSegment> segments) {
    std::vector<std::string_view> names;
    for (const BehavioralSegment& segment : segments)
        for (const BehavioralRule& rule : segment.rules)
            for (const Condition& c : rule.conditions) names.push_back(c.field);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

}  // namespace segmora::engine
