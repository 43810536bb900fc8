// rfm_from_columns: RFM from three parallel columns (customer ids, timestamps,
// amounts) given as lists, NumPy arrays, pandas Series or Arrow arrays.
//
// Customer ids are all str or all int: Arrow string and integer arrays are
// read through the Arrow C data interface, integer arrays through their
// buffer, anything else item by item. Timestamps are datetime64 of any unit
// (pandas tz-aware values in UTC), int epoch seconds, aware datetimes or
// RFC 3339 strings; None and NaT are missing. Rows with a missing or
// unreadable timestamp are skipped like in calculate_rfm_py and reported with
// one UserWarning each kind; NaN amounts flow into the sums and are reported
// too. Arrow string arrays, datetime64 and int64 columns are read in place
// where their layout allows. The result is a dict of equal-length columns in
// calculate_rfm_py's row order: numbers as NumPy arrays when NumPy is loaded,
// else array.array; ids and segments as lists, except that ids given as a
// pandas Series or Index are taken from its array (keeping the dtype) and the
// segments then come as a pandas Categorical.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/rfm.hpp"
#include "engine/rfm_columns.hpp"
#include "python/bindings.hpp"
#include "python/timestamps.hpp"
#include "python/toolkit/arrays.hpp"
#include "python/toolkit/arrow_c.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/output.hpp"

