// DriftReference: a baseline table kept for repeated drift reports.
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/drift_reference.hpp"
#include "python/bindings.hpp"
#include "python/drift_columns.hpp"
#include "python/lowercase.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/output.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::ColumnSample;
using engine::DriftReference;
using engine::DriftTest;
using engine::ReferenceColumn;

constexpr const char* kClassDoc =
    "A baseline table kept for repeated drift reports.\n\n"
    "baseline_columns: a pandas DataFrame, a dict of columns (lists, NumPy arrays, pandas Series,\n"
    "Arrow arrays) or an Arrow table (pyarrow, polars, anything with __arrow_c_stream__).\n"
    "Columns of numbers (ints, floats, booleans, datetimes as seconds) are numeric: they are\n"
    "sorted once and cut into 10 bins at their deciles. Columns of texts (str, pandas categories,\n"
    "Arrow strings and dictionaries) are categorical: their categories are counted once.\n"
    "categorical: names of columns to count as categories even though they hold numbers\n"
    "(codes such as store ids). Missing values (None, NaN, NaT, nulls) are counted and left out.\n"
    "A column without values, a name in categorical the table lacks, or a name given twice is\n"
    "a ValueError; a column of another type is a TypeError.\n\n"
    "compare() grades a later table against it, column by column. The reference pickles.\n\n"
    ">>> ref = DriftReference({\"spend\": [10.0, 12.5, 9.0, 30.0], \"channel\": [\"web\", \"app\", \"web\", \"web\"]})\n"
    ">>> report = ref.compare({\"spend\": [11.0, 40.0, 38.0], \"channel\": [\"app\", \"app\", None]})\n"
    ">>> report[\"method\"]\n"
    "['ks', 'psi', 'chi_square', 'psi']";

// Values of the columns, missing ones included: what sorting or comparing them reads.
std::size_t values_read(const std::vector<ColumnSample>& columns) {
    std::size_t n = 0;
    for (const ColumnSample& c : columns) n += c.numbers.size() + c.categories.size();
    return n;
}

// Values of a column that are not missing.
std::uint64_t values_in(const ColumnSample& s) {
    std::uint64_t n = 0;
    if (s.categorical) {
        for (const auto& entry : s.categories) n += entry.second;
    } else {
        for (const double v : s.numbers) n += !std::isnan(v);
    }
    return n;
}

void require_values(const ColumnSample& s, const char* arg) {
    if (values_in(s) != 0) return;
    const std::uint64_t read = s.categorical ? s.missing : s.numbers.size();
    if (read == 0) raise(PyExc_ValueError, format("column '{}' of {} is empty", s.name, arg));
    raise(PyExc_ValueError, format("column '{}' of {} has only missing values ({})", s.name, arg, read));
}

struct DriftReferenceNew {
    static constexpr const char* signature = "DriftReference(baseline_columns, categorical=None)";
    static constexpr Raises raises = Raises::ValueError;
    static DriftReference create(Args& a) {
        const auto categorical = a.get_or<std::vector<std::string>>("categorical", {});
        std::vector<ColumnSample> columns = read_table(a.raw("baseline_columns"), categorical, "baseline_columns");
        std::unordered_set<std::string> names;
        for (const ColumnSample& c : columns) names.insert(c.name);
        for (const std::string& name : categorical)
            if (!names.count(name))
                raise(PyExc_ValueError, format("categorical names '{}', a column baseline_columns does not have", name));
        if (columns.empty()) raise(PyExc_ValueError, "baseline_columns has no columns");
        for (const ColumnSample& c : columns) require_values(c, "baseline_columns");
        return unlocked(values_read(columns), [&] { return DriftReference::build(std::move(columns)); });
    }
};

// The tests named by `methods` (None: each column's defaults).
std::vector<DriftTest> read_methods(PyObject* methods) {
    std::vector<DriftTest> tests;
    if (!methods || methods == Py_None) return tests;
    const SequenceItems items(methods, "methods");
    if (items.size() == 0) raise(PyExc_ValueError, "methods must name at least one test");
    for (std::size_t i = 0; i < items.size(); ++i) {
        (void)From<std::string>::convert(items[i], "methods");  // a str, or TypeError
        const std::string text = lowered(items[i], "methods");
        const std::optional<DriftTest> test = engine::parse_drift_test(text);
        if (!test)
            raise(PyExc_ValueError,
                  format("Unknown drift test '{}'. Expected one of: ks, chi_square, wasserstein, psi, jensen_shannon", text));
        for (const DriftTest seen : tests)
            if (seen == *test) raise(PyExc_ValueError, format("methods names '{}' twice", text));
        tests.push_back(*test);
    }
    return tests;
}

