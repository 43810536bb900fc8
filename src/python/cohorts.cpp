// PyCohort, cohort_id_for, create_cohort, compare_cohorts,
// aggregate_cohorts_by_period, cohort_retention_table and cohort_performance_ranking.
#include <cmath>
#include <string>
#include <vector>

#include "engine/cohorts.hpp"
#include "python/bindings.hpp"
#include "python/lowercase.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"

namespace segmora::py {

template <>
inline constexpr std::uint32_t enum_count<engine::CohortPeriod> = 4;

namespace {

using engine::Cohort;
using engine::CohortCustomer;
using engine::CohortPeriod;
using engine::RetentionPoint;

// A sequence of PyCohort read in place: the objects are held and share-borrowed
// for the call, so none can change until it returns.
struct CohortList {
    std::vector<Borrowed<Cohort>> items;
    std::vector<const Cohort*> refs;
};

// A (customer_id, ltv, is_retained) tuple; only ltv and the flag are kept.
struct CustomerArg {
    CohortCustomer value;
};

}  // namespace

template <>
struct From<CohortList> {
    static CohortList convert(PyObject* obj, const char* arg) {
        CohortList out;
        out.items = From<std::vector<Borrowed<Cohort>>>::convert(obj, arg);
        out.refs.reserve(out.items.size());
        for (const auto& item : out.items) out.refs.push_back(&*item);
        return out;
    }
};

template <>
struct From<CustomerArg> {
    static CustomerArg convert(PyObject* obj, const char* arg) {
        require_tuple(obj, 3, arg);
        PyObject* id = PyTuple_GetItem(obj, 0);
        PyObject* ltv = PyTuple_GetItem(obj, 1);
        PyObject* retained = PyTuple_GetItem(obj, 2);
        (void)at_position(arg, "element", 0, [&] { return From<std::string>::convert(id, arg); });
        CustomerArg out;
        out.value.ltv = at_position(arg, "element", 1, [&] { return From<double>::convert(ltv, arg); });
        // NumPy's bool scalar too, never an int.
        out.value.retained = at_position(arg, "element", 2, [&] { return From<bool>::convert(retained, arg); });
        return out;
    }
};

namespace {

CohortPeriod period_argument(PyObject* raw) {
    const std::string text = lowered(raw, "period");
    const auto period = engine::parse_cohort_period(text);
    if (!period)
        raise(PyExc_ValueError,
              format("Unknown cohort period '{}'. Expected one of: weekly, monthly, quarterly, yearly", text));
    return *period;
}

// ---- PyCohort ----

struct AddRetentionPoint {
    static constexpr const char* signature = "add_retention_point($self, age_in_periods, retained_count)";
    static constexpr const char* doc =
        "Record how many of this cohort's original customers were still\n"
        "active `age_in_periods` periods after cohort creation.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Cohort& self, Args& a) {
        const auto age = a.get<std::uint64_t>("age_in_periods");
        const auto retained = a.get<std::uint64_t>("retained_count");
        self.add_retention_point(age, retained);
        return none();
    }
};

struct RetentionDecayRate {
    static constexpr const char* signature = "retention_decay_rate($self)";
    static constexpr const char* doc = "Average retention-rate change per period across the recorded curve.";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Cohort& self, Args&) { return to_py(self.retention_decay_rate()); }
};

struct RevenuePerRetained {
    static constexpr const char* signature = "revenue_per_retained($self)";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Cohort& self, Args&) { return to_py(self.revenue_per_retained()); }
};

Ref float_dict(const std::vector<std::pair<std::string_view, double>>& entries) {
    Ref dict = Ref::steal(PyDict_New());
    for (const auto& [key, value] : entries) {
        Ref k = to_py(key), v = to_py(value);
        if (PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) throw PyErrorAlreadySet{};
    }
    return dict;
}

struct Summary {
    static constexpr const char* signature = "summary($self)";
    static constexpr Raises raises = Raises::ValueError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Cohort& self, Args&) { return float_dict(self.summary()); }
};

Ref curve_of(const Cohort& c) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(c.retention_curve.size())));
    for (std::size_t i = 0; i < c.retention_curve.size(); ++i) {
        const RetentionPoint& p = c.retention_curve[i];
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                       py::make_tuple(p.age_in_periods, p.retained_count, p.churn_rate, p.retention_rate).release());
    }
    return list;
}