namespace segmora::py {

namespace {

using engine::Instant;

// ---- Arrow columns (ids) ----

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using arrow::bit_set;
using OwnedArray = arrow::Released<ArrowArray>;
using OwnedSchema = arrow::Released<ArrowSchema>;

// The customer ids of one call and what keeps their text alive.
struct CustomerIds {
    std::vector<std::string_view> texts;  // when the ids are strings
    std::vector<std::int64_t> integers;   // when they are ints
    bool are_integers = false;
    std::vector<Ref> held;                    // Python objects behind `texts`
    std::deque<OwnedArray> arrow;             // Arrow batches behind `texts`
    Ref capsule;                              // the capsule owning a single Arrow array or stream
    std::optional<SequenceItems> items;       // item-by-item ids (output reuses the objects)
    std::optional<engine::OffsetTexts> offset_texts;  // a single Arrow string array, read in place
    std::size_t size() const {
        return are_integers ? integers.size() : offset_texts ? offset_texts->size() : texts.size();
    }
    std::string_view text(std::size_t i) const { return offset_texts ? (*offset_texts)[i] : texts[i]; }
    // Turns a first Arrow array read in place into views, so more can follow.
    void materialize() {
        if (!offset_texts) return;
        texts.reserve(offset_texts->size());
        for (std::size_t i = 0; i < offset_texts->size(); ++i) texts.push_back((*offset_texts)[i]);
        offset_texts.reset();
    }
};

[[noreturn]] void raise_null_id(const char* arg, std::size_t index) {
    raise(PyExc_ValueError, format("{} has a missing value at index {}", arg, index));
}

template <class T>
T load(const void* base, std::int64_t index) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return v;
}

// Appends one Arrow array of strings or integers to `ids`; false for another type.
bool append_arrow_ids(const char* format, const ArrowArray& a, CustomerIds& ids, const char* arg) {
    const std::string_view f = format ? format : "";
    const bool has_nulls = a.null_count != 0 && a.n_buffers > 0 && a.buffers[0];
    auto check_null = [&](std::int64_t i) {
        if (has_nulls && !bit_set(a.buffers[0], a.offset + i)) raise_null_id(arg, ids.size());
    };
    if (f == "u" || f == "U") {
        if (ids.are_integers && ids.size() > 0) return false;
        if (has_nulls)
            for (std::int64_t i = 0; i < a.length; ++i)
                if (!bit_set(a.buffers[0], a.offset + i)) raise_null_id(arg, ids.size() + static_cast<std::size_t>(i));
        const bool wide = f == "U";
        const engine::OffsetTexts chunk(static_cast<const char*>(a.buffers[2]),
                                        static_cast<const char*>(a.buffers[1]) + a.offset * (wide ? 8 : 4), wide,
                                        static_cast<std::size_t>(a.length));
        if (ids.size() == 0 && !ids.offset_texts) {
            ids.offset_texts = chunk;
            return true;
        }
        ids.materialize();
        for (std::size_t i = 0; i < chunk.size(); ++i) ids.texts.push_back(chunk[i]);
        return true;
    }
    if (f == "vu") {  // string views: 16 bytes each, inline up to 12 bytes
        if (ids.are_integers && ids.size() > 0) return false;
        ids.materialize();
        const auto* views = static_cast<const char*>(a.buffers[1]);
        for (std::int64_t i = 0; i < a.length; ++i) {
            check_null(i);
            const char* view = views + (a.offset + i) * 16;
            std::int32_t length, buffer, offset;
            std::memcpy(&length, view, 4);
            if (length <= 12) {
                ids.texts.emplace_back(view + 4, static_cast<std::size_t>(length));
            } else {
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                if (buffer < 0 || 2 + buffer >= a.n_buffers) raise(PyExc_ValueError, segmora::format("{}: malformed Arrow array", arg));
                ids.texts.emplace_back(static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length));
            }
        }
        return true;
    }
    int size = 0;
    bool is_signed = true;
    if (f == "c" || f == "C") size = 1;
    else if (f == "s" || f == "S") size = 2;
    else if (f == "i" || f == "I") size = 4;
    else if (f == "l" || f == "L") size = 8;
    else return false;
    is_signed = f[0] >= 'a';
    if (!ids.are_integers && ids.size() > 0) return false;
    ids.are_integers = true;
    for (std::int64_t i = 0; i < a.length; ++i) {
        check_null(i);
        const std::int64_t at = a.offset + i;
        std::int64_t v = 0;
        switch (size) {
            case 1: v = is_signed ? load<std::int8_t>(a.buffers[1], at) : load<std::uint8_t>(a.buffers[1], at); break;
            case 2: v = is_signed ? load<std::int16_t>(a.buffers[1], at) : load<std::uint16_t>(a.buffers[1], at); break;
            case 4: v = is_signed ? load<std::int32_t>(a.buffers[1], at) : load<std::uint32_t>(a.buffers[1], at); break;
            default: {
                if (!is_signed && load<std::uint64_t>(a.buffers[1], at) > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                    raise_argument(PyExc_OverflowError, arg, "out of range for a 64-bit signed integer");
                v = load<std::int64_t>(a.buffers[1], at);
            }
        }
        ids.integers.push_back(v);
    }
    return true;
}

// Ids through the Arrow C data interface; false when the object offers none
// (or its producer needs a library that is missing) or holds another type.
bool read_arrow_ids(PyObject* obj, CustomerIds& ids, const char* arg) {
    const bool stream = PyObject_HasAttrString(obj, "__arrow_c_stream__");
    if (!stream && !PyObject_HasAttrString(obj, "__arrow_c_array__")) return false;
    Ref exported = Ref::adopt(PyObject_CallMethod(obj, stream ? "__arrow_c_stream__" : "__arrow_c_array__", nullptr));
    if (!exported) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return false;
        }
        reraise_for_argument(arg);
    }
    if (stream) {
        auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(exported.get(), "arrow_array_stream"));
        if (!s) reraise_for_argument(arg);
        OwnedSchema schema;
        if (s->get_schema(s, &schema.value) != 0) raise(PyExc_ValueError, format("{}: cannot read the Arrow stream", arg));
        if (schema.value.dictionary) return false;  // categories: read through NumPy, not as codes
        for (;;) {
            ids.arrow.emplace_back();
            if (s->get_next(s, &ids.arrow.back().value) != 0) raise(PyExc_ValueError, format("{}: cannot read the Arrow stream", arg));
            if (!ids.arrow.back().value.release) break;
            if (!append_arrow_ids(schema.value.format, ids.arrow.back().value, ids, arg)) return false;
        }
    } else {
        if (!PyTuple_Check(exported.get()) || PyTuple_Size(exported.get()) != 2) return false;
        auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.get(), 0), "arrow_schema"));
        auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.get(), 1), "arrow_array"));
        if (!schema || !array) reraise_for_argument(arg);
        if (schema->dictionary) return false;  // categories: read through NumPy, not as codes
        if (!append_arrow_ids(schema->format, *array, ids, arg)) return false;
    }
    ids.capsule = std::move(exported);
    return true;
}

