// rfm_from_columns: RFM from three parallel columns (customer ids, timestamps,
// amounts) given as lists, NumPy arrays, pandas Series or Arrow arrays.
//
// The columns and as_of are read by TransactionColumns (python/transactions.hpp),
// which also skips and reports the rows that cannot count: a missing or
// unreadable timestamp, or one after a given as_of. Customers left without a
// row are left out. NaN amounts flow into the sums and are reported too. The
// result is a dict of equal-length columns in calculate_rfm_py's row order:
// numbers as NumPy arrays when NumPy is loaded, else array.array; ids and
// segments as lists, except that ids given as a pandas Series or Index are
// taken from its array (keeping the dtype) and the segments then come as a
// pandas Categorical, and ids given as a polars Series are gathered from it
// with the segments as a polars Categorical.
#include <algorithm>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/rfm.hpp"
#include "engine/rfm_columns.hpp"
#include "engine/thread_pool.hpp"
#include "interrupt.hpp"
#include "python/bindings.hpp"
#include "python/transactions.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/output.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

// The segment names, one str object per distinct name.
Ref segment_names(const std::vector<engine::SegmentType>& segment) {
    Ref names[engine::kSegmentTypeCount];
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(segment.size())));
    for (std::size_t i = 0; i < segment.size(); ++i) {
        Ref& name = names[static_cast<std::size_t>(segment[i])];
        if (!name) name = to_py(engine::display_name(segment[i]));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref(name).release());
    }
    return list;
}

// The segment names as a pandas Categorical (categories in order of first
// appearance), when pandas is loaded; a null Ref otherwise.
Ref segment_categories(const std::vector<engine::SegmentType>& segment, const OutputColumns& columns) {
    PyObject* pandas = loaded_module("pandas");
    if (!pandas) return {};
    std::uint32_t code_of[engine::kSegmentTypeCount];
    std::fill(std::begin(code_of), std::end(code_of), std::numeric_limits<std::uint32_t>::max());
    Ref categories = Ref::steal(PyList_New(0));
    std::vector<std::uint32_t> codes(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) {
        std::uint32_t& code = code_of[static_cast<std::size_t>(segment[i])];
        if (code == std::numeric_limits<std::uint32_t>::max()) {
            code = static_cast<std::uint32_t>(PyList_Size(categories.get()));
            if (PyList_Append(categories.get(), to_py(engine::display_name(segment[i])).get()) < 0) throw PyErrorAlreadySet{};
        }
        codes[i] = code;
    }
    Ref categorical = Ref::adopt(PyObject_GetAttrString(pandas, "Categorical"));
    Ref from_codes = categorical ? Ref::adopt(PyObject_GetAttrString(categorical.get(), "from_codes")) : Ref();
    Ref result = from_codes ? Ref::adopt(PyObject_CallFunctionObjArgs(from_codes.get(), columns.int64s(codes).get(),
                                                                      categories.get(), nullptr))
                            : Ref();
    if (!result) PyErr_Clear();
    return result;
}

// The segment names as a polars Categorical, gathered from one name per segment.
Ref segment_polars(const std::vector<engine::SegmentType>& segment, const OutputColumns& columns) {
    PyObject* polars = loaded_module("polars");
    if (!polars) return {};
    std::vector<std::int64_t> codes(segment.size());
    for (std::size_t i = 0; i < segment.size(); ++i) codes[i] = static_cast<std::int64_t>(segment[i]);
    std::vector<std::string> names;
    for (std::size_t t = 0; t < engine::kSegmentTypeCount; ++t)
        names.emplace_back(engine::display_name(static_cast<engine::SegmentType>(t)));
    Ref series = Ref::adopt(PyObject_GetAttrString(polars, "Series"));
    Ref categorical = Ref::adopt(PyObject_GetAttrString(polars, "Categorical"));
    Ref args = Ref::adopt(Py_BuildValue("(sN)", "segment", to_py(names).release()));
    Ref kwargs = categorical ? Ref::adopt(Py_BuildValue("{s:O}", "dtype", categorical.get())) : Ref();
    Ref named = series && args && kwargs ? Ref::adopt(PyObject_Call(series.get(), args.get(), kwargs.get())) : Ref();
    Ref index = columns.numpy() ? columns.int64s(codes) : to_py(codes);  // polars needs no NumPy
    Ref result = named ? Ref::adopt(PyObject_CallMethod(named.get(), "gather", "O", index.get())) : Ref();
    if (!result) PyErr_Clear();
    return result;
}