// The current table's columns in the reference's order, checked against it.
std::vector<ColumnSample> matched_columns(const DriftReference& self, PyObject* table) {
    std::vector<std::string> categorical;
    for (const ReferenceColumn& c : self.columns())
        if (c.categorical) categorical.push_back(c.name);
    std::vector<ColumnSample> read = read_table(table, categorical, "current_columns");
    std::unordered_map<std::string, std::size_t> at;
    for (std::size_t i = 0; i < read.size(); ++i) at.emplace(read[i].name, i);
    std::unordered_set<std::string> known;
    for (const ReferenceColumn& ref : self.columns()) known.insert(ref.name);
    for (const ColumnSample& c : read)
        if (!known.count(c.name))
            raise(PyExc_ValueError, format("current_columns has a column '{}' that the reference does not have", c.name));
    std::vector<ColumnSample> out;
    for (const ReferenceColumn& ref : self.columns()) {
        const auto it = at.find(ref.name);
        if (it == at.end())
            raise(PyExc_ValueError, format("current_columns has no column '{}', which the reference has", ref.name));
        ColumnSample& now = read[it->second];
        require_values(now, "current_columns");
        if (!ref.categorical && now.categorical)
            raise(PyExc_ValueError, format("column '{}' is numeric in the reference but holds texts in current_columns", ref.name));
        if (ref.categorical && ref.categories_from_numbers != now.categories_from_numbers)
            raise(PyExc_ValueError, format("column '{}' has mismatched categories: {} in the reference, {} in current_columns",
                                           ref.name, ref.categories_from_numbers ? "numbers" : "texts",
                                           now.categories_from_numbers ? "numbers" : "texts"));
        out.push_back(std::move(now));
    }
    return out;
}

struct Compare {
    static constexpr const char* signature = "compare($self, current_columns, methods=None, n_jobs=None)";
    static constexpr const char* doc =
        "Grades the drift of a later table against the reference, column by column.\n\n"
        "current_columns: a table of the same columns (any form the constructor takes), each of\n"
        "the same kind; missing values are counted and left out.\n"
        "methods: tests to run, among \"ks\" (Kolmogorov-Smirnov, with its p-value), \"chi_square\"\n"
        "(homogeneity of the counts, with its p-value), \"wasserstein\" (in the feature's units),\n"
        "\"psi\" (population stability index) and \"jensen_shannon\" (distance, base 2). Default: ks\n"
        "and psi for numeric columns, chi_square and psi for categorical ones. ks and wasserstein\n"
        "skip categorical columns; chi_square, psi and jensen_shannon use a numeric column's\n"
        "decile bins, a categorical column's categories (new ones included).\n"
        "n_jobs: worker threads (default: one per CPU); each column runs on one worker, and the\n"
        "report is the same for any n_jobs.\n\n"
        "Returns a dict of equal-length columns for pandas.DataFrame, one row per column and test\n"
        "in column order: feature, method, statistic, p_value (NaN for tests without one),\n"
        "severity (\"none\" < 0.1 <= \"low\" < 0.2 <= \"medium\" < 0.35 <= \"high\" < 0.5 <= \"critical\",\n"
        "graded on the statistic), n_baseline, n_current, missing_current. A column missing on\n"
        "either side, a column without values, texts where the reference has numbers, or\n"
        "categories read from texts on one side and numbers on the other is a ValueError.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const DriftReference& self, Args& a) {
        const std::vector<DriftTest> tests = read_methods(a.raw("methods"));
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        std::vector<ColumnSample> current = matched_columns(self, a.raw("current_columns"));
        const std::vector<engine::DriftRow> rows =
            unlocked(values_read(current), [&] { return self.compare(current, tests, n_jobs.value_or(-1)); });

        Ref feature = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        Ref method = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        Ref severity = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
        std::vector<Ref> names, tests_shown(5), grades(5);
        for (const ReferenceColumn& c : self.columns()) names.push_back(to_py(c.name));
        std::vector<double> statistic, p_value;
        std::vector<std::uint64_t> n_baseline, n_current, missing_current;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const engine::DriftRow& r = rows[i];
            Ref& test = tests_shown[static_cast<std::size_t>(r.test)];
            if (!test) test = to_py(engine::drift_test_name(r.test));
            Ref& grade = grades[static_cast<std::size_t>(r.severity)];
            if (!grade) grade = to_py(engine::severity_text(r.severity));
            PyList_SetItem(feature.get(), static_cast<Py_ssize_t>(i), Ref(names[r.column]).release());
            PyList_SetItem(method.get(), static_cast<Py_ssize_t>(i), Ref(test).release());
            PyList_SetItem(severity.get(), static_cast<Py_ssize_t>(i), Ref(grade).release());
            statistic.push_back(r.result.statistic);
            p_value.push_back(r.result.p_value);
            n_baseline.push_back(self.columns()[r.column].size());
            n_current.push_back(r.n_current);
            missing_current.push_back(r.missing_current);
        }
        const OutputColumns columns;
        const ColumnDict out;
        out.put("feature", std::move(feature));
        out.put("method", std::move(method));
        out.put("statistic", columns.floats(statistic));
        out.put("p_value", columns.floats(p_value));
        out.put("severity", std::move(severity));
        out.put("n_baseline", columns.int64s(n_baseline));
        out.put("n_current", columns.int64s(n_current));
        out.put("missing_current", columns.int64s(missing_current));
        return out.dict();
    }
};