// The kind letter of obj.dtype ('i', 'u', 'M', 'O', ...), or 0.
char dtype_kind(PyObject* obj) {
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    if (!dtype) {
        PyErr_Clear();
        return 0;
    }
    Ref kind = Ref::adopt(PyObject_GetAttrString(dtype.get(), "kind"));
    const char* k = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    PyErr_Clear();
    return k && k[0] && !k[1] ? k[0] : 0;
}

// A 1-D column of 8-byte values held for the call: read in place from an
// aligned contiguous buffer, copied over the strides of any other 1-D buffer,
// or given as converted values.
template <class T>
class Column {
public:
    Column() = default;
    Column(Column&& other) noexcept
        : owner_(std::move(other.owner_)), view_(other.view_), held_(std::exchange(other.held_, false)),
          ndim_(other.ndim_), copy_(std::move(other.copy_)), values_(other.values_) {}  // a moved vector keeps its storage
    Column& operator=(Column&&) = delete;
    ~Column() { release(); }

    // Holds the buffer of `owner` when it is 1-D with 8-byte items of an accepted format.
    bool open(Ref owner, bool (*accepted)(std::string_view format)) {
        if (!PyObject_CheckBuffer(owner.get()) || PyObject_GetBuffer(owner.get(), &view_, PyBUF_RECORDS_RO) != 0) {
            PyErr_Clear();
            return false;
        }
        held_ = true;
        owner_ = std::move(owner);
        ndim_ = view_.ndim;
        if (view_.ndim != 1 || view_.itemsize != 8 || !accepted(view_.format ? view_.format : "B")) {
            release();
            return false;
        }
        const auto n = static_cast<std::size_t>(view_.shape[0]);
        const Py_ssize_t stride = view_.strides ? view_.strides[0] : 8;
        const char* base = static_cast<const char*>(view_.buf);
        if (stride == 8 && reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0) {
            values_ = {reinterpret_cast<const T*>(base), n};
            return true;
        }
        copy_.resize(n);
        for (std::size_t i = 0; i < n; ++i) std::memcpy(&copy_[i], base + static_cast<Py_ssize_t>(i) * stride, 8);
        values_ = copy_;
        return true;
    }
    void assign(std::vector<T> values) {
        copy_ = std::move(values);
        values_ = copy_;
    }
    std::span<const T> values() const noexcept { return values_; }
    int ndim() const noexcept { return ndim_; }  // of the last buffer opened

private:
    void release() {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }
    Ref owner_;
    Py_buffer view_{};
    bool held_ = false;
    int ndim_ = 0;
    std::vector<T> copy_;
    std::span<const T> values_;
};

bool any_format(std::string_view) { return true; }

bool native_float64(std::string_view format) {
    return format == "d" || format == "=d" || (format == "<d" && std::endian::native == std::endian::little);
}

// An integer array's values as int64, exactly (`obj` must have an integer dtype).
Column<std::int64_t> int64_column(PyObject* obj, const char* arg) {
    // astype("int64", copy=False): no copy when the values already are int64
    Ref method = Ref::adopt(PyObject_GetAttrString(obj, "astype"));
    Ref args = method ? Ref::adopt(Py_BuildValue("(s)", "int64")) : Ref();
    Ref kwargs = args ? Ref::adopt(Py_BuildValue("{s:O}", "copy", Py_False)) : Ref();
    Ref as64 = kwargs ? Ref::adopt(PyObject_Call(method.get(), args.get(), kwargs.get())) : Ref();
    if (!as64) reraise_for_argument(arg);
    Column<std::int64_t> column;
    if (!column.open(std::move(as64), any_format))
        raise(PyExc_ValueError, format("{} must be 1-D, got a {}-D array", arg, column.ndim()));
    return column;
}

std::vector<std::int64_t> read_int64_array(PyObject* obj, const char* arg) {
    const Column<std::int64_t> column = int64_column(obj, arg);
    return {column.values().begin(), column.values().end()};
}

