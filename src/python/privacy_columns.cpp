// k_anonymity_from_columns: the k-anonymity check of check_k_anonymity over the
// columns of a pandas DataFrame, a dict of columns or an Arrow table (pyarrow,
// polars), with every row's group size and whether it would be suppressed.
//
// Rows group as their row dicts would: by the text of each quasi-identifier
// value, where a number reads as its shortest decimal text (1.0 and 1 both as
// "1"), a bool as "True" or "False" and a missing value (None, NaN, NaT, NA,
// an Arrow null) as the empty string. Each column is reduced to codes first:
// read on the calling thread (NumPy numbers through their buffer and Arrow
// text, numbers and dictionaries through the C data interface, in place where
// the layout allows; anything else item by item), then coded on the workers,
// one column each. Only codes are compared, so no text is built for a typed
// column.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/row_groups.hpp"
#include "engine/thread_pool.hpp"
#include "python/bindings.hpp"
#include "python/transactions.hpp"
#include "python/timestamps.hpp"
#include "python/toolkit/arrays.hpp"
#include "python/toolkit/arrow_columns.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

namespace {

using arrow::ArrowColumn;
using arrow::ArrowValues;
using arrow::ValueKind;
using engine::CodedColumn;
using engine::ThreadPool;

constexpr const char* kArg = "columns";

[[noreturn]] void refuse_column(const std::string& name, const std::string& what) {
    raise_argument(PyExc_TypeError, kArg, format("column '{}' has {}", name, what));
}

[[noreturn]] void malformed() { raise(PyExc_ValueError, format("{}: malformed Arrow array", kArg)); }

// One column's values gathered before coding: texts (a missing value is the
// empty text) or 64-bit keys with a missing flag per row. A number's key is
// its value, or the bits of its double: distinct doubles have distinct
// shortest texts, so equal bits are equal texts (-0 and 0 stay apart, as
// their texts do).
struct Gathered {
    bool texts = false;
    std::vector<std::string_view> text;
    std::vector<std::int64_t> keys;
    std::vector<std::uint8_t> missing;  // as long as `keys` once a value is missing
    std::deque<std::string> owned;      // texts made here (stable addresses)