// Groups the rows by customer, computes their values and scores and counts
// the rows skipped, without the interpreter lock: the columns are held by `tx`
// for the call.
SkipReport group_and_score(TransactionColumns& tx, const engine::RFMConfig& config, std::optional<std::int32_t> n_jobs,
                           engine::Grouping& groups, engine::RfmTable& t) {
    return unlocked(tx.size() * 3, [&] {
        if (tx.size() > 0) {
            const auto pool = engine::build_thread_pool(n_jobs.value_or(-1));
            groups = tx.group(pool.get());
            poll_interrupt();
            t = engine::rfm_columns(groups, tx.purchases(), config, *pool, tx.as_of());
        }
        return tx.report(groups);
    });
}

struct RfmFromColumns {
    static constexpr const char* signature = "rfm_from_columns(customer_ids, timestamps, amounts, config=None, as_of=None, n_jobs=None)";
    static constexpr const char* doc =
        "RFM scores of every customer from three equal-length columns.\n"
        "\n"
        "customer_ids: str or int values (list, NumPy array, pandas Series, Arrow array); integral floats are ints.\n"
        "timestamps: datetime64 of any unit (tz-aware pandas data is converted to UTC, naive data is UTC), int epoch\n"
        "seconds (nullable pandas and Arrow integers too), datetime objects (naive ones are UTC), dates (midnight UTC)\n"
        "or RFC 3339 strings; None, NaN and NaT are missing.\n"
        "amounts: floats.\n"
        "config: a PyRFMConfig (default PyRFMConfig()).\n"
        "as_of: the reference instant (datetime, date, datetime64, int epoch seconds or RFC 3339 str; default\n"
        "now). Transactions dated after a given as_of are left out, as are those with a missing or unreadable\n"
        "timestamp (each kind reported in a UserWarning); a customer left without a transaction is left out of\n"
        "the result.\n"
        "n_jobs: worker threads (default one per CPU); the result is the same for any n_jobs.\n"
        "\n"
        "Returns a dict of equal-length columns (customer_id, recency, recency_days, frequency, monetary,\n"
        "r_score, f_score, m_score, segment) in calculate_rfm_py's order; pandas.DataFrame(result) takes it as is.\n"
        "Ids given as a pandas Series keep its dtype, and the segments then come as a pandas Categorical; ids given\n"
        "as a polars Series come as a polars Series of their dtype, and the segments as a polars Categorical.\n"
        "Columns of unequal length raise ValueError; ids mixing ints and strs, or a value of another type,\n"
        "TypeError naming the column (and the item).\n"
        "\n"
        ">>> r = rfm_from_columns([\"a\", \"b\", \"a\"], [\"2024-05-01T00:00:00Z\", \"2024-05-20T00:00:00Z\",\n"
        "...                      \"2024-05-25T00:00:00Z\"], [10.0, 5.0, 7.5], as_of=\"2024-06-01T00:00:00Z\")\n"
        ">>> r[\"customer_id\"], r[\"recency_days\"].tolist(), r[\"segment\"]\n"
        "(['a', 'b'], [7.0, 12.0], ['Champions', 'Lost'])";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionColumns tx;
        tx.read_ids(a.raw("customer_ids"), "customer_ids");
        tx.read_timestamps(a.raw("timestamps"), "timestamps");
        tx.read_amounts(a.raw("amounts"), "amounts");
        engine::RFMConfig config;
        if (PyObject* c = a.raw("config"); c && c != Py_None) config = *Borrowed<engine::RFMConfig>(c, "config");
        tx.read_as_of(a.raw("as_of"));
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        tx.check_lengths();

        engine::Grouping groups;
        engine::RfmTable t;
        warn_skips(group_and_score(tx, config, n_jobs, groups, t));

        const OutputColumns columns;
        const ColumnDict out;
        Ref ids = tx.id_column(a.raw("customer_ids"), groups, t.group, columns);
        const bool from_polars = is_polars_series(a.raw("customer_ids")) && is_polars_series(ids.get());
        const bool from_pandas = !from_polars && !PyList_Check(ids.get());
        Ref segments = from_polars ? segment_polars(t.segment, columns)
                       : from_pandas ? segment_categories(t.segment, columns) : Ref();
        out.put("customer_id", std::move(ids));
        out.put("recency", columns.floats(t.recency));
        out.put("recency_days", columns.floats(t.recency_days));
        out.put("frequency", columns.floats(t.frequency));
        out.put("monetary", columns.floats(t.monetary));
        out.put("r_score", columns.int64s(t.recency_score));
        out.put("f_score", columns.int64s(t.frequency_score));
        out.put("m_score", columns.int64s(t.monetary_score));
        out.put("segment", segments ? std::move(segments) : segment_names(t.segment));
        return out.dict();
    }
};