// An object read by position through __array__ when it has one (pandas Series).
Ref as_array(PyObject* obj, const char* arg) {
    if (PyObject_CheckBuffer(obj) || dtype_kind(obj) == 0) return positional(obj, arg);
    if (PyObject_HasAttrString(obj, "__array__") && !PyObject_CheckBuffer(obj)) {
        Ref method = Ref::steal(PyObject_GetAttrString(obj, "__array__"));
        Ref array = Ref::adopt(PyObject_CallNoArgs(method.get()));
        if (!array) reraise_for_argument(arg);
        return array;
    }
    return Ref::borrow(obj);
}

// The amounts, read in place when they are an aligned contiguous float64
// buffer (NumPy arrays, pandas Series through __array__), else converted.
Column<double> read_amounts(PyObject* obj, const char* arg) {
    Column<double> column;
    if (!PyList_Check(obj) && !PyTuple_Check(obj) && !PyUnicode_Check(obj)) {
        Ref source = Ref::borrow(obj);
        if (!PyObject_CheckBuffer(obj) && dtype_kind(obj) == 'f' && PyObject_HasAttrString(obj, "__array__"))
            source = Ref::adopt(PyObject_CallMethod(obj, "__array__", nullptr));
        if (!source) PyErr_Clear();
        else if (column.open(std::move(source), native_float64)) return column;
    }
    column.assign(From<std::vector<double>>::convert(obj, arg));
    return column;
}

CustomerIds read_ids(PyObject* obj, const char* arg) {
    CustomerIds ids;
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
        if (read_arrow_ids(obj, ids, arg)) return ids;
        ids = CustomerIds{};
        Ref array = as_array(obj, arg);
        const char kind = dtype_kind(array.get());
        if (kind == 'i' || kind == 'u' || kind == 'b') {
            ids.integers = read_int64_array(array.get(), arg);
            ids.are_integers = true;
            return ids;
        }
        obj = array.get();
        ids.held.push_back(std::move(array));
    }
    ids.items.emplace(obj, arg);
    const SequenceItems& items = *ids.items;
    if (items.size() > 0 && PyLong_Check(items[0])) {
        ids.are_integers = true;
        ids.integers.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (!PyLong_Check(items[i]))
                raise_argument(PyExc_TypeError, arg, format("ids must be all int or all str; item {} is a {}", i, type_name(items[i])));
            ids.integers.push_back(From<std::int64_t>::convert(items[i], arg));
        }
        return ids;
    }
    ids.texts.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (!PyUnicode_Check(item)) {
            if (is_missing(item)) raise_null_id(arg, i);
            raise_argument(PyExc_TypeError, arg, format("ids must be all int or all str; item {} is a {}", i, type_name(item)));
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &size);
        if (!text) reraise_for_argument(arg);
        ids.texts.emplace_back(text, static_cast<std::size_t>(size));
    }
    return ids;
}

// The ids at the given rows.
Ref id_objects(const CustomerIds& ids, const std::vector<std::size_t>& rows) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t row = rows[i];
        Ref item = ids.items ? Ref::borrow((*ids.items)[row])
                   : ids.are_integers ? to_py(ids.integers[row])
                                      : to_py(ids.text(row));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

// ---- timestamps ----

struct Timestamps {
    std::vector<std::optional<Instant>> when;
    std::optional<Column<std::int64_t>> tick_values;  // datetime64 or epoch seconds, read in place
    std::optional<engine::TickColumn> ticks;
    std::size_t missing = 0, unreadable = 0;
    std::size_t first_missing = 0, first_unreadable = 0;
    std::string first_unreadable_text;

    void add_missing() {
        if (missing++ == 0) first_missing = when.size();
        when.emplace_back();
    }
    std::size_t size() const { return ticks ? ticks->ticks.size() : when.size(); }
};

constexpr std::int64_t kNanos = 1'000'000'000;


constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