    std::size_t size() const noexcept { return texts ? text.size() : keys.size(); }
    void add_missing() {
        if (texts) {
            text.emplace_back();
            return;
        }
        missing.resize(keys.size() + 1, 0);
        missing.back() = 1;
        keys.push_back(0);
    }
    void add_key(std::int64_t key) {
        keys.push_back(key);
        if (!missing.empty()) missing.push_back(0);
    }
    void add_real(double v) {
        if (std::isnan(v)) add_missing();
        else add_key(std::bit_cast<std::int64_t>(v));
    }
    void add_text(std::string made) {
        owned.push_back(std::move(made));
        text.emplace_back(owned.back());
    }
    CodedColumn code(ThreadPool* pool) const {
        if (texts) return engine::code_texts(std::span(text), pool);
        CodedColumn out = engine::code_integers(keys, pool);
        if (!missing.empty()) engine::code_missing(out, missing);
        return out;
    }
};

// A column read on the calling thread: what keeps its values alive, and how
// to code them on any thread (with a pool for the hashing, or none).
struct ReadColumn {
    std::size_t rows = 0;
    Ref owner;
    std::shared_ptr<ArrowColumn> arrow;
    std::shared_ptr<Py_buffer> buffer;  // released when the last holder goes
    std::function<CodedColumn(ThreadPool*)> code;
};

// ---- Arrow ----

// Appends the values of one batch (not dictionary-encoded) to `out`.
void gather_batch(const ArrowValues& v, Gathered& out) {
    const std::size_t n = v.size();
    if (v.kind() == ValueKind::Text) {
        out.text.reserve(out.text.size() + n);
        for (std::size_t i = 0; i < n; ++i) out.text.push_back(v.null(i) ? std::string_view{} : v.text(i));
        return;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (v.null(i)) out.add_missing();
        else if (v.kind() == ValueKind::Real) out.add_real(v.real(i));
        else out.add_key(v.integer(i));
    }
}

std::string format_of(const arrow::ArrowSchema& schema) { return schema.format ? schema.format : ""; }

// Text or 64-bit integers of one batch without nulls, coded where they lie.
bool read_in_place(const ArrowValues& v, ReadColumn& out) {
    if (v.has_nulls()) return false;
    if (v.kind() == ValueKind::Integer || v.kind() == ValueKind::Unsigned) {
        if (v.width() != 8 || reinterpret_cast<std::uintptr_t>(v.values()) % alignof(std::int64_t) != 0) return false;
        const std::span<const std::int64_t> values(reinterpret_cast<const std::int64_t*>(v.values()), v.size());
        out.code = [values](ThreadPool* pool) { return engine::code_integers(values, pool); };
        return true;
    }
    if (v.kind() != ValueKind::Text) return false;
    if (v.views()) {
        auto buffers = std::make_shared<std::vector<const char*>>(v.view_buffers());
        const char* views = v.view_bytes();
        const std::size_t size = v.size();
        out.code = [buffers, views, size](ThreadPool* pool) {
            return engine::code_texts(engine::ViewTexts(views, buffers->data(), size), pool);
        };
    } else {
        const engine::OffsetTexts texts(v.data(), v.offsets(), v.wide_offsets(), v.size());
        out.code = [texts](ThreadPool* pool) { return engine::code_texts(texts, pool); };
    }
    return true;
}

void read_arrow(ReadColumn& out, const std::string& name) {
    const ArrowColumn& column = *out.arrow;
    out.rows = column.length();
    const arrow::ArrowSchema& schema = column.schema();
    const arrow::ArrowSchema* values_schema = schema.dictionary ? schema.dictionary : &schema;
    const ValueKind kind = arrow::value_kind(values_schema->format);
    if (kind == ValueKind::Other) refuse_column(name, format("unsupported Arrow format '{}'", format_of(*values_schema)));
    auto values = std::make_shared<Gathered>();
    values->texts = kind == ValueKind::Text;
    if (!schema.dictionary) {
        if (column.batch_count() == 1 && read_in_place(ArrowValues(schema.format, column.batch(0), kArg), out)) return;
        for (std::size_t b = 0; b < column.batch_count(); ++b)
            gather_batch(ArrowValues(schema.format, column.batch(b), kArg), *values);
        out.code = [values](ThreadPool* pool) { return values->code(pool); };
        return;
    }
    // Dictionary-encoded (categoricals): every batch's entries are coded
    // together, with one more entry standing for a null; rows take their
    // entry's code.
    const ValueKind index_kind = arrow::value_kind(schema.format);
    if (index_kind != ValueKind::Integer && index_kind != ValueKind::Unsigned)
        refuse_column(name, format("unsupported Arrow dictionary index format '{}'", format_of(schema)));
    constexpr std::uint32_t kNull = std::numeric_limits<std::uint32_t>::max();
    auto entry = std::make_shared<std::vector<std::uint32_t>>(out.rows);
    std::size_t row = 0;
    for (std::size_t b = 0; b < column.batch_count(); ++b) {
        const arrow::ArrowArray& batch = column.batch(b);
        if (!batch.dictionary) malformed();
        const ArrowValues dictionary(values_schema->format, *batch.dictionary, kArg);
        const ArrowValues index(schema.format, batch, kArg);
        if (values->size() + dictionary.size() >= kNull) malformed();
        const auto base = static_cast<std::uint32_t>(values->size());
        gather_batch(dictionary, *values);
        for (std::size_t i = 0; i < index.size(); ++i, ++row) {
            if (index.null(i)) {
                (*entry)[row] = kNull;
                continue;
            }
            const std::int64_t at = index.integer(i);
            if (at < 0 || static_cast<std::uint64_t>(at) >= dictionary.size()) malformed();
            (*entry)[row] = base + static_cast<std::uint32_t>(at);
        }
    }
    const auto null_entry = static_cast<std::uint32_t>(values->size());
    values->add_missing();
    out.code = [values, entry, null_entry](ThreadPool* pool) {
        const CodedColumn entries = values->code(pool);
        CodedColumn coded;
        coded.bound = entries.bound;
        coded.codes.resize(entry->size());
        for (std::size_t i = 0; i < entry->size(); ++i) {
            const std::uint32_t e = (*entry)[i];
            coded.codes[i] = entries.codes[e == kNull ? null_entry : e];
        }
        return coded;
    };
}

// ---- NumPy buffers ----

// A 1-D buffer of numbers (or booleans) in native byte order: an aligned
// contiguous int64 column is coded in place, any other is gathered. False
// (no error pending) when `obj` has no such buffer.
bool read_buffer(PyObject* obj, ReadColumn& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    auto view = std::shared_ptr<Py_buffer>(new Py_buffer{}, [](Py_buffer* b) {
        if (b->obj) PyBuffer_Release(b);
        delete b;
    });
    if (PyObject_GetBuffer(obj, view.get(), PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        view->obj = nullptr;
        return false;
    }
    std::string_view f = view->format ? view->format : "B";
    if (!f.empty() && (f[0] == '@' || f[0] == '=' || (f[0] == '<' && std::endian::native == std::endian::little)))
        f.remove_prefix(1);
    if (view->ndim != 1 || f.size() != 1) return false;
    const char code = f[0];
    const auto size = static_cast<std::size_t>(view->itemsize);
    const bool is_real = code == 'e' || code == 'f' || code == 'd';
    const bool is_signed = std::strchr("bhilqn", code) != nullptr;
    const bool is_unsigned = std::strchr("BHILQN?", code) != nullptr;
    if ((!is_real && !is_signed && !is_unsigned) || (size != 1 && size != 2 && size != 4 && size != 8) ||
        (is_real && size == 1))
        return false;
    const auto n = static_cast<std::size_t>(view->shape[0]);
    const Py_ssize_t stride = view->strides ? view->strides[0] : view->itemsize;
    const char* base = static_cast<const char*>(view->buf);
    out.rows = n;
    if (!is_real && size == 8 && stride == 8 && reinterpret_cast<std::uintptr_t>(base) % alignof(std::int64_t) == 0) {
        const std::span<const std::int64_t> values(reinterpret_cast<const std::int64_t*>(base), n);
        out.buffer = view;
        out.code = [values](ThreadPool* pool) { return engine::code_integers(values, pool); };
        return true;
    }
    auto values = std::make_shared<Gathered>();
    values->keys.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const char* p = base + static_cast<Py_ssize_t>(i) * stride;
        auto load = [p]<class T>(T) {
            T v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        if (is_real) {
            values->add_real(size == 8 ? load(double{}) : size == 4 ? load(float{}) : half_to_double(load(std::uint16_t{})));
        } else if (size == 1) {
            values->add_key(is_signed ? load(std::int8_t{}) : load(std::uint8_t{}));
        } else if (size == 2) {
            values->add_key(is_signed ? load(std::int16_t{}) : load(std::uint16_t{}));
        } else if (size == 4) {
            values->add_key(is_signed ? load(std::int32_t{}) : load(std::uint32_t{}));
        } else {
            values->add_key(load(std::int64_t{}));
        }
    }
    out.code = [values](ThreadPool* pool) { return values->code(pool); };
    return true;
}

// ---- items ----

// The text of one item as a row dict would carry it.
void gather_item(PyObject* item, Gathered& out, const std::string& name, std::size_t row) {
    if (PyUnicode_Check(item)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (!utf8) reraise_for_argument(kArg);
        out.text.emplace_back(utf8, static_cast<std::size_t>(size));
        return;
    }
    const std::string type = type_name(item);
    if (PyBool_Check(item) || type == "bool" || type == "bool_") {
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) reraise_for_argument(kArg);
        out.text.emplace_back(truth ? "True" : "False");
        return;
    }
    if (PyLong_Check(item) || (PyIndex_Check(item) && !PyFloat_Check(item))) {
        Ref index = Ref::adopt(PyNumber_Index(item));
        if (!index) reraise_for_argument(kArg);
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow == 0) {
            out.add_text(to_text(v));
            return;
        }
        Ref text = Ref::adopt(PyObject_Str(index.get()));
        if (!text) reraise_for_argument(kArg);
        out.add_text(From<std::string>::convert(text.get(), kArg));
        return;
    }
    if (PyFloat_Check(item) || (type.starts_with("float") && PyNumber_Check(item))) {  // NumPy floats too
        const double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) reraise_for_argument(kArg);
        if (std::isnan(v)) out.text.emplace_back();
        else out.add_text(to_text(v));
        return;
    }
    if (is_missing(item)) {  // None, NaT, NA
        out.text.emplace_back();
        return;
    }
    refuse_column(name, format("a {} value at row {}; expected str, int, float, bool or a missing value", type, row));
}