Ref column_names(const DriftReference& self) {
    std::vector<std::string> names;
    for (const ReferenceColumn& c : self.columns()) names.push_back(c.name);
    return to_py(names);
}

Ref categorical_names(const DriftReference& self) {
    std::vector<std::string> names;
    for (const ReferenceColumn& c : self.columns())
        if (c.categorical) names.push_back(c.name);
    return to_py(names);
}

std::string reference_repr(const DriftReference& self) {
    std::size_t categorical = 0;
    for (const ReferenceColumn& c : self.columns()) categorical += c.categorical;
    return format("DriftReference(columns={}, categorical={})", self.columns().size(), categorical);
}

// ---- pickling ----

// Per column (name, kind, missing, values): kind 0 numeric with its sorted
// values as little-endian float64 bytes, 1 categorical read from texts and 2 from
// numbers with (category, count) pairs. The bins are derived again on load.
struct ReferenceState {
    static constexpr std::uint32_t version = 1;

    static std::uint64_t little_endian(std::uint64_t bits) {
        if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(bits);
        return bits;
    }

    static Ref save(const DriftReference& r) {
        Ref list = Ref::steal(PyList_New(0));
        for (const ReferenceColumn& c : r.columns()) {
            Ref values;
            if (c.categorical) {
                values = to_py(c.categories);
            } else {
                std::string bytes(c.sorted.size() * sizeof(double), '\0');
                for (std::size_t i = 0; i < c.sorted.size(); ++i) {
                    const std::uint64_t bits = little_endian(std::bit_cast<std::uint64_t>(c.sorted[i]));
                    std::memcpy(bytes.data() + i * sizeof bits, &bits, sizeof bits);
                }
                values = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            }
            const std::uint32_t kind = c.categorical ? (c.categories_from_numbers ? 2 : 1) : 0;
            if (PyList_Append(list.get(), py::make_tuple(c.name, kind, c.missing, values).get()) < 0) throw PyErrorAlreadySet{};
        }
        return py::make_tuple(list);
    }

    static DriftReference load(PyObject* state) {
        StateReader r(state, 1);
        PyObject* list = r.next_object();
        if (!PyList_Check(list) || PyList_Size(list) == 0) throw StateError{"item 0 is not a list of columns"};
        std::vector<ReferenceColumn> columns;
        std::unordered_set<std::string> names;
        for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) {
            StateReader item(PyList_GetItem(list, i), 4);
            ReferenceColumn c;
            c.name = item.next<std::string>();
            if (!names.insert(c.name).second) throw StateError{format("column '{}' appears twice", c.name)};
            const std::uint32_t kind = item.next_enum<std::uint32_t>(3);
            c.missing = item.next<std::uint64_t>();
            PyObject* values = item.next_object();
            c.categorical = kind != 0;
            c.categories_from_numbers = kind == 2;
            if (c.categorical) {
                c.categories = StateReader::as<engine::CountTable>(values, 3);
                std::unordered_set<std::string> seen;
                std::uint64_t total = 0;
                for (const auto& [category, count] : c.categories) {
                    if (!seen.insert(category).second)
                        throw StateError{format("column '{}' counts category '{}' twice", c.name, category)};
                    total += count;
                }
                if (total == 0) throw StateError{format("column '{}' has no values", c.name)};
            } else {
                char* data = nullptr;
                Py_ssize_t size = 0;
                if (!PyBytes_Check(values) || PyBytes_AsStringAndSize(values, &data, &size) < 0 || size == 0 ||
                    size % 8 != 0) {
                    PyErr_Clear();
                    throw StateError{format("column '{}' has no values as float64 bytes", c.name)};
                }
                c.sorted.resize(static_cast<std::size_t>(size) / sizeof(double));
                for (std::size_t k = 0; k < c.sorted.size(); ++k) {
                    std::uint64_t bits;
                    std::memcpy(&bits, data + k * sizeof bits, sizeof bits);
                    c.sorted[k] = std::bit_cast<double>(little_endian(bits));
                    if (std::isnan(c.sorted[k]) || (k > 0 && c.sorted[k - 1] > c.sorted[k]))
                        throw StateError{format("column '{}' has values that are not sorted numbers", c.name)};
                }
            }
            columns.push_back(std::move(c));
        }
        return DriftReference::restore(std::move(columns));
    }
};

}  // namespace

PyTypeObject* drift_reference_type() {
    return type_once<DriftReference>([] {
        return ClassDef<DriftReference>("DriftReference", kClassDoc)
            .constructor<DriftReferenceNew>()
            .method<Compare>()
            .property<&column_names>("columns", "The reference's column names, in table order.")
            .property<&categorical_names>(
                "categorical", "The names of the columns counted as categories, in table order.")
            .repr<&reference_repr>()
            .pickle<ReferenceState>()
            .build();
    });
}

}  // namespace segmora::py
