// cohort_retention_from_columns: acquisition cohorts and their retention from
// two transaction columns; cohort_retention_matrix: that table pivoted to one
// row per cohort and one column per age.
#include <algorithm>
#include <cmath>
#include <optional>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/cohort_retention.hpp"
#include "engine/keyed_hash.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"
#include "python/bindings.hpp"
#include "python/lowercase.hpp"
#include "python/transactions.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 26;

// One column of a table (a dict of columns or a DataFrame), named in errors.
Ref table_column(PyObject* table, const char* name) {
    Ref key = to_py(name);
    Ref column = Ref::adopt(PyObject_GetItem(table, key.get()));
    if (!column) {
        if (!PyErr_ExceptionMatches(PyExc_LookupError)) reraise_for_argument("table");
        PyErr_Clear();
        raise(PyExc_ValueError, format("table has no column '{}'", name));
    }
    return column;
}

engine::CalendarPeriod period_argument(Args& a) {
    PyObject* raw = a.raw("period");
    if (!raw) return engine::CalendarPeriod::Month;
    (void)a.get<std::string>("period");  // type check: a str
    const std::string text = lowered(raw, "period");
    const auto period = engine::parse_calendar_period(text);
    if (!period) raise(PyExc_ValueError, format("Unknown cohort period '{}'. Expected one of: week, month, quarter, year", text));
    return *period;
}

struct CohortRetentionFromColumns {
    static constexpr const char* signature =
        "cohort_retention_from_columns(customer_ids, timestamps, period='month', as_of=None, n_jobs=None)";
    static constexpr const char* doc =
        "Acquisition cohorts and their retention from two transaction columns.\n\n"
        "customer_ids and timestamps are read as rfm_from_columns reads them (lists, NumPy arrays, pandas\n"
        "Series, Arrow arrays, polars Series; datetime64, epoch seconds, datetimes, dates or RFC 3339 text).\n"
        "period: 'week' (ISO weeks, Monday to Sunday), 'month', 'quarter' or 'year', calendar periods in UTC.\n"
        "A customer's cohort is the period of its first purchase; it is active at age a when it bought at\n"
        "least once in the period a periods later. as_of: the end of observation (a datetime, date,\n"
        "datetime64, epoch seconds or RFC 3339 text; default the latest purchase); purchases after it are\n"
        "left out, as are those with a missing or unreadable timestamp (each kind reported in a UserWarning).\n\n"
        "Returns a dict of equal-length columns, one row per cohort (oldest first) and age 0 to the oldest\n"
        "cohort's age at as_of: cohort (its label: '2024-W05', '2024-02', '2024-Q1' or '2024'), age, customers\n"
        "(the cohort's size), active and retention (active / customers; NaN for an age the cohort has not\n"
        "reached at as_of). cohort_retention_matrix pivots it to one row per cohort.\n\n"
        ">>> t = cohort_retention_from_columns(['a', 'b', 'a'], ['2024-01-05T00:00:00Z', '2024-02-01T00:00:00Z',\n"
        "...                                   '2024-02-20T00:00:00Z'])\n"
        ">>> t['cohort'], t['age'].tolist(), t['active'].tolist()\n"
        "(['2024-01', '2024-01', '2024-02', '2024-02'], [0, 1, 0, 1], [1, 1, 1, 0])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionColumns tx;
        tx.read_ids(a.raw("customer_ids"), "customer_ids");
        tx.read_timestamps(a.raw("timestamps"), "timestamps");
        const engine::CalendarPeriod period = period_argument(a);
        tx.read_as_of(a.raw("as_of"));
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        tx.check_lengths();

        engine::Grouping groups;
        engine::CohortTable table;
        const SkipReport report = unlocked(tx.size() * 2, [&] {  // the columns are held by `tx`
            if (tx.size() > 0) {
                const auto pool = engine::build_thread_pool(n_jobs.value_or(-1));
                groups = tx.group(pool.get());
                poll_interrupt();
                const std::optional<engine::Instant> as_of = tx.has_cut_off() ? std::optional(tx.as_of()) : std::nullopt;
                table = engine::cohort_retention(groups, tx.purchases(), period, as_of, *pool);
            }
            return tx.report(groups);
        });
        warn_skips(report);

        const OutputColumns columns;
        const std::size_t rows = table.customers.size();
        Ref labels = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows)));
        for (std::size_t c = 0; c < table.cohorts.size(); ++c) {
            Ref label = to_py(engine::calendar_period_label(period, table.cohorts[c]));
            for (std::size_t age = 0; age < table.ages; ++age)
                PyList_SetItem(labels.get(), static_cast<Py_ssize_t>(c * table.ages + age), Ref(label).release());
        }
        const ColumnDict out;
        out.put("cohort", std::move(labels));
        out.put("age", columns.int64s(rows, [&](std::int64_t* age) {
            for (std::size_t i = 0; i < rows; ++i) age[i] = static_cast<std::int64_t>(i % std::max<std::size_t>(table.ages, 1));
        }));
        out.put("customers", columns.int64s(table.customers));
        out.put("active", columns.int64s(table.active));
        out.put("retention", columns.floats(table.retention));
        return out.dict();
    }
};

