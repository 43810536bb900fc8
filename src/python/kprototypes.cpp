// kprototypes_py and PyKPrototypesResult: k-prototypes on numeric rows plus
// optional categorical rows of ints or strs.
//
// Each categorical column's values become codes 0, 1, ... in order of first
// appearance (an int and a str are never equal), so codes compare by equality
// and break mode ties towards the value seen last; the result maps modes back
// to the caller's values.
#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "engine/keyed_hash.hpp"
#include "engine/kprototypes.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using engine::Matrix;

constexpr std::uint64_t kDefaultMaxIter = 300;
constexpr std::uint64_t kDefaultSeed = 42;
constexpr std::int32_t kDefaultJobs = -1;

using CategoryValue = std::variant<std::int64_t, std::string>;

// One column's value -> code table, both halves keyed under the process hash key.
struct ColumnCodes {
    engine::StringMap<std::uint64_t> strings;
    std::unordered_map<std::int64_t, std::uint64_t, engine::KeyedIntegerHash> ints;
    std::vector<CategoryValue> values;  // code -> value, first appearance first

    std::uint64_t code_of(PyObject* item, const char* arg) {
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (!text) reraise_for_argument(arg);
            const std::string_view key(text, static_cast<std::size_t>(size));
            if (auto it = strings.find(key); it != strings.end()) return it->second;
            strings.emplace(std::string(key), values.size());
            values.emplace_back(std::string(key));
            return values.size() - 1;
        }
        if (!PyLong_Check(item) && !PyIndex_Check(item))
            raise_argument(PyExc_TypeError, arg, format("categorical values must be int or str, not {}", type_name(item)));
        return code_of_int(From<std::int64_t>::convert(item, arg));
    }

    std::uint64_t code_of_int(std::int64_t v) {
        const auto [it, inserted] = ints.emplace(v, values.size());
        if (inserted) values.emplace_back(v);
        return it->second;
    }
};

// Categorical rows as extracted, not yet checked for shape.
struct CategoricalInput {
    engine::CodeMatrix codes;                     // the rows of the first row's width
    std::vector<std::vector<CategoryValue>> values;  // per column, code -> value
    std::optional<std::size_t> bad_row;           // first row of another width
    std::size_t bad_width = 0;
    std::size_t n_rows = 0;
};

// An element of a 2-D C-contiguous integer buffer as a signed 64-bit value.
template <class T>
std::int64_t buffer_int(const char* p, const char* arg) {
    T v;
    std::memcpy(&v, p, sizeof v);  // the buffer need not be aligned
    if constexpr (std::is_unsigned_v<T> && sizeof(T) == 8) {
        if (v > static_cast<T>(std::numeric_limits<std::int64_t>::max()))
            raise_argument(PyExc_OverflowError, arg, "out of range for a 64-bit signed integer");
    }
    return static_cast<std::int64_t>(v);
}

using BufferReader = std::int64_t (*)(const char*, const char*);