void read_items(PyObject* obj, ReadColumn& out, const std::string& name) {
    const SequenceItems items(obj, kArg);
    auto values = std::make_shared<Gathered>();
    values->texts = true;
    values->text.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i % 65536 == 0) poll_interrupt();
        gather_item(items[i], *values, name, i);
    }
    out.rows = items.size();
    out.code = [values](ThreadPool* pool) { return values->code(pool); };  // the texts live in `values`
}

// ---- one column ----

// The dtype of `obj` when it is a NumPy dtype (NumPy arrays, pandas columns
// backed by NumPy), else null.
Ref numpy_dtype(PyObject* obj) {
    PyObject* numpy = loaded_module("numpy");
    if (!numpy || !PyObject_HasAttrString(obj, "dtype")) return {};
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    Ref dtype_type = Ref::adopt(PyObject_GetAttrString(numpy, "dtype"));
    if (!dtype || !dtype_type) {
        PyErr_Clear();
        return {};
    }
    const int is = PyObject_IsInstance(dtype.get(), dtype_type.get());
    if (is < 0) PyErr_Clear();
    return is == 1 ? dtype : Ref();
}

char kind_of(PyObject* dtype) {
    Ref kind = Ref::adopt(PyObject_GetAttrString(dtype, "kind"));
    const char* k = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    PyErr_Clear();
    return k && k[0] && !k[1] ? k[0] : 0;
}