// Integer ticks of `column` read in place: NaT counted as missing, and coarse
// units checked to name instants with 64-bit seconds.
void use_ticks(Timestamps& out, std::int64_t seconds_per_tick, std::int64_t ticks_per_second, const char* arg) {
    const std::span<const std::int64_t> values = out.tick_values->values();
    std::int64_t low = 0, high = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        if (v == kNaT) {
            if (out.missing++ == 0) out.first_missing = i;
            continue;
        }
        low = std::min(low, v);
        high = std::max(high, v);
    }
    std::int64_t ignored = 0;
    if (__builtin_mul_overflow(low, seconds_per_tick, &ignored) || __builtin_mul_overflow(high, seconds_per_tick, &ignored))
        raise_argument(PyExc_OverflowError, arg, "datetime out of range");
    out.ticks = engine::TickColumn{values, seconds_per_tick, ticks_per_second, kNaT};
}

void read_datetime64(PyObject* array, Timestamps& out, const char* arg) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(array, "dtype"));
    Ref text = Ref::steal(PyObject_Str(dtype.get()));
    const std::string_view name = PyUnicode_AsUTF8AndSize(text.get(), nullptr);
    const std::size_t open = name.find('['), close = name.find(']');
    const std::string_view unit = open == std::string_view::npos || close == std::string_view::npos
                                      ? std::string_view{}
                                      : name.substr(open + 1, close - open - 1);
    std::int64_t multiply = 1, per_second = 1;
    if (unit == "D") multiply = 86'400;
    else if (unit == "h") multiply = 3'600;
    else if (unit == "m") multiply = 60;
    else if (unit == "s") multiply = 1;
    else if (unit == "ms") per_second = 1'000;
    else if (unit == "us") per_second = 1'000'000;
    else if (unit == "ns") per_second = kNanos;
    else raise_argument(PyExc_TypeError, arg, format("unsupported datetime unit in {}", name));
    Ref raw = Ref::adopt(PyObject_CallMethod(array, "view", "s", "int64"));
    if (!raw) reraise_for_argument(arg);
    out.tick_values.emplace(int64_column(raw.get(), arg));
    use_ticks(out, multiply, per_second, arg);
}

void read_timestamp_items(PyObject* obj, Timestamps& out, const char* arg) {
    SequenceItems items(obj, arg);
    std::optional<DatetimeReader> datetimes;
    out.when.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
            if (!utf8) reraise_for_argument(arg);
            const std::string_view text(utf8, static_cast<std::size_t>(size));
            std::optional<Instant> when = engine::parse_rfc3339(text);
            if (!when && out.unreadable++ == 0) {
                out.first_unreadable = i;
                out.first_unreadable_text = std::string(text);
            }
            out.when.push_back(when);
        } else if (PyLong_Check(item)) {
            out.when.push_back(Instant{From<std::int64_t>::convert(item, arg), 0});
        } else if (is_missing(item)) {  // None, NaT, NaN, NA
            out.add_missing();
        } else {
            if (!datetimes) datetimes.emplace();
            std::optional<Instant> when = datetimes->instant(item, arg);
            if (!when)
                raise_argument(PyExc_TypeError, arg,
                               format("a timestamp must be a datetime, datetime64, int or str, not {}", type_name(item)));
            out.when.push_back(when);
        }
    }
}

// pandas datetimes as NumPy datetime64: tz-aware data converted to UTC first.
Ref utc_datetime64(PyObject* obj, const char* arg) {
    Ref current = Ref::borrow(obj);
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    Ref tz = dtype ? Ref::adopt(PyObject_GetAttrString(dtype.get(), "tz")) : Ref();
    PyErr_Clear();
    if (tz && tz.get() != Py_None) {
        Ref accessor = PyObject_HasAttrString(obj, "dt") ? Ref::adopt(PyObject_GetAttrString(obj, "dt")) : Ref::borrow(obj);
        if (!accessor) reraise_for_argument(arg);
        current = Ref::adopt(PyObject_CallMethod(accessor.get(), "tz_convert", "O", Py_None));
        if (!current) reraise_for_argument(arg);
    }
    if (PyObject_HasAttrString(current.get(), "to_numpy")) {
        current = Ref::adopt(PyObject_CallMethod(current.get(), "to_numpy", nullptr));
        if (!current) reraise_for_argument(arg);
    }
    return current;
}