BufferReader integer_reader(const char* format, Py_ssize_t itemsize) {
    if (!format) return nullptr;
    if (*format == '<' || *format == '=' || *format == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return nullptr;
    const bool is_signed = std::strchr("bhilq", format[0]) != nullptr;
    if (!is_signed && !std::strchr("BHILQ", format[0])) return nullptr;
    switch (itemsize) {
        case 1: return is_signed ? &buffer_int<std::int8_t> : &buffer_int<std::uint8_t>;
        case 2: return is_signed ? &buffer_int<std::int16_t> : &buffer_int<std::uint16_t>;
        case 4: return is_signed ? &buffer_int<std::int32_t> : &buffer_int<std::uint32_t>;
        case 8: return is_signed ? &buffer_int<std::int64_t> : &buffer_int<std::uint64_t>;
        default: return nullptr;
    }
}

// Fast path: a 2-D C-contiguous integer buffer (a NumPy int array), read without
// a Python object per value. Returns false (no error pending) for anything else.
bool extract_integer_buffer(PyObject* obj, const char* arg, CategoricalInput& out) {
    if (PyList_Check(obj) || PyTuple_Check(obj) || !PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not C-contiguous: the row path handles it
        return false;
    }
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const BufferReader read = view.ndim == 2 ? integer_reader(view.format, view.itemsize) : nullptr;
    if (!read) return false;
    const auto n = static_cast<std::size_t>(view.shape[0]), m = static_cast<std::size_t>(view.shape[1]);
    out.n_rows = out.codes.rows = n;
    out.codes.cols = n == 0 ? 0 : m;  // like an empty list of rows
    out.codes.codes.resize(n * out.codes.cols);
    std::vector<ColumnCodes> columns(out.codes.cols);
    const char* p = static_cast<const char*>(view.buf);
    for (std::size_t idx = 0; idx < out.codes.codes.size(); ++idx, p += view.itemsize)
        out.codes.codes[idx] = columns[idx % m].code_of_int(read(p, arg));
    for (ColumnCodes& c : columns) out.values.push_back(std::move(c.values));
    return true;
}

CategoricalInput extract_categorical(PyObject* obj, const char* arg) {
    CategoricalInput out;
    if (extract_integer_buffer(obj, arg, out)) return out;
    SequenceItems rows(obj, arg);
    out.n_rows = rows.size();
    std::vector<ColumnCodes> columns;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SequenceItems row = at_position(arg, "row", i, [&] { return SequenceItems(rows[i], arg); });
        if (i == 0) {
            out.codes.cols = row.size();
            columns.resize(row.size());
            if (row.size() != 0 && rows.size() <= (std::size_t{1} << 36) / row.size())
                out.codes.codes.reserve(rows.size() * row.size());
        }
        if (row.size() != out.codes.cols) {
            if (!out.bad_row) {
                out.bad_row = i;
                out.bad_width = row.size();
            }
            continue;
        }
        for (std::size_t j = 0; j < row.size(); ++j) {
            auto code = [&] { return columns[j].code_of(row[j], arg); };
            out.codes.codes.push_back(at_position(arg, "row", i, [&] { return at_position(arg, "column", j, code); }));
        }
        ++out.codes.rows;
    }
    for (ColumnCodes& c : columns) out.values.push_back(std::move(c.values));
    return out;
}

// ValueError naming the first categorical row that does not fit the data.
void check_shape(const CategoricalInput& cat, std::size_t n_data) {
    if (cat.bad_row)
        raise(PyExc_ValueError, format("categorical row {} has {} values but row 0 has {}", *cat.bad_row, cat.bad_width,
                                       cat.codes.cols));
    if (cat.n_rows != n_data)
        raise(PyExc_ValueError, format("categorical has {} rows but data has {}: row {} has no counterpart", cat.n_rows,
                                       n_data, std::min(cat.n_rows, n_data)));
}

struct KPrototypesOutput {
    engine::KPrototypesResult fit;
    std::vector<std::vector<CategoryValue>> values;  // per column, code -> value
};