std::string cohort_repr(const Cohort& c) {
    return format("Cohort(id={}, size={}, retention={}%)", c.cohort_id, c.size, Fixed{c.retention_rate_total * 100.0, 2});
}

// The state keeps the curve's ages and counts; the rates, the average and the
// totals are computed again exactly as the cohort first computed them, so a
// restored cohort cannot disagree with itself.
struct CohortState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const Cohort& c) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> curve;
        for (const RetentionPoint& p : c.retention_curve) curve.emplace_back(p.age_in_periods, p.retained_count);
        return py::make_tuple(c.cohort_id, static_cast<std::uint32_t>(c.period), c.created_at, c.size, c.revenue, curve);
    }
    static Cohort load(PyObject* state) {
        StateReader r(state, 6);
        auto id = r.next<std::string>();
        const auto period = r.next_enum<CohortPeriod>(enum_count<CohortPeriod>);
        const auto created_at = r.next<std::int64_t>();
        const auto size = r.next<std::uint64_t>();
        const auto revenue = r.next<double>();
        const auto curve = r.next<std::vector<std::pair<std::uint64_t, std::uint64_t>>>();
        if (curve.empty() || curve.front().first != 0 || curve.front().second > size)
            throw StateError{"the curve does not start with age 0 and at most size retained"};
        Cohort c;
        c.cohort_id = std::move(id);
        c.period = period;
        c.created_at = created_at;
        c.size = size;
        c.revenue = revenue;
        c.avg_ltv = size == 0 ? 0.0 : revenue / static_cast<double>(size);
        for (const auto& [age, retained] : curve) c.add_retention_point(age, retained);
        c.retention_rate_total = c.retention_curve.front().retention_rate;
        c.churn_rate_total = 1.0 - c.retention_rate_total;
        return c;
    }
};

// ---- functions ----

struct CohortIdFor {
    static constexpr const char* signature = "cohort_id_for(period, date_unix)";
    static constexpr const char* doc =
        "Derive a deterministic cohort id string from a period type and a Unix\n"
        "timestamp (e.g. all \"monthly\" signups in the same month get the same id).";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        (void)a.get<std::string>("period");
        const auto date = a.get<std::int64_t>("date_unix");
        return to_py(engine::cohort_id_for(period_argument(a.raw("period")), date));
    }
};

struct CreateCohort {
    static constexpr const char* signature = "create_cohort(cohort_id, period, created_at, customers)";
    static constexpr const char* doc = "Build a cohort from a list of (customer_id, ltv, is_retained) tuples.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        auto id = a.get<std::string>("cohort_id");
        (void)a.get<std::string>("period");
        const auto created_at = a.get<std::int64_t>("created_at");
        const auto customers = a.get<std::vector<CustomerArg>>("customers");
        const CohortPeriod period = period_argument(a.raw("period"));
        std::vector<CohortCustomer> values;
        values.reserve(customers.size());
        for (const CustomerArg& c : customers) values.push_back(c.value);
        return wrap(Cohort::create(std::move(id), period, created_at, values));
    }
};

struct CompareCohorts {
    static constexpr const char* signature = "compare_cohorts(cohort_a, cohort_b)";
    static constexpr const char* doc =
        "Compare two cohorts; returns (better_performing_cohort_id, size_diff,\n"
        "revenue_diff, avg_ltv_diff, retention_rate_diff).";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto first = a.get<Borrowed<Cohort>>("cohort_a");
        const auto second = a.get<Borrowed<Cohort>>("cohort_b");
        const auto c = engine::compare_cohorts(*first, *second);
        return py::make_tuple(c.better_cohort_id, c.size_diff, c.revenue_diff, c.avg_ltv_diff, c.retention_rate_diff);
    }
};

struct AggregateCohortsByPeriod {
    static constexpr const char* signature = "aggregate_cohorts_by_period(cohorts)";
    static constexpr const char* doc =
        "Group cohorts by their id and compute per-group total size, total\n"
        "revenue, average retention, and cohort count.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto cohorts = a.get<CohortList>("cohorts");
        Ref dict = Ref::steal(PyDict_New());
        for (const auto& g : engine::aggregate_cohorts_by_period(cohorts.refs)) {
            Ref key = to_py(g.cohort_id);
            Ref value = float_dict({{"total_size", g.total_size},
                                    {"total_revenue", g.total_revenue},
                                    {"avg_retention", g.avg_retention},
                                    {"cohort_count", g.cohort_count}});
            if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) throw PyErrorAlreadySet{};
        }
        return dict;
    }
};