ReadColumn read_column(PyObject* obj, const std::string& name) {
    ReadColumn out;
    out.owner = Ref::borrow(obj);
    if (PyUnicode_Check(obj)) refuse_column(name, "a str, not a column of values");
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        read_items(obj, out, name);
        return out;
    }
    if (Ref dtype = numpy_dtype(obj)) {
        const char kind = kind_of(dtype.get());
        if (kind == 0 || !std::strchr("biufOU", kind)) {
            Ref text = Ref::adopt(PyObject_Str(dtype.get()));
            refuse_column(name, format("unsupported dtype {}", text ? From<std::string>::convert(text.get(), kArg) : "?"));
        }
        out.owner = positional(obj, kArg);
        if (!std::strchr("biuf", kind) || !read_buffer(out.owner.get(), out)) read_items(out.owner.get(), out, name);
        return out;
    }
    if (std::optional<ArrowColumn> column = ArrowColumn::import(obj, kArg)) {
        out.arrow = std::make_shared<ArrowColumn>(std::move(*column));
        read_arrow(out, name);
        return out;
    }
    out.owner = positional(obj, kArg);
    if (!read_buffer(out.owner.get(), out)) read_items(out.owner.get(), out, name);
    return out;
}

// Rows of `columns` when no column is named: a dict's first column's length, else len(columns).
std::size_t row_count(PyObject* columns) {
    PyObject* sized = columns;
    if (PyDict_Check(columns)) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        if (!PyDict_Next(columns, &pos, &key, &sized)) return 0;
    }
    const Py_ssize_t n = PyObject_Size(sized);
    if (n < 0) reraise_for_argument(kArg);
    return static_cast<std::size_t>(n);
}

// Codes of every column: one column per worker task (hashing inside a column
// then runs on that worker alone), a single column with the whole pool, or
// small tables on the calling thread.
std::vector<CodedColumn> code_all(const std::vector<ReadColumn>& read, std::size_t n_rows, ThreadPool& pool) {
    std::vector<CodedColumn> coded(read.size());
    if (read.size() == 1 || n_rows < 65536) {
        for (std::size_t q = 0; q < read.size(); ++q) coded[q] = read[q].code(&pool);
    } else if (read.size() > 1) {
        pool.run_tasks(read.size(), [&](std::size_t q) { coded[q] = read[q].code(nullptr); });
    }
    return coded;
}