Timestamps read_timestamps(PyObject* obj, const char* arg) {
    Timestamps out;
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        read_timestamp_items(obj, out, arg);
        return out;
    }
    Ref source = Ref::borrow(obj);
    if (dtype_kind(obj) == 'M' && !PyObject_CheckBuffer(obj)) source = utc_datetime64(obj, arg);
    if (dtype_kind(source.get()) == 0) source = positional(source.get(), arg);  // Arrow arrays and the like
    const char kind = dtype_kind(source.get());
    if (kind == 'M') {
        if (PyObject_HasAttrString(source.get(), "view")) {
            read_datetime64(source.get(), out, arg);
            return out;
        }
        source = as_array(source.get(), arg);
        if (dtype_kind(source.get()) == 'M' && PyObject_HasAttrString(source.get(), "view")) {
            read_datetime64(source.get(), out, arg);
            return out;
        }
    }
    if (kind == 'i' || kind == 'u') {
        Ref array = as_array(source.get(), arg);
        out.tick_values.emplace(int64_column(array.get(), arg));
        out.ticks = engine::TickColumn{out.tick_values->values(), 1, 1, std::nullopt};  // every int is an instant
        return out;
    }
    read_timestamp_items(source.get(), out, arg);
    return out;
}

// The reference instant: an aware datetime, a datetime64 scalar or RFC 3339 text.
Instant read_as_of(PyObject* obj) {
    if (!obj || obj == Py_None) return engine::to_instant(std::chrono::system_clock::now());
    if (PyUnicode_Check(obj)) {
        const std::string text = From<std::string>::convert(obj, "as_of");
        if (std::optional<Instant> when = engine::parse_rfc3339(text)) return *when;
        raise(PyExc_ValueError, format("as_of '{}' is not an RFC 3339 date-time with a zone", text));
    }
    if (type_name(obj) == "datetime64") {
        Ref ns = Ref::adopt(PyObject_CallMethod(obj, "astype", "s", "datetime64[ns]"));
        Ref raw = ns ? Ref::adopt(PyObject_CallMethod(ns.get(), "astype", "s", "int64")) : Ref();
        if (!raw) reraise_for_argument("as_of");
        const auto v = From<std::int64_t>::convert(raw.get(), "as_of");
        if (v == std::numeric_limits<std::int64_t>::min()) raise(PyExc_ValueError, "as_of is NaT");
        return engine::TickColumn{{}, 1, kNanos}.instant(v);
    }
    DatetimeReader reader;
    if (std::optional<Instant> when = reader.instant(obj, "as_of")) return *when;
    raise_argument(PyExc_TypeError, "as_of",
                   format("expected an aware datetime, a datetime64 or an RFC 3339 str, not {}", type_name(obj)));
}

// ---- output ----

// The ids of a pandas Series or Index at the given rows, taken from its array
// (so they keep its dtype: Arrow strings, categories, integers); a null Ref
// when `obj` has no such array.
Ref taken_ids(PyObject* obj, const engine::RfmColumnsResult& result, const ColumnMaker& columns) {
    if (!columns.numpy() || PyList_Check(obj) || PyTuple_Check(obj) || !PyObject_HasAttrString(obj, "array")) return {};
    Ref array = Ref::adopt(PyObject_GetAttrString(obj, "array"));
    if (!array || !PyObject_HasAttrString(array.get(), "take")) {
        PyErr_Clear();
        return {};
    }
    // The customers' first rows in ascending order (their group order) read
    // the column front to back; the output order is then taken from those.
    const std::vector<std::uint32_t>& group = result.table.group;
    std::vector<std::size_t> ascending(group.size()), order(group.begin(), group.end());
    for (std::size_t i = 0; i < group.size(); ++i) ascending[group[i]] = result.first_row[i];
    Ref firsts = Ref::adopt(PyObject_CallMethod(array.get(), "take", "O", columns.int64s(ascending).get()));
    Ref taken = firsts ? Ref::adopt(PyObject_CallMethod(firsts.get(), "take", "O", columns.int64s(order).get())) : Ref();
    if (!taken) PyErr_Clear();
    return taken;
}

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
Ref segment_categories(const std::vector<engine::SegmentType>& segment, const ColumnMaker& columns) {
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

void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw PyErrorAlreadySet{};
}