struct CohortRetentionTable {
    static constexpr const char* signature = "cohort_retention_table(cohorts)";
    static constexpr const char* doc =
        "Build a cohort x period-age retention matrix (each row is one cohort's\n"
        "retention rate at each recorded age).";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto table = engine::cohort_retention_table(a.get<CohortList>("cohorts").refs);
        // Ages without a point share one 0.0 object: a sparse table costs a pointer per empty cell.
        const Ref zero = to_py(0.0);
        Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table.size())));
        for (std::size_t r = 0; r < table.size(); ++r) {
            Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(table[r].size())));
            for (std::size_t i = 0; i < table[r].size(); ++i) {
                const double v = table[r][i];
                Ref cell = (v == 0.0 && !std::signbit(v)) ? zero : to_py(v);
                PyList_SetItem(row.get(), static_cast<Py_ssize_t>(i), cell.release());
            }
            PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(r), row.release());
        }
        return rows;
    }
};

struct CohortPerformanceRanking {
    static constexpr const char* signature = "cohort_performance_ranking(cohorts)";
    static constexpr const char* doc =
        "Identify the best- and worst-performing cohort ids by overall retention\n"
        "rate; returns (best_id, worst_id), either of which may be None if\n"
        "`cohorts` is empty.";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const auto ranking = engine::cohort_performance_ranking(a.get<CohortList>("cohorts").refs);
        return py::make_tuple(ranking.first, ranking.second);
    }
};

}  // namespace

constexpr const char* kCohortDoc =
    "A cohort of customers acquired together, with its size, revenue, retention and\n"
    "retention curve. Made by create_cohort; add_retention_point extends the curve.\n"
    "\n"
    ">>> c = create_cohort(\"2024-01\", \"monthly\", 1704067200, [(\"a\", 100.0, True), (\"b\", 50.0, False)])\n"
    ">>> c.size, c.revenue, c.avg_ltv, c.retention_rate_total\n"
    "(2, 150.0, 75.0, 0.5)\n"
    ">>> c.add_retention_point(1, 1)\n"
    ">>> c.retention_curve\n"
    "[(0, 1, 0.5, 0.5), (1, 1, 0.5, 0.5)]";

PyTypeObject* cohort_type() {
    return type_once<Cohort>([] {
        return ClassDef<Cohort>("PyCohort", kCohortDoc)
            .method<AddRetentionPoint>()
            .method<RetentionDecayRate>()
            .method<RevenuePerRetained>()
            .method<Summary>()
            .property<&Cohort::cohort_id>("cohort_id", "The cohort's id as given.")
            .property<&Cohort::created_at>("created_at", "The creation time given, whole seconds since the Unix epoch.")
            .property<&Cohort::size>("size", "Number of customers.")
            .property<&Cohort::revenue>("revenue", "Sum of the customers' lifetime values.")
            .property<&Cohort::avg_ltv>("avg_ltv", "Revenue per customer (0.0 for an empty cohort).")
            .property<&Cohort::retention_rate_total>(
                "retention_rate_total", "Share of the customers flagged retained (0.0 for an empty cohort).")
            .property<&Cohort::churn_rate_total>("churn_rate_total", "1 - retention_rate_total.")
            .property<&curve_of>("retention_curve",
                                 "Retention curve as a list of (age_in_periods, retained_count,\n"
                                 "churn_rate, retention_rate) tuples.")
            .repr<&cohort_repr>()
            .pickle<CohortState>()
            .build();
    });
}

PyMethodDef* cohort_id_for_def() { return function_def<CohortIdFor>(); }
PyMethodDef* create_cohort_def() { return function_def<CreateCohort>(); }
PyMethodDef* compare_cohorts_def() { return function_def<CompareCohorts>(); }
PyMethodDef* aggregate_cohorts_by_period_def() { return function_def<AggregateCohortsByPeriod>(); }
PyMethodDef* cohort_retention_table_def() { return function_def<CohortRetentionTable>(); }
PyMethodDef* cohort_performance_ranking_def() { return function_def<CohortPerformanceRanking>(); }

}  // namespace segmora::py