struct KAnonymityFromColumns {
    static constexpr const char* signature = "k_anonymity_from_columns(columns, quasi_identifiers, k)";
    static constexpr const char* doc =
        "k-anonymity of a table given by columns, with every row's group size.\n\n"
        "columns: a pandas DataFrame, a dict of columns (lists, NumPy arrays, pandas Series, Arrow arrays)\n"
        "or an Arrow table (pyarrow, polars). Rows group by their quasi-identifier values as their row dicts\n"
        "would: a number by its shortest decimal text (1.0 and 1 alike), a bool as 'True' or 'False', a\n"
        "missing value (None, NaN, NaT, NA, an Arrow null) as the empty string. Strings, numbers, booleans\n"
        "and categoricals are read in place where their layout allows.\n\n"
        "Returns a dict: 'anonymized' and 'suppressed_rows' exactly as check_k_anonymity reports them for the\n"
        "same rows, 'group_size' (int64: the size of each row's group) and 'violating' (bool: the rows\n"
        "suppress_to_k_anonymous would drop). A quasi-identifier that is no column, or columns of unequal\n"
        "length, raise ValueError; a value that is no str, number, bool or missing value TypeError.\n\n"
        ">>> k_anonymity_from_columns({'zip': ['10001', '10001', '10002']}, ['zip'], 2)['suppressed_rows']\n"
        "1";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        PyObject* columns = a.raw("columns");
        if (PyUnicode_Check(columns) || PyList_Check(columns) || PyTuple_Check(columns) ||
            !PyObject_HasAttrString(columns, "__getitem__"))
            raise_argument(PyExc_TypeError, kArg,
                           format("expected a DataFrame, a dict of columns or an Arrow table, not {}", type_name(columns)));
        const auto names = a.get<std::vector<std::string>>("quasi_identifiers");
        const auto k = a.get<std::uint64_t>("k");
        std::vector<ReadColumn> read;
        for (std::size_t q = 0; q < names.size(); ++q) {
            Ref key = to_py(names[q]);
            Ref column = Ref::adopt(PyObject_GetItem(columns, key.get()));
            if (!column) {
                if (!PyErr_ExceptionMatches(PyExc_LookupError)) reraise_for_argument(kArg);
                PyErr_Clear();
                raise(PyExc_ValueError, format("columns has no column '{}'", names[q]));
            }
            read.push_back(read_column(column.get(), names[q]));
            if (read[q].rows != read[0].rows)
                raise(PyExc_ValueError, format("quasi-identifier columns must have the same length: '{}' has {} rows, '{}' {}",
                                               names[0], read[0].rows, names[q], read[q].rows));
        }
        const std::size_t n_rows = names.empty() ? row_count(columns) : read[0].rows;
        // The columns' values are held by `read` (buffers, Arrow arrays, gathered texts).
        engine::RowGroups groups;
        std::uint64_t suppressed = 0;
        std::vector<std::uint8_t> violating(n_rows);
        unlocked(n_rows * std::max<std::size_t>(read.size(), 1), [&] {
            const auto pool = engine::build_thread_pool(-1);
            const std::vector<CodedColumn> coded = code_all(read, n_rows, *pool);
            groups = engine::group_rows(coded, n_rows, pool.get());
            for (const std::uint32_t size : groups.sizes)
                if (size < k) suppressed += size;
            for (std::size_t i = 0; i < n_rows; ++i) violating[i] = groups.sizes[groups.group_of[i]] < k;
        });
        const OutputColumns maker;
        const ColumnDict out;
        out.put("anonymized", to_py(suppressed == 0));
        out.put("suppressed_rows", to_py(suppressed));
        out.put("group_size", maker.int64s(n_rows, [&](std::int64_t* dst) {
            for (std::size_t i = 0; i < n_rows; ++i) dst[i] = groups.sizes[groups.group_of[i]];
        }));
        out.put("violating", maker.bools(violating));
        return out.dict();
    }
};

}  // namespace

PyMethodDef* k_anonymity_from_columns_def() { return function_def<KAnonymityFromColumns>(); }

}  // namespace segmora::py