struct RfmFromColumns {
    static constexpr const char* signature = "rfm_from_columns(customer_ids, timestamps, amounts, config=None, as_of=None, n_jobs=None)";
    static constexpr const char* doc =
        "RFM scores of every customer from three equal-length columns.\n\n"
        "customer_ids: str or int values (list, NumPy array, pandas Series, Arrow array).\n"
        "timestamps: datetime64 of any unit (tz-aware pandas data is converted to UTC), int epoch seconds,\n"
        "timezone-aware datetime objects or RFC 3339 strings; None and NaT are missing.\n"
        "amounts: floats. config: a PyRFMConfig (default PyRFMConfig()). as_of: the reference instant\n"
        "(aware datetime, datetime64 or RFC 3339 str; default now).\n\n"
        "Returns a dict of equal-length columns (customer_id, recency, recency_days, frequency, monetary,\n"
        "r_score, f_score, m_score, segment) in calculate_rfm_py's order; pandas.DataFrame(result) takes it as is.\n"
        "Ids given as a pandas Series keep its dtype, and the segments then come as a pandas Categorical.";
    static constexpr Raises raises = Raises::RuntimeError;
    static Ref call(Args& a) {
        const CustomerIds ids = read_ids(a.raw("customer_ids"), "customer_ids");
        const Timestamps stamps = read_timestamps(a.raw("timestamps"), "timestamps");
        const Column<double> amount_column = read_amounts(a.raw("amounts"), "amounts");
        const std::span<const double> amounts = amount_column.values();
        engine::RFMConfig config;
        if (PyObject* c = a.raw("config"); c && c != Py_None) config = *Borrowed<engine::RFMConfig>(c, "config");
        const Instant now = read_as_of(a.raw("as_of"));
        const auto n_jobs = a.get_or<std::optional<std::int32_t>>("n_jobs", std::nullopt);
        const std::size_t n = ids.size();
        if (stamps.size() != n || amounts.size() != n)
            raise(PyExc_ValueError, format("customer_ids, timestamps and amounts must have the same length, got {}, {} and {}",
                                           n, stamps.size(), amounts.size()));

        const engine::PurchaseColumns rows{stamps.when, amounts, stamps.ticks};
        const engine::RfmColumnsResult result =
            ids.are_integers   ? engine::rfm_columns(std::span(ids.integers), rows, config, n_jobs, now)
            : ids.offset_texts ? engine::rfm_columns(*ids.offset_texts, rows, config, n_jobs, now)
                               : engine::rfm_columns(std::span(ids.texts), rows, config, n_jobs, now);
        const engine::RfmTable& t = result.table;

        if (stamps.unreadable)
            warn(format("skipped {} of {} transactions whose timestamp is not an RFC 3339 date-time with a zone "
                        "(first at index {}: '{}')",
                        stamps.unreadable, n, stamps.first_unreadable, stamps.first_unreadable_text));
        if (stamps.missing)
            warn(format("skipped {} of {} transactions with a missing timestamp (None or NaT; first at index {})",
                        stamps.missing, n, stamps.first_missing));
        std::size_t nan_amounts = 0, first_nan = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (std::isnan(amounts[i]) && nan_amounts++ == 0) first_nan = i;
        if (nan_amounts)
            warn(format("{} of {} transactions have a NaN amount (first at index {}); the monetary value of their "
                        "customers is NaN",
                        nan_amounts, n, first_nan));

        const ColumnMaker columns;
        Ref out = Ref::steal(PyDict_New());
        auto put = [&](const char* key, Ref value) {
            if (PyDict_SetItemString(out.get(), key, value.get()) < 0) throw PyErrorAlreadySet{};
        };
        Ref taken = taken_ids(a.raw("customer_ids"), result, columns);
        Ref segments = taken ? segment_categories(t.segment, columns) : Ref();
        put("customer_id", taken ? std::move(taken) : id_objects(ids, result.first_row));
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