struct KPrototypesPy {
    static constexpr const char* signature =
        "kprototypes_py(data, categorical, n_clusters, max_iter=None, random_state=None, n_jobs=None)";
    static constexpr const char* doc =
        "Cluster rows with numeric features `data` and categorical features\n"
        "`categorical` (None, or one row of ints or strs per data row) by\n"
        "k-prototypes: squared Euclidean distance on the numeric part plus `gamma`\n"
        "per categorical mismatch. Defaults: 300 iterations, seed 42, one worker\n"
        "per CPU.\n"
        "\n"
        "data: rows of floats (lists, or a 2-D NumPy array or DataFrame of numbers).\n"
        "categorical: rows of ints or strs (lists, or a 2-D integer or object array), or None.\n"
        "n_clusters, max_iter, random_state: ints >= 0; n_jobs: worker threads (the\n"
        "result is the same for any n_jobs).\n"
        "\n"
        "Returns a PyKPrototypesResult. Raises RuntimeError for n_clusters 0, no rows,\n"
        "more clusters than rows, or a NaN or infinite number; ValueError when the\n"
        "categorical rows do not match the data rows in number or width.\n"
        "\n"
        ">>> r = kprototypes_py([[1.0], [1.2], [8.0], [8.5]], [[\"a\"], [\"a\"], [\"b\"], [\"b\"]], 2)\n"
        ">>> r.labels, r.n_iter\n"
        "([1, 1, 0, 0], 2)";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        RowsInput rows = a.get<RowsInput>("data");
        PyObject* categorical = a.raw("categorical");
        std::optional<CategoricalInput> cat;
        if (categorical != Py_None) cat = extract_categorical(categorical, "categorical");
        const auto n_clusters = a.get<std::uint64_t>("n_clusters");
        const auto max_iter = a.get_or<std::uint64_t>("max_iter", kDefaultMaxIter);
        const auto random_state = a.get_or<std::uint64_t>("random_state", kDefaultSeed);
        const auto n_jobs = a.get_or<std::int32_t>("n_jobs", kDefaultJobs);
        const Matrix data = to_matrix(std::move(rows));
        if (cat) check_shape(*cat, data.rows());
        KPrototypesOutput out;
        out.fit = unlocked(data.size() + (cat ? cat->codes.codes.size() : 0), [&] {
            return engine::kprototypes_fit(data, cat ? &cat->codes : nullptr, n_clusters, max_iter, random_state, n_jobs);
        });
        if (cat) out.values = std::move(cat->values);
        return wrap(std::move(out));
    }
};

Ref value_to_py(const CategoryValue& v) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) return to_py(*i);
    return to_py(std::get<std::string>(v));
}

Ref result_labels(const KPrototypesOutput& r) { return to_py(r.fit.labels); }
Ref result_centers(const KPrototypesOutput& r) { return to_py(r.fit.centers); }
double result_gamma(const KPrototypesOutput& r) { return r.fit.gamma; }
double result_cost(const KPrototypesOutput& r) { return r.fit.cost; }
std::uint64_t result_n_iter(const KPrototypesOutput& r) { return r.fit.n_iter; }

Ref result_modes(const KPrototypesOutput& r) {
    const engine::CodeMatrix& modes = r.fit.modes;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(modes.rows)));
    for (std::size_t c = 0; c < modes.rows; ++c) {
        Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(modes.cols)));
        for (std::size_t j = 0; j < modes.cols; ++j)
            PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j), value_to_py(r.values[j][modes(c, j)]).release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), row.release());
    }
    return list;
}

// ---- pickling ----

// The state of a category value: an int or a str; anything else is damage.
CategoryValue state_category(PyObject* item) {
    if (PyUnicode_Check(item)) return StateReader::as<std::string>(item, 6);
    if (!PyLong_Check(item)) throw StateError{"item 6 has the wrong type or range"};
    return StateReader::as<std::int64_t>(item, 6);
}