struct CohortRetentionMatrix {
    static constexpr const char* signature = "cohort_retention_matrix(table)";
    static constexpr const char* doc =
        "The cohort x age matrix of a cohort table.\n\n"
        "table: the dict cohort_retention_from_columns returns, or a DataFrame made from it (any table\n"
        "with columns cohort, age and retention, one row per cohort and age).\n\n"
        "Returns a dict: 'cohort' (the cohorts in order of first appearance), 'age' (int64, 0 to the\n"
        "largest age) and 'retention' (a float64 matrix, one row per cohort and one column per age; NaN\n"
        "where the table has no row). A negative age, a repeated (cohort, age) or columns of unequal length\n"
        "raise ValueError.\n\n"
        ">>> m = cohort_retention_matrix({'cohort': ['2024-01', '2024-01', '2024-02'], 'age': [0, 1, 0],\n"
        "...                              'retention': [1.0, 0.5, 1.0]})\n"
        ">>> m['cohort'], m['retention'].tolist()\n"
        "(['2024-01', '2024-02'], [[1.0, 0.5], [1.0, nan]])";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        PyObject* table = a.raw("table");
        if (PyUnicode_Check(table) || PyList_Check(table) || PyTuple_Check(table) || !PyObject_HasAttrString(table, "__getitem__"))
            raise_argument(PyExc_TypeError, "table", format("expected a dict of columns or a DataFrame, not {}", type_name(table)));
        Ref cohort_column = table_column(table, "cohort");
        Ref age_column = table_column(table, "age");
        Ref retention_column = table_column(table, "retention");
        const auto ages = From<std::vector<std::int64_t>>::convert(age_column.get(), "table");
        const auto retention = From<std::vector<double>>::convert(retention_column.get(), "table");
        Ref cohort_items = positional(cohort_column.get(), "table");
        const SequenceItems cohorts(cohort_items.get(), "table");
        if (cohorts.size() != ages.size() || ages.size() != retention.size())
            raise(PyExc_ValueError, format("table columns cohort, age and retention must have the same length, got {}, {} and {}",
                                           cohorts.size(), ages.size(), retention.size()));

        // Cohorts by their text, in order of first appearance.
        engine::StringMap<std::size_t> row_of;
        std::vector<std::size_t> row(cohorts.size());
        std::vector<std::string> label_of;
        Ref labels = Ref::steal(PyList_New(0));
        std::int64_t max_age = -1;
        for (std::size_t i = 0; i < cohorts.size(); ++i) {
            Ref text = Ref::adopt(PyObject_Str(cohorts[i]));
            if (!text) reraise_for_argument("table");
            const std::string label = From<std::string>::convert(text.get(), "table");
            const auto [it, added] = row_of.try_emplace(label, row_of.size());
            if (added) {
                if (PyList_Append(labels.get(), cohorts[i]) < 0) throw PyErrorAlreadySet{};
                label_of.push_back(label);
            }
            row[i] = it->second;
            if (ages[i] < 0) raise(PyExc_ValueError, format("table has a negative age ({}) at row {}", ages[i], i));
            max_age = std::max(max_age, ages[i]);
        }
        const std::uint64_t width = static_cast<std::uint64_t>(max_age + 1);
        if (width > kMaxCells || row_of.size() * width > kMaxCells)
            raise(PyExc_ValueError, format("a matrix of {} cohorts with ages up to {} exceeds {} cells", row_of.size(), max_age, kMaxCells));
        const std::size_t cols = static_cast<std::size_t>(width);
        std::vector<double> matrix(row_of.size() * cols, std::numeric_limits<double>::quiet_NaN());
        std::vector<std::uint8_t> filled(matrix.size(), 0);
        for (std::size_t i = 0; i < cohorts.size(); ++i) {
            const std::size_t cell = row[i] * cols + static_cast<std::size_t>(ages[i]);
            if (filled[cell]++)
                raise(PyExc_ValueError, format("table has two rows for cohort '{}' at age {}", label_of[row[i]], ages[i]));
            matrix[cell] = retention[i];
        }

        const OutputColumns columns;
        std::vector<std::int64_t> age_values(cols);
        for (std::size_t j = 0; j < cols; ++j) age_values[j] = static_cast<std::int64_t>(j);
        Ref values;
        if (columns.numpy()) {
            Ref flat = columns.floats(matrix);
            values = Ref::adopt(PyObject_CallMethod(flat.get(), "reshape", "nn", static_cast<Py_ssize_t>(row_of.size()),
                                                    static_cast<Py_ssize_t>(cols)));
            if (!values) throw PyErrorAlreadySet{};
        } else {
            values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(row_of.size())));
            for (std::size_t r = 0; r < row_of.size(); ++r)
                PyList_SetItem(values.get(), static_cast<Py_ssize_t>(r),
                               to_py(std::vector<double>(matrix.begin() + r * cols, matrix.begin() + (r + 1) * cols)).release());
        }
        Ref out = Ref::steal(PyDict_New());
        if (PyDict_SetItemString(out.get(), "cohort", labels.get()) < 0 ||
            PyDict_SetItemString(out.get(), "age", columns.int64s(age_values).get()) < 0 ||
            PyDict_SetItemString(out.get(), "retention", values.get()) < 0)
            throw PyErrorAlreadySet{};
        return out;
    }
};

}  // namespace

PyMethodDef* cohort_retention_from_columns_def() { return function_def<CohortRetentionFromColumns>(); }
PyMethodDef* cohort_retention_matrix_def() { return function_def<CohortRetentionMatrix>(); }

}  // namespace segmora::py
