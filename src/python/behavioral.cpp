// PyCondition, PyBehavioralRule, PyBehavioralSegment and PyBehavioralSegmenter.
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>
#include <string>
#include <vector>

#include "engine/behavioral.hpp"
#include "engine/sql_export.hpp"
#include "python/bindings.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"

namespace segmora::py {

namespace {

using engine::BehavioralRule;
using engine::BehavioralSegment;
using engine::BehavioralSegmenter;
using engine::Condition;
using engine::CustomerData;

// A customer record argument: a dict of str keys to float values. Every item
// is checked in the dict's order (a wrong key or value type is an error of
// `arg`), but only the fields in `named` (sorted) are kept: the rules never
// read the others, so a record with thousands of fields costs no table of them.
CustomerData customer_fields(PyObject* obj, std::span<const std::string_view> named, const char* arg) {
    if (!PyDict_Check(obj))
        raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'PyDict'", type_name(obj)));
    // A snapshot of the items, so value conversions cannot disturb the iteration.
    Ref items = Ref::steal(PyDict_Items(obj));
    const Py_ssize_t n = PyList_Size(items.get());
    CustomerData out;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        PyObject* key = PyTuple_GetItem(pair, 0);
        if (!PyUnicode_Check(key))  // raises its TypeError, naming the entry
            at_position(arg, "entry", static_cast<std::size_t>(i), [&] { (void)From<std::string>::convert(key, arg); });
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) reraise_for_argument(arg);
        const std::string_view name(text, static_cast<std::size_t>(size));
        double value = 0.0;
        try {
            value = From<double>::convert(PyTuple_GetItem(pair, 1), arg);
        } catch (const PyErrorAlreadySet&) {
            reraise_at(arg, "value of " + shown_key(std::string(name)));
        }
        if (std::binary_search(named.begin(), named.end(), name)) out.insert_or_assign(std::string(name), value);
    }
    return out;
}

// Copies of the wrapped values of a sequence of instances.
template <class T>
std::vector<T> copies(Args& a, const char* name) {
    const auto items = a.get<std::vector<Borrowed<T>>>(name);
    std::vector<T> out;
    out.reserve(items.size());
    for (const auto& item : items) out.push_back(*item);
    return out;
}

// ---- PyCondition ----

struct ConditionNew {
    static constexpr const char* signature = "PyCondition(field, operator, value)";
    static constexpr Raises raises = Raises::ValueError;
    static Condition create(Args& a) {
        auto field = a.get<std::string>("field");
        const auto op_text = a.get<std::string>("operator");
        const auto value = a.get<double>("value");
        engine::validate_identifier(field);  // the field is checked before the operator
        const auto op = engine::parse_comparison_op(op_text);
        if (!op)
            raise(PyExc_ValueError,
                  format("Unknown comparison operator '{}'. Expected one of: >, >=, <, <=, ==, !=, in, contains", op_text));
        // A condition built here holds a number; "in" and "contains" would render
        // invalid SQL and never match.
        if (*op == engine::ComparisonOp::In || *op == engine::ComparisonOp::Contains)
            raise(PyExc_ValueError,
                  format("Operator '{}' needs a list or text value, which conditions built from Python cannot hold",
                         op_text));
        return engine::make_number_condition(std::move(field), *op, value);
    }
};

// ---- PyBehavioralRule ----

struct RuleNew {
    static constexpr const char* signature = "PyBehavioralRule(name, description, conditions, logic='AND')";
    static constexpr Raises raises = Raises::ValueError;
    static BehavioralRule create(Args& a) {
        BehavioralRule rule;
        rule.name = a.get<std::string>("name");
        rule.description = a.get<std::string>("description");
        rule.conditions = copies<Condition>(a, "conditions");
        PyObject* logic_obj = a.raw("logic");
        if (!logic_obj) {
            rule.logic = engine::LogicalOperator::And;
            return rule;
        }
        (void)a.get<std::string>("logic");  // type check: a str
        // Python's own upper-casing, so the message shows the full Unicode mapping.
        const std::string logic = From<std::string>::convert(
            Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "upper", "O", logic_obj))
                .get(),
            "logic");
        if (logic == "AND") rule.logic = engine::LogicalOperator::And;
        else if (logic == "OR") rule.logic = engine::LogicalOperator::Or;
        else raise(PyExc_ValueError, format("Unknown logical operator '{}'. Expected AND or OR", logic));
        return rule;
    }
};