// One partition of a partitioned input (every transaction of its customers),
// reduced to per-customer values for score_rfm_values.
struct RfmPartitionColumns {
    static constexpr const char* signature =
        "rfm_partition_columns(customer_ids, timestamps, amounts, rows, as_of, config=None, cut_off=True, n_jobs=None)";
    static constexpr const char* doc =
        "Raw RFM values of one partition's customers, read from columns as rfm_from_columns reads them.\n"
        "\n"
        "rows: each transaction's position in the whole input, ascending. as_of: the reference instant of the\n"
        "whole computation; with cut_off, transactions dated after it are left out. Returns (values, report):\n"
        "one (customer_id as str, recency, frequency, monetary, first_row, last_seconds, last_nanos) tuple per\n"
        "customer with a usable transaction, and the partition's skip report, with indexes into the whole input.\n"
        "score_rfm_values(values of every partition, config, reports=[...]) then gives rfm_from_columns' records\n"
        "and warnings. Errors are rfm_from_columns' errors; rows of another length than the columns raise\n"
        "ValueError.\n"
        "\n"
        ">>> values, report = rfm_partition_columns([\"a\", \"b\"], [\"2024-05-01T00:00:00Z\", \"2024-05-20T00:00:00Z\"],\n"
        "...                                        [10.0, 5.0], [0, 1], \"2024-06-01T00:00:00Z\")\n"
        ">>> score_rfm_values(values, PyRFMConfig(), reports=[report])[0].rfm_segment\n"
        "'Promising'";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        TransactionColumns tx;
        tx.read_ids(a.raw("customer_ids"), "customer_ids");
        tx.read_timestamps(a.raw("timestamps"), "timestamps");
        tx.read_amounts(a.raw("amounts"), "amounts");
        const auto rows = a.get<std::vector<std::int64_t>>("rows");
        tx.read_as_of(a.raw("as_of"));
        engine::RFMConfig config;
        if (PyObject* c = a.raw("config"); c && c != Py_None) config = *Borrowed<engine::RFMConfig>(c, "config");
        tx.set_cut_off(a.get_or<bool>("cut_off", true));
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        tx.check_lengths();
        if (rows.size() != tx.size())
            raise(PyExc_ValueError, format("rows has {} entries but there are {} transactions", rows.size(), tx.size()));
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i] < 0 || (i > 0 && rows[i] <= rows[i - 1]))
                raise(PyExc_ValueError, format("rows must be ascending non-negative positions (index {})", i));

        engine::Grouping groups;
        engine::RfmTable t;
        SkipReport report = group_and_score(tx, config, n_jobs, groups, t);
        auto global = [&](std::size_t count, std::size_t& at) {
            if (count) at = static_cast<std::size_t>(rows[at]);
        };
        global(report.unreadable, report.first_unreadable);
        global(report.missing, report.first_missing);
        global(report.after, report.first_after);
        global(report.nan_amounts, report.first_nan_amount);

        Ref ids = tx.id_column(a.raw("customer_ids"), groups, t.group, OutputColumns());
        Ref values = Ref::steal(PyList_New(static_cast<Py_ssize_t>(t.group.size())));
        for (std::size_t i = 0; i < t.group.size(); ++i) {
            Ref id = Ref::steal(PySequence_GetItem(ids.get(), static_cast<Py_ssize_t>(i)));
            Ref text = PyUnicode_Check(id.get()) ? id : Ref::steal(PyObject_Str(id.get()));
            const auto first = static_cast<std::uint64_t>(rows[groups.first_row[t.group[i]]]);
            PyList_SetItem(values.get(), static_cast<Py_ssize_t>(i),
                           py::make_tuple(text, t.recency[i], t.frequency[i], t.monetary[i], first, t.last[i].seconds,
                                          t.last[i].nanos)
                               .release());
        }
        return py::make_tuple(values, report_to_py(report));
    }
};

}  // namespace

PyMethodDef* rfm_from_columns_def() { return function_def<RfmFromColumns>(); }
PyMethodDef* rfm_partition_columns_def() { return function_def<RfmPartitionColumns>(); }

}  // namespace segmora::py
