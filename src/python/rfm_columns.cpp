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
// pandas Categorical.
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

struct RfmFromColumns {
    static constexpr const char* signature = "rfm_from_columns(customer_ids, timestamps, amounts, config=None, as_of=None, n_jobs=None)";
    static constexpr const char* doc =
        "RFM scores of every customer from three equal-length columns.\n\n"
        "customer_ids: str or int values (list, NumPy array, pandas Series, Arrow array); integral floats are ints.\n"
        "timestamps: datetime64 of any unit (tz-aware pandas data is converted to UTC, naive data is UTC), int epoch\n"
        "seconds (nullable pandas and Arrow integers too), datetime objects (naive ones are UTC), dates (midnight UTC)\n"
        "or RFC 3339 strings; None, NaN and NaT are missing.\n"
        "amounts: floats. config: a PyRFMConfig (default PyRFMConfig()). as_of: the reference instant\n"
        "(datetime, date, datetime64, int epoch seconds or RFC 3339 str; default now). Transactions dated after a\n"
        "given as_of are left out, as are those with a missing or unreadable timestamp (each kind reported in a\n"
        "UserWarning); a customer left without a transaction is left out of the result.\n\n"
        "Returns a dict of equal-length columns (customer_id, recency, recency_days, frequency, monetary,\n"
        "r_score, f_score, m_score, segment) in calculate_rfm_py's order; pandas.DataFrame(result) takes it as is.\n"
        "Ids given as a pandas Series keep its dtype, and the segments then come as a pandas Categorical.";
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
        if (tx.size() > 0) {
            const auto pool = engine::build_thread_pool(n_jobs.value_or(-1));
            groups = tx.group(pool.get());
            poll_interrupt();
            t = engine::rfm_columns(groups, tx.purchases(), config, *pool, tx.as_of());
        }
        tx.warn(groups);

        const OutputColumns columns;
        Ref out = Ref::steal(PyDict_New());
        auto put = [&](const char* key, Ref value) {
            if (PyDict_SetItemString(out.get(), key, value.get()) < 0) throw PyErrorAlreadySet{};
        };
        Ref ids = tx.id_column(a.raw("customer_ids"), groups, t.group, columns);
        const bool from_pandas = !PyList_Check(ids.get());
        Ref segments = from_pandas ? segment_categories(t.segment, columns) : Ref();
        put("customer_id", std::move(ids));
        put("recency", columns.floats(t.recency));
        put("recency_days", columns.floats(t.recency_days));
        put("frequency", columns.floats(t.frequency));
        put("monetary", columns.floats(t.monetary));
        put("r_score", columns.int64s(t.recency_score));
        put("f_score", columns.int64s(t.frequency_score));
        put("m_score", columns.int64s(t.monetary_score));
        put("segment", segments ? std::move(segments) : segment_names(t.segment));
        return out;
    }
};

}  // namespace

PyMethodDef* rfm_from_columns_def() { return function_def<RfmFromColumns>(); }

}  // namespace segmora::py