struct RuleToSql {
    static constexpr const char* signature = "to_sql($self)";
    static constexpr const char* doc = "Render this rule as a SQL WHERE-clause fragment.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralRule& self, Args&) { return to_py(self.to_sql()); }
};

// ---- PyBehavioralSegment ----

struct SegmentNew {
    static constexpr const char* signature = "PyBehavioralSegment(name, description, rules, priority=0)";
    static constexpr Raises raises = Raises::ValueError;
    static BehavioralSegment create(Args& a) {
        BehavioralSegment segment;
        segment.name = a.get<std::string>("name");
        segment.description = a.get<std::string>("description");
        segment.rules = copies<BehavioralRule>(a, "rules");
        PyObject* priority = a.raw("priority");
        segment.priority = priority ? a.get<std::uint32_t>("priority") : 0;
        return segment;
    }
};

struct SegmentToSql {
    static constexpr const char* signature = "to_sql($self)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralSegment& self, Args&) { return to_py(self.to_sql()); }
};

struct SegmentMatches {
    static constexpr const char* signature = "matches($self, customer_data)";
    static constexpr const char* doc =
        "Does this customer's data (field name -> numeric value) satisfy the\nsegment's rule(s)?";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralSegment& self, Args& a) {
        const auto named = engine::fields_named({&self, 1});
        return to_py(self.matches(customer_fields(a.raw("customer_data"), named, "customer_data")));
    }
};

// ---- PyBehavioralSegmenter ----

constexpr const char* kSegmenterDoc =
    "Rule-based (deterministic, explainable) customer segmentation \u2014 an\n"
    "alternative to statistical clustering when segment boundaries need to be\n"
    "human-defined business rules (e.g. \"high value = monetary > 1000\").";

struct SegmenterNew {
    static constexpr const char* signature = "PyBehavioralSegmenter(segments)";
    static constexpr Raises raises = Raises::ValueError;
    static BehavioralSegmenter create(Args& a) { return BehavioralSegmenter{copies<BehavioralSegment>(a, "segments")}; }
};

struct SegmenterClassify {
    static constexpr const char* signature = "classify($self, customer_data)";
    static constexpr const char* doc =
        "All segment names this customer's data matches (there may be more\n"
        "than one \u2014 segments are not mutually exclusive by default).";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralSegmenter& self, Args& a) {
        const auto named = engine::fields_named(self.segments);
        return to_py(self.classify(customer_fields(a.raw("customer_data"), named, "customer_data")));
    }
};

struct SegmenterClassifyPrimary {
    static constexpr const char* signature = "classify_primary($self, customer_data)";
    static constexpr const char* doc = "The single highest-priority matching segment name, if any.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralSegmenter& self, Args& a) {
        const auto named = engine::fields_named(self.segments);
        return to_py(self.classify_primary(customer_fields(a.raw("customer_data"), named, "customer_data")));
    }
};

struct SegmenterExportSql {
    static constexpr const char* signature = "export_sql($self)";
    static constexpr const char* doc = "Combined SQL export of every configured segment's rule(s).";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const BehavioralSegmenter& self, Args&) { return to_py(self.export_sql()); }
};

// ---- pickling ----
// Nested states: a rule holds its conditions' states, a segment its rules',
// a segmenter its segments'. Conditions made in Python compare a number.

struct ConditionState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const Condition& c) {
        const double* value = c.value.as_number();
        return py::make_tuple(c.field, static_cast<std::uint32_t>(c.op), value ? *value : 0.0);
    }
    static Condition load(PyObject* state) {
        StateReader r(state, 3);
        std::string field = r.next<std::string>();
        const auto op = r.next_enum<engine::ComparisonOp>(8);
        const double value = r.next<double>();
        try {
            engine::validate_identifier(field);
        } catch (const SegmoraError& e) {
            throw StateError{e.display()};
        }
        return engine::make_number_condition(std::move(field), op, value);
    }
};

struct RuleState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const BehavioralRule& r) {
        return py::make_tuple(r.name, r.description, save_all<ConditionState>(r.conditions),
                              static_cast<std::uint32_t>(r.logic));
    }
    static BehavioralRule load(PyObject* state) {
        StateReader r(state, 4);
        BehavioralRule rule;
        rule.name = r.next<std::string>();
        rule.description = r.next<std::string>();
        rule.conditions = load_all<ConditionState, Condition>(r.next_object(), 2);
        rule.logic = r.next_enum<engine::LogicalOperator>(2);  // AND or OR, as Python makes them
        return rule;
    }
};