struct KPrototypesResultState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const KPrototypesOutput& r) {
        const engine::CodeMatrix& modes = r.fit.modes;
        std::vector<std::vector<std::uint64_t>> mode_rows(modes.rows);
        for (std::size_t c = 0; c < modes.rows; ++c)
            mode_rows[c].assign(modes.codes.begin() + static_cast<std::ptrdiff_t>(c * modes.cols),
                                modes.codes.begin() + static_cast<std::ptrdiff_t>((c + 1) * modes.cols));
        Ref values = Ref::steal(PyList_New(0));
        for (const auto& column : r.values) {
            Ref items = Ref::steal(PyList_New(0));
            for (const CategoryValue& v : column)
                if (PyList_Append(items.get(), value_to_py(v).get()) < 0) throw PyErrorAlreadySet{};
            if (PyList_Append(values.get(), items.get()) < 0) throw PyErrorAlreadySet{};
        }
        return py::make_tuple(r.fit.labels, to_py(r.fit.centers), mode_rows, r.fit.gamma, r.fit.cost, r.fit.n_iter,
                              values);
    }
    static KPrototypesOutput load(PyObject* state) {
        StateReader r(state, 7);
        KPrototypesOutput out;
        out.fit.labels = r.next<std::vector<std::uint64_t>>();
        PyObject* centers = r.next_object();
        try {
            out.fit.centers = to_array2(centers, "state");
        } catch (const PyErrorAlreadySet&) {
            PyErr_Clear();
            throw StateError{"the centers are not a matrix"};
        }
        const std::size_t k = out.fit.centers.rows();
        for (const std::uint64_t label : out.fit.labels)
            if (label >= k) throw StateError{format("label {} is not below the {} centers", label, k)};
        const auto mode_rows = r.next<std::vector<std::vector<std::uint64_t>>>();
        out.fit.gamma = r.next<double>();
        out.fit.cost = r.next<double>();
        out.fit.n_iter = r.next<std::uint64_t>();
        PyObject* values = r.next_object();
        if (!PyList_Check(values)) throw StateError{"item 6 is not a list"};
        for (Py_ssize_t j = 0; j < PyList_Size(values); ++j) {
            PyObject* column = PyList_GetItem(values, j);
            if (!PyList_Check(column)) throw StateError{"item 6 is not a list of lists"};
            std::vector<CategoryValue> items;
            for (Py_ssize_t i = 0; i < PyList_Size(column); ++i)
                items.push_back(state_category(PyList_GetItem(column, i)));
            out.values.push_back(std::move(items));
        }
        const std::size_t m = out.values.size();
        if (mode_rows.size() != k) throw StateError{"the modes do not match the centers"};
        out.fit.modes.rows = k;
        out.fit.modes.cols = m;
        for (const auto& row : mode_rows) {
            if (row.size() != m) throw StateError{"the modes do not match the categorical columns"};
            for (std::size_t j = 0; j < m; ++j) {
                if (row[j] >= out.values[j].size())
                    throw StateError{format("mode code {} has no value in column {}", row[j], j)};
                out.fit.modes.codes.push_back(row[j]);
            }
        }
        return out;
    }
};

}  // namespace

constexpr const char* kKPrototypesResultDoc =
    "A k-prototypes fit as kprototypes_py returns it: labels, numeric centers,\n"
    "categorical modes, the mismatch weight gamma, the total cost and n_iter.\n"
    "\n"
    "Made only by kprototypes_py; the attributes are read-only and return new copies.\n"
    "\n"
    ">>> r = kprototypes_py([[1.0], [1.2], [8.0], [8.5]], [[\"a\"], [\"a\"], [\"b\"], [\"b\"]], 2)\n"
    ">>> r.labels, r.centers, r.modes\n"
    "([1, 1, 0, 0], [[8.25], [1.1]], [['b'], ['a']])";

PyTypeObject* kprototypes_result_type() {
    return type_once<KPrototypesOutput>([] {
        return ClassDef<KPrototypesOutput>("PyKPrototypesResult", kKPrototypesResultDoc)
            .property<&result_labels>("labels", "Cluster index (0 to k - 1) of every row, in row order.")
            .property<&result_centers>(
                "centers", "The numeric part of each prototype: the mean of its rows' numeric features.")
            .property<&result_modes>(
                "modes",
                "The categorical part of each prototype: the most frequent value of each categorical column, as given (int or str).")
            .property<&result_gamma>(
                "gamma",
                "Cost of one categorical mismatch: the root of the mean variance of the numeric columns (at least 1e-9).")
            .property<&result_cost>(
                "cost",
                "Sum over the rows of the cost to their own prototype (squared distance plus gamma per mismatch).")
            .property<&result_n_iter>("n_iter", "Iterations run: fewer than max_iter when the labels stopped changing.")
            .pickle<KPrototypesResultState>()
            .build();
    });
}

PyMethodDef* kprototypes_py_def() { return function_def<KPrototypesPy>(); }

}  // namespace segmora::py