struct SegmentState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const BehavioralSegment& s) {
        return py::make_tuple(s.name, s.description, save_all<RuleState>(s.rules), s.priority);
    }
    static BehavioralSegment load(PyObject* state) {
        StateReader r(state, 4);
        BehavioralSegment segment;
        segment.name = r.next<std::string>();
        segment.description = r.next<std::string>();
        segment.rules = load_all<RuleState, BehavioralRule>(r.next_object(), 2);
        segment.priority = r.next<std::uint32_t>();
        return segment;
    }
};

struct SegmenterState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const BehavioralSegmenter& s) { return py::make_tuple(save_all<SegmentState>(s.segments)); }
    static BehavioralSegmenter load(PyObject* state) {
        StateReader r(state, 1);
        return BehavioralSegmenter{load_all<SegmentState, BehavioralSegment>(r.next_object(), 0)};
    }
};

}  // namespace

constexpr const char* kConditionDoc =
    "One comparison of a customer field with a number, the building block of a\n"
    "PyBehavioralRule.\n"
    "\n"
    "field: the field name, a SQL identifier (ValueError \"Invalid configuration: ...\"\n"
    "otherwise); operator: \">\", \">=\", \"<\", \"<=\", \"==\" (or \"=\"), \"!=\" (or \"<>\"), \"in\" or\n"
    "\"contains\" (exact case, ValueError otherwise); value: a number.\n"
    "\n"
    ">>> PyBehavioralRule(\"big\", \"spends a lot\", [PyCondition(\"total_spent\", \">\", 1000)]).to_sql()\n"
    "'total_spent > 1000'";

PyTypeObject* condition_type() {
    return type_once<Condition>([] {
        return ClassDef<Condition>("PyCondition", kConditionDoc).constructor<ConditionNew>().pickle<ConditionState>().build();
    });
}

constexpr const char* kBehavioralRuleDoc =
    "A named rule: its conditions joined by \"AND\" or \"OR\" (logic, any case;\n"
    "ValueError otherwise). A customer matches when the conditions hold together\n"
    "(AND) or any of them holds (OR); to_sql() renders the SQL WHERE fragment.\n"
    "\n"
    "name, description: str; conditions: a sequence of PyCondition (copied).\n"
    "\n"
    ">>> rule = PyBehavioralRule(\"lapsed\", \"\", [PyCondition(\"days_since\", \">\", 90), PyCondition(\"orders\", \"<\", 2)], \"or\")\n"
    ">>> rule.to_sql()\n"
    "'days_since > 90 OR orders < 2'";

PyTypeObject* behavioral_rule_type() {
    return type_once<BehavioralRule>([] {
        return ClassDef<BehavioralRule>("PyBehavioralRule", kBehavioralRuleDoc)
            .constructor<RuleNew>()
            .method<RuleToSql>()
            .pickle<RuleState>()
            .build();
    });
}

constexpr const char* kBehavioralSegmentDoc =
    "A named segment of customers that satisfy all of its rules, with a priority\n"
    "for PyBehavioralSegmenter.classify_primary (higher wins).\n"
    "\n"
    "name, description: str; rules: a sequence of PyBehavioralRule (copied); priority:\n"
    "an int >= 0 (default 0).\n"
    "\n"
    ">>> vip = PyBehavioralSegment(\"vip\", \"big spenders\", [PyBehavioralRule(\"big\", \"\", [PyCondition(\"monetary\", \">\", 1000)])])\n"
    ">>> vip.matches({\"monetary\": 1500.0}), vip.to_sql()\n"
    "(True, '((monetary > 1000))')";

PyTypeObject* behavioral_segment_type() {
    return type_once<BehavioralSegment>([] {
        return ClassDef<BehavioralSegment>("PyBehavioralSegment", kBehavioralSegmentDoc)
            .constructor<SegmentNew>()
            .method<SegmentToSql>()
            .method<SegmentMatches>()
            .pickle<SegmentState>()
            .build();
    });
}

PyTypeObject* behavioral_segmenter_type() {
    return type_once<BehavioralSegmenter>([] {
        return ClassDef<BehavioralSegmenter>("PyBehavioralSegmenter", kSegmenterDoc)
            .constructor<SegmenterNew>()
            .method<SegmenterClassify>()
            .method<SegmenterClassifyPrimary>()
            .method<SegmenterExportSql>()
            .pickle<SegmenterState>()
            .build();
    });
}

}  // namespace segmora::py
