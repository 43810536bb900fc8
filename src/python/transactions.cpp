#include "python/transactions.hpp"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/thread_pool.hpp"
#include "python/timestamps.hpp"
#include "python/toolkit/arrow_c.hpp"
#include "python/toolkit/arrow_columns.hpp"
#include "python/toolkit/format.hpp"
#include "text.hpp"

namespace segmora::py {

namespace {

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using arrow::bit_set;
using engine::Instant;
using OwnedArray = arrow::Released<ArrowArray>;
using OwnedSchema = arrow::Released<ArrowSchema>;

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();

template <class T>
T load(const void* base, std::int64_t index) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return v;
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

// Whether obj.dtype is a pandas extension type (nullable integers, Arrow types).
bool extension_dtype(PyObject* obj) {
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    const bool is = dtype && PyObject_HasAttrString(dtype.get(), "na_value");
    PyErr_Clear();
    return is;
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
    // Values someone else keeps alive for the call.
    void borrow(std::span<const T> values) { values_ = values; }
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

// An array's values converted by astype(dtype, copy=False) (no copy when they already have it).
Ref astype(PyObject* obj, const char* dtype, const char* arg) {
    Ref method = Ref::adopt(PyObject_GetAttrString(obj, "astype"));
    Ref args = method ? Ref::adopt(Py_BuildValue("(s)", dtype)) : Ref();
    Ref kwargs = args ? Ref::adopt(Py_BuildValue("{s:O}", "copy", Py_False)) : Ref();
    Ref out = kwargs ? Ref::adopt(PyObject_Call(method.get(), args.get(), kwargs.get())) : Ref();
    if (!out) reraise_for_argument(arg);
    return out;
}

// An integer (or float) array's values as 8-byte values, held for the call.
template <class T>
Column<T> column_as(PyObject* obj, const char* dtype, const char* arg) {
    Column<T> column;
    if (!column.open(astype(obj, dtype, arg), any_format))
        raise(PyExc_ValueError, format("{} must be 1-D, got a {}-D array", arg, column.ndim()));
    return column;
}

// An object read by position through __array__ when it has one (pandas Series).
Ref as_array(PyObject* obj, const char* arg) {
    if (PyObject_CheckBuffer(obj) || dtype_kind(obj) == 0) return positional(obj, arg);
    if (PyObject_HasAttrString(obj, "__array__")) {
        Ref method = Ref::steal(PyObject_GetAttrString(obj, "__array__"));
        Ref array = Ref::adopt(PyObject_CallNoArgs(method.get()));
        if (!array) reraise_for_argument(arg);
        return array;
    }
    return Ref::borrow(obj);
}

// ---- Arrow columns ----

// An Arrow column taken through the C data interface: its schema format and
// its arrays (one per chunk), kept alive by `owner` and `arrays`.
struct ArrowColumn {
    arrow::HeldCapsule owner;
    std::string format;
    bool dictionary = false;
    std::unique_ptr<std::deque<OwnedArray>> arrays = std::make_unique<std::deque<OwnedArray>>();  // a stream's chunks
    std::vector<const ArrowArray*> chunks;        // every chunk, in order
};

// The object's Arrow column; nullopt when it offers none (or its producer
// needs a library that is missing).
std::optional<ArrowColumn> arrow_column(PyObject* obj, const char* arg) {
    const bool stream = PyObject_HasAttrString(obj, "__arrow_c_stream__");
    if (!stream && !PyObject_HasAttrString(obj, "__arrow_c_array__")) return std::nullopt;
    // Dropped like a release callback on every way out.
    arrow::HeldCapsule exported(Ref::adopt(PyObject_CallMethod(obj, stream ? "__arrow_c_stream__" : "__arrow_c_array__", nullptr)));
    if (!exported.ref) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        reraise_for_argument(arg);
    }
    ArrowColumn out;
    if (stream) {
        auto* s = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(exported.ref.get(), "arrow_array_stream"));
        if (!s) reraise_for_argument(arg);
        OwnedSchema schema;
        if (s->get_schema(s, &schema.value) != 0 || !schema.value.format)
            raise(PyExc_ValueError, format("{}: cannot read the Arrow stream", arg));
        out.format = schema.value.format;
        out.dictionary = schema.value.dictionary != nullptr;
        if (!out.dictionary) {
            for (;;) {
                out.arrays->emplace_back();
                ArrowArray& next = out.arrays->back().value;
                if (s->get_next(s, &next) != 0) raise(PyExc_ValueError, format("{}: cannot read the Arrow stream", arg));
                if (!next.release) break;
                arrow::validate(schema.value, next, arg);
                out.chunks.push_back(&next);
            }
        }
    } else {
        if (!PyTuple_Check(exported.ref.get()) || PyTuple_Size(exported.ref.get()) != 2) return std::nullopt;
        auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.ref.get(), 0), "arrow_schema"));
        auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(PyTuple_GetItem(exported.ref.get(), 1), "arrow_array"));
        if (!schema || !array) reraise_for_argument(arg);
        arrow::validate(*schema, *array, arg);
        out.format = schema->format;
        out.dictionary = schema->dictionary != nullptr;
        out.chunks.push_back(array);
    }
    out.owner = std::move(exported);
    return out;
}

// Whether row `i` of an Arrow array is null.
bool arrow_null(const ArrowArray& a, std::int64_t i) {
    return a.null_count != 0 && a.buffers[0] && !bit_set(a.buffers[0], a.offset + i);
}

// Byte width and signedness of an Arrow integer format ("c" int8 ... "L" uint64); 0 for another format.
int integer_width(std::string_view f, bool& is_signed) {
    if (f.size() != 1) return 0;
    is_signed = f[0] >= 'a';
    switch (f[0]) {
        case 'c': case 'C': return 1;
        case 's': case 'S': return 2;
        case 'i': case 'I': return 4;
        case 'l': case 'L': return 8;
        default: return 0;
    }
}

std::int64_t load_integer(const void* values, std::int64_t at, int width, bool is_signed, const char* arg) {
    switch (width) {
        case 1: return is_signed ? load<std::int8_t>(values, at) : load<std::uint8_t>(values, at);
        case 2: return is_signed ? load<std::int16_t>(values, at) : load<std::uint16_t>(values, at);
        case 4: return is_signed ? load<std::int32_t>(values, at) : load<std::uint32_t>(values, at);
        default:
            if (!is_signed && load<std::uint64_t>(values, at) > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                raise_argument(PyExc_OverflowError, arg, "out of range for a 64-bit signed integer");
            return load<std::int64_t>(values, at);
    }
}

[[noreturn]] void raise_null_id(const char* arg, std::size_t index) {
    raise(PyExc_ValueError, format("{} has a missing value at index {}", arg, index));
}

// An id given as a float: integral values are ints; NaN is a missing id.
std::int64_t integral_id(double v, std::size_t index, const char* arg) {
    if (std::isnan(v)) raise_null_id(arg, index);
    if (v != std::trunc(v) || !(v >= -9223372036854775808.0 && v < 9223372036854775808.0))
        raise_argument(PyExc_TypeError, arg,
                       format("ids must be all int or all str; item {} is a float that is not a whole number ({})",
                              index, v));
    return static_cast<std::int64_t>(v);
}

}  // namespace

// ---- ids ----

struct TransactionColumns::Ids {
    std::vector<std::string_view> texts;  // when the ids are strings
    std::vector<std::int64_t> integers;   // when they are ints
    bool are_integers = false;
    std::vector<Ref> held;                            // Python objects behind `texts`
    std::optional<ArrowColumn> arrow;                 // Arrow buffers behind `texts`
    std::optional<SequenceItems> items;               // item-by-item ids (output reuses the objects)
    std::optional<engine::OffsetTexts> offset_texts;  // a single Arrow string array, read in place
    std::optional<engine::ViewTexts> view_texts;      // a single Arrow string view array, read in place
    std::vector<const char*> view_buffers;            // the data buffers of `view_texts`

    std::size_t size() const {
        return are_integers ? integers.size() : offset_texts ? offset_texts->size() : view_texts ? view_texts->size() : texts.size();
    }
    std::string_view text(std::size_t i) const {
        return offset_texts ? (*offset_texts)[i] : view_texts ? (*view_texts)[i] : texts[i];
    }
    bool in_place() const { return offset_texts || view_texts; }
    // Turns a first Arrow array read in place into views, so more can follow.
    void materialize() {
        if (!in_place()) return;
        const std::size_t n = size();
        texts.reserve(n);
        for (std::size_t i = 0; i < n; ++i) texts.push_back(text(i));
        offset_texts.reset();
        view_texts.reset();
    }
};

namespace {

using Ids = TransactionColumns::Ids;

// Appends one Arrow array of strings, integers or floats to `ids`; false for another type.
bool append_arrow_ids(std::string_view f, const ArrowArray& a, Ids& ids, const char* arg) {
    auto check_null = [&](std::int64_t i) {
        if (arrow_null(a, i)) raise_null_id(arg, ids.size());
    };
    if (f == "u" || f == "U") {
        if (ids.are_integers && ids.size() > 0) return false;
        if (a.n_buffers < 3 || (a.length > 0 && !a.buffers[2])) raise(PyExc_ValueError, format("{}: malformed Arrow array", arg));
        for (std::int64_t i = 0; i < a.length; ++i)
            if (arrow_null(a, i)) raise_null_id(arg, ids.size() + static_cast<std::size_t>(i));
        const bool wide = f == "U";
        const engine::OffsetTexts chunk(static_cast<const char*>(a.buffers[2]),
                                        static_cast<const char*>(a.buffers[1]) + a.offset * (wide ? 8 : 4), wide,
                                        static_cast<std::size_t>(a.length));
        if (ids.size() == 0 && !ids.in_place()) {
            ids.offset_texts = chunk;
            return true;
        }
        ids.materialize();
        for (std::size_t i = 0; i < chunk.size(); ++i) ids.texts.push_back(chunk[i]);
        return true;
    }
    if (f == "vu") {  // string views: 16 bytes each, inline up to 12 bytes
        if (ids.are_integers && ids.size() > 0) return false;
        if (ids.size() == 0 && !ids.in_place()) {  // a first array is read in place, its views checked first
            const arrow::ArrowValues views("vu", a, arg);
            for (std::size_t i = 0; i < views.size(); ++i)
                if (views.null(i)) raise_null_id(arg, i);
            ids.view_buffers = views.view_buffers();
            ids.view_texts.emplace(views.view_bytes(), ids.view_buffers.data(), views.size());
            return true;
        }
        ids.materialize();
        const auto* views = static_cast<const char*>(a.buffers[1]);
        for (std::int64_t i = 0; i < a.length; ++i) {
            check_null(i);
            const char* view = views + (a.offset + i) * 16;
            std::int32_t length, buffer, offset;
            std::memcpy(&length, view, 4);
            if (length <= 12) {
                ids.texts.emplace_back(view + 4, static_cast<std::size_t>(std::max(length, 0)));
            } else {
                std::memcpy(&buffer, view + 8, 4);
                std::memcpy(&offset, view + 12, 4);
                if (buffer < 0 || 2 + buffer >= a.n_buffers) raise(PyExc_ValueError, format("{}: malformed Arrow array", arg));
                ids.texts.emplace_back(static_cast<const char*>(a.buffers[2 + buffer]) + offset, static_cast<std::size_t>(length));
            }
        }
        return true;
    }
    const bool is_double = f == "g", is_single = f == "f";
    bool is_signed = true;
    const int width = integer_width(f, is_signed);
    if (width == 0 && !is_double && !is_single) return false;
    if (!ids.are_integers && ids.size() > 0) return false;
    ids.are_integers = true;
    for (std::int64_t i = 0; i < a.length; ++i) {
        check_null(i);
        const std::int64_t at = a.offset + i;
        if (width) ids.integers.push_back(load_integer(a.buffers[1], at, width, is_signed, arg));
        else {
            const double v = is_double ? load<double>(a.buffers[1], at) : load<float>(a.buffers[1], at);
            ids.integers.push_back(integral_id(v, ids.integers.size(), arg));
        }
    }
    return true;
}

// Ids through the Arrow C data interface; false when the object offers none
// (or its producer needs a library that is missing) or holds another type.
bool read_arrow_ids(PyObject* obj, Ids& ids, const char* arg) {
    std::optional<ArrowColumn> column = arrow_column(obj, arg);
    if (!column || column->dictionary) return false;  // categories: read through NumPy, not as codes
    for (const ArrowArray* a : column->chunks)
        if (!append_arrow_ids(column->format, *a, ids, arg)) return false;
    ids.arrow = std::move(column);
    return true;
}

void read_ids_into(PyObject* obj, Ids& ids, const char* arg) {
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (!PyList_Check(obj) && !PyTuple_Check(obj)) {
        if (read_arrow_ids(obj, ids, arg)) return;
        ids = Ids{};
        Ref array = as_array(obj, arg);
        const char kind = dtype_kind(array.get());
        if (kind == 'i' || kind == 'u' || kind == 'b') {
            const Column<std::int64_t> column = column_as<std::int64_t>(array.get(), "int64", arg);
            ids.integers.assign(column.values().begin(), column.values().end());
            ids.are_integers = true;
            return;
        }
        if (kind == 'f') {
            const Column<double> column = column_as<double>(array.get(), "float64", arg);
            const std::span<const double> values = column.values();
            ids.integers.reserve(values.size());
            for (std::size_t i = 0; i < values.size(); ++i) ids.integers.push_back(integral_id(values[i], i, arg));
            ids.are_integers = true;
            return;
        }
        obj = array.get();
        ids.held.push_back(std::move(array));
    }
    ids.items.emplace(obj, arg);
    const SequenceItems& items = *ids.items;
    auto is_number = [](PyObject* item) { return PyLong_Check(item) || PyFloat_Check(item) || PyIndex_Check(item); };
    // The first non-missing item decides the kind.
    std::size_t first = 0;
    while (first < items.size() && !PyUnicode_Check(items[first]) && !PyLong_Check(items[first]) && is_missing(items[first]))
        ++first;
    if (first < items.size() && !PyUnicode_Check(items[first]) && is_number(items[first])) {
        ids.are_integers = true;
        ids.integers.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            PyObject* item = items[i];
            if (PyLong_Check(item) || (PyIndex_Check(item) && !PyFloat_Check(item))) {
                ids.integers.push_back(From<std::int64_t>::convert(item, arg));
            } else if (PyFloat_Check(item)) {
                ids.integers.push_back(integral_id(From<double>::convert(item, arg), i, arg));
            } else {
                if (is_missing(item)) raise_null_id(arg, i);
                raise_argument(PyExc_TypeError, arg, format("ids must be all int or all str; item {} is a {}", i, type_name(item)));
            }
        }
        return;
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
}

}  // namespace

// ---- timestamps ----

struct TransactionColumns::Times {
    std::vector<std::optional<Instant>> when;
    std::optional<Column<std::int64_t>> tick_column;  // datetime64 or epoch seconds, read in place
    std::vector<std::int64_t> tick_copy;
    std::optional<ArrowColumn> arrow;                 // Arrow buffers behind the ticks
    std::optional<engine::TickColumn> ticks;
    std::size_t missing = 0, unreadable = 0;
    std::size_t first_missing = 0, first_unreadable = 0;
    std::string first_unreadable_text;

    void add_missing() {
        if (missing++ == 0) first_missing = when.size();
        when.emplace_back();
    }
    std::size_t size() const { return ticks ? ticks->ticks.size() : when.size(); }
    // Whether row i has an instant.
    bool present(std::size_t i) const {
        if (!ticks) return when[i].has_value();
        return !ticks->missing || ticks->ticks[i] != *ticks->missing;
    }
};

namespace {

using Times = TransactionColumns::Times;

// Ticks of `values` (datetime64 or epoch seconds): NaT counted as missing when
// `nat` is set, and coarse units checked to name instants with 64-bit seconds.
void use_ticks(Times& out, std::span<const std::int64_t> values, std::int64_t seconds_per_tick,
               std::int64_t ticks_per_second, bool nat, const char* arg) {
    std::int64_t low = 0, high = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        if (nat && v == kNaT) {
            if (out.missing++ == 0) out.first_missing = i;
            continue;
        }
        low = std::min(low, v);
        high = std::max(high, v);
    }
    std::int64_t ignored = 0;
    if (__builtin_mul_overflow(low, seconds_per_tick, &ignored) || __builtin_mul_overflow(high, seconds_per_tick, &ignored))
        raise_argument(PyExc_OverflowError, arg, "datetime out of range");
    out.ticks = engine::TickColumn{values, seconds_per_tick, ticks_per_second,
                                   nat ? std::optional<std::int64_t>(kNaT) : std::nullopt};
}

// (seconds per tick, ticks per second) of a datetime64 unit; false for calendar or unknown units.
bool tick_unit(std::string_view unit, std::int64_t& per_tick, std::int64_t& per_second) {
    per_tick = 1;
    per_second = 1;
    if (unit == "W") per_tick = 7 * 86'400;
    else if (unit == "D") per_tick = 86'400;
    else if (unit == "h") per_tick = 3'600;
    else if (unit == "m") per_tick = 60;
    else if (unit == "s") per_tick = 1;
    else if (unit == "ms") per_second = 1'000;
    else if (unit == "us") per_second = 1'000'000;
    else if (unit == "ns") per_second = 1'000'000'000;
    else return false;
    return true;
}

std::string dtype_name(PyObject* array) {
    Ref dtype = Ref::steal(PyObject_GetAttrString(array, "dtype"));
    Ref text = Ref::steal(PyObject_Str(dtype.get()));
    return From<std::string>::convert(text.get(), "dtype");
}

void read_datetime64(PyObject* array, Times& out, const char* arg) {
    std::string name = dtype_name(array);
    Ref days;
    std::string_view unit = datetime64_unit(name);
    if (unit == "Y" || unit == "M") {  // calendar units: whole days first
        days = astype(array, "datetime64[D]", arg);
        array = days.get();
        unit = "D";
    }
    std::int64_t per_tick = 1, per_second = 1;
    if (!tick_unit(unit, per_tick, per_second))
        raise_argument(PyExc_TypeError, arg, format("unsupported datetime unit in {}", name));
    Ref raw = Ref::adopt(PyObject_CallMethod(array, "view", "s", "int64"));
    if (!raw) reraise_for_argument(arg);
    out.tick_column.emplace(column_as<std::int64_t>(raw.get(), "int64", arg));
    use_ticks(out, out.tick_column->values(), per_tick, per_second, true, arg);
}

// An Arrow column of integers (epoch seconds), timestamps or dates; false for another type.
bool read_arrow_times(PyObject* obj, Times& out, const char* arg) {
    std::optional<ArrowColumn> column = arrow_column(obj, arg);
    if (!column || column->dictionary) return false;
    const std::string_view f = column->format;
    bool is_signed = true;
    int width = integer_width(f, is_signed);
    std::int64_t per_tick = 1, per_second = 1;
    if (width == 0) {
        if (f == "tdD") width = 4, per_tick = 86'400;
        else if (f == "tdm") width = 8, per_second = 1'000;
        else if (f.starts_with("tss:")) width = 8;
        else if (f.starts_with("tsm:")) width = 8, per_second = 1'000;
        else if (f.starts_with("tsu:")) width = 8, per_second = 1'000'000;
        else if (f.starts_with("tsn:")) width = 8, per_second = 1'000'000'000;
        else return false;
    }
    std::size_t total = 0, nulls = 0;
    for (const ArrowArray* a : column->chunks) {
        total += static_cast<std::size_t>(a->length);
        if (a->null_count != 0 && a->buffers[0])
            for (std::int64_t i = 0; i < a->length; ++i) nulls += arrow_null(*a, i);
    }
    if (nulls == 0) {
        // Every row has an instant: ticks, in place when one aligned chunk of int64 holds them.
        const ArrowArray* only = column->chunks.size() == 1 ? column->chunks[0] : nullptr;
        const char* base = only ? static_cast<const char*>(only->buffers[1]) + only->offset * 8 : nullptr;
        std::span<const std::int64_t> values;
        if (only && width == 8 && is_signed && reinterpret_cast<std::uintptr_t>(base) % alignof(std::int64_t) == 0) {
            values = {reinterpret_cast<const std::int64_t*>(base), static_cast<std::size_t>(only->length)};
        } else {
            out.tick_copy.reserve(total);
            for (const ArrowArray* a : column->chunks)
                for (std::int64_t i = 0; i < a->length; ++i)
                    out.tick_copy.push_back(load_integer(a->buffers[1], a->offset + i, width, is_signed, arg));
            values = out.tick_copy;
        }
        out.arrow = std::move(column);
        use_ticks(out, values, per_tick, per_second, false, arg);
        return true;
    }
    out.when.reserve(total);
    for (const ArrowArray* a : column->chunks) {
        for (std::int64_t i = 0; i < a->length; ++i) {
            if (arrow_null(*a, i)) {
                out.add_missing();
                continue;
            }
            const std::int64_t v = load_integer(a->buffers[1], a->offset + i, width, is_signed, arg);
            if (per_second != 1) {
                out.when.push_back(engine::TickColumn{{}, 1, per_second, std::nullopt}.instant(v));
            } else {
                std::int64_t seconds = 0;
                if (__builtin_mul_overflow(v, per_tick, &seconds)) raise_argument(PyExc_OverflowError, arg, "datetime out of range");
                out.when.push_back(Instant{seconds, 0});
            }
        }
    }
    return true;
}

void read_timestamp_items(PyObject* obj, Times& out, const char* arg) {
    SequenceItems items(obj, arg);
    std::optional<TimeReader> reader;
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
        } else if (PyLong_CheckExact(item)) {
            out.when.push_back(Instant{From<std::int64_t>::convert(item, arg), 0});
        } else {
            if (!reader) reader.emplace();
            Instant when;
            switch (reader->read(item, arg, true, when)) {
                case TimeReader::Read::Instant: out.when.push_back(when); break;
                case TimeReader::Read::Missing: out.add_missing(); break;
                case TimeReader::Read::NotATime:
                    raise_argument(PyExc_TypeError, arg,
                                   format("a timestamp must be a datetime, date, datetime64, int or str, not {}",
                                          type_name(item)));
            }
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

void read_times_into(PyObject* obj, Times& out, const char* arg) {
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        read_timestamp_items(obj, out, arg);
        return;
    }
    Ref source = Ref::borrow(obj);
    const char obj_kind = dtype_kind(obj);
    if (obj_kind == 'M' && !PyObject_CheckBuffer(obj)) source = utc_datetime64(obj, arg);
    // Arrow arrays, polars and nullable pandas integers: through Arrow, nulls and all.
    const bool nullable_integers = (obj_kind == 'i' || obj_kind == 'u') && extension_dtype(obj);
    if (!PyObject_CheckBuffer(obj) && (obj_kind == 0 || nullable_integers) && read_arrow_times(obj, out, arg)) return;
    if (dtype_kind(source.get()) == 0) source = positional(source.get(), arg);
    const char kind = dtype_kind(source.get());
    if (kind == 'M') {
        if (PyObject_HasAttrString(source.get(), "view")) {
            read_datetime64(source.get(), out, arg);
            return;
        }
        source = as_array(source.get(), arg);
        if (dtype_kind(source.get()) == 'M' && PyObject_HasAttrString(source.get(), "view")) {
            read_datetime64(source.get(), out, arg);
            return;
        }
    }
    if ((kind == 'i' || kind == 'u') && !nullable_integers) {
        Ref array = as_array(source.get(), arg);
        out.tick_column.emplace(column_as<std::int64_t>(array.get(), "int64", arg));
        use_ticks(out, out.tick_column->values(), 1, 1, false, arg);  // every int is an instant
        return;
    }
    read_timestamp_items(source.get(), out, arg);
}

// The amounts, read in place when they are an aligned contiguous float64
// buffer (NumPy arrays, pandas Series through __array__), else converted.
Column<double> read_amount_column(PyObject* obj, const char* arg, std::optional<ArrowColumn>& arrow) {
    Column<double> column;
    if (!PyList_Check(obj) && !PyTuple_Check(obj) && !PyUnicode_Check(obj)) {
        Ref source = Ref::borrow(obj);
        if (!PyObject_CheckBuffer(obj) && dtype_kind(obj) == 'f' && PyObject_HasAttrString(obj, "__array__"))
            source = Ref::adopt(PyObject_CallMethod(obj, "__array__", nullptr));
        if (!source) PyErr_Clear();
        else if (column.open(std::move(source), native_float64)) return column;
        // A 2-D array or frame would fail item by item with a puzzling message.
        long ndim = column.ndim();
        if (ndim <= 1 && PyObject_HasAttrString(obj, "ndim")) {
            Ref attr = Ref::adopt(PyObject_GetAttrString(obj, "ndim"));
            ndim = attr && PyLong_Check(attr.get()) ? PyLong_AsLong(attr.get()) : 0;
            PyErr_Clear();
        }
        if (ndim > 1) raise(PyExc_ValueError, format("{} must be 1-D, got a {}-D array", arg, ndim));
        // One Arrow chunk of float64 without nulls (polars) is read in place.
        if (!PyObject_CheckBuffer(obj) && dtype_kind(obj) == 0) {
            arrow = arrow_column(obj, arg);
            if (arrow && !arrow->dictionary && arrow->format == "g" && arrow->chunks.size() == 1) {
                const ArrowArray& a = *arrow->chunks[0];
                const auto* values = static_cast<const char*>(a.buffers[1]) + a.offset * 8;
                if ((a.null_count == 0 || !a.buffers[0]) &&
                    reinterpret_cast<std::uintptr_t>(values) % alignof(double) == 0) {
                    column.borrow({reinterpret_cast<const double*>(values), static_cast<std::size_t>(a.length)});
                    return column;
                }
            }
            arrow.reset();
        }
    }
    column.assign(From<std::vector<double>>::convert(obj, arg));
    return column;
}

}  // namespace

struct TransactionColumns::Amounts {
    std::optional<ArrowColumn> arrow;  // what `column` reads in place, when it came through Arrow
    Column<double> column;
};

// ---- the reference instant ----

Instant read_instant(PyObject* obj, const char* arg) {
    if (!obj || obj == Py_None) return engine::to_instant(std::chrono::system_clock::now());
    if (PyUnicode_Check(obj)) {
        const std::string text = From<std::string>::convert(obj, arg);
        if (std::optional<Instant> when = engine::parse_rfc3339(text)) return *when;
        raise(PyExc_ValueError, format("{} '{}' is not an RFC 3339 date-time with a zone", arg, text));
    }
    Instant when;
    switch (TimeReader().read(obj, arg, true, when)) {
        case TimeReader::Read::Instant: return when;
        case TimeReader::Read::Missing: raise(PyExc_ValueError, format("{} is NaT", arg));
        case TimeReader::Read::NotATime: break;
    }
    raise_argument(PyExc_TypeError, arg,
                   format("expected a datetime, date, datetime64, int (epoch seconds) or RFC 3339 str, not {}",
                          type_name(obj)));
}

void warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw PyErrorAlreadySet{};
}

// ---- TransactionColumns ----

TransactionColumns::TransactionColumns() = default;
TransactionColumns::~TransactionColumns() = default;

void TransactionColumns::read_ids(PyObject* obj, const char* arg) {
    ids_ = std::make_unique<Ids>();
    read_ids_into(obj, *ids_, arg);
    read_.push_back(arg);
}

void TransactionColumns::read_timestamps(PyObject* obj, const char* arg) {
    times_ = std::make_unique<Times>();
    read_times_into(obj, *times_, arg);
    read_.push_back(arg);
}

void TransactionColumns::read_amounts(PyObject* obj, const char* arg) {
    std::optional<ArrowColumn> arrow;
    Column<double> column = read_amount_column(obj, arg, arrow);
    amounts_ = std::make_unique<Amounts>(Amounts{std::move(arrow), std::move(column)});
    read_.push_back(arg);
}

void TransactionColumns::read_as_of(PyObject* obj, const char* arg) {
    as_of_ = read_instant(obj, arg);
    cut_off_ = obj && obj != Py_None;
}

void TransactionColumns::check_lengths() const {
    std::vector<std::size_t> sizes;
    if (ids_) sizes.push_back(ids_->size());
    if (times_) sizes.push_back(times_->size());
    if (amounts_) sizes.push_back(amounts_->column.values().size());
    bool same = true;
    for (const std::size_t s : sizes) same = same && s == sizes.front();
    if (same) return;
    std::string names, counts;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        const char* sep = i == 0 ? "" : i + 1 == sizes.size() ? " and " : ", ";
        names += sep;
        names += read_[i];
        counts += sep;
        counts += std::to_string(sizes[i]);
    }
    raise(PyExc_ValueError, format("{} must have the same length, got {}", names, counts));
}

std::size_t TransactionColumns::size() const { return ids_ ? ids_->size() : 0; }

bool TransactionColumns::integer_ids() const { return ids_ && ids_->are_integers; }

engine::Grouping TransactionColumns::group(engine::ThreadPool* pool) {
    const Ids& ids = *ids_;
    const Times& times = *times_;
    engine::Grouping g = ids.are_integers ? engine::group_integers(ids.integers, pool)
                         : ids.offset_texts ? engine::group_texts(*ids.offset_texts, pool)
                         : ids.view_texts   ? engine::group_texts(*ids.view_texts, pool)
                                            : engine::group_texts(std::span<const std::string_view>(ids.texts), pool);
    const std::size_t n = g.group_of.size();

    // Rows dated after the cut-off, counted where the instants lie.
    auto after = [&]<class Later>(Later&& later) {
        after_ = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (times.present(i) && later(i) && after_++ == 0) first_after_ = i;
    };
    std::int64_t bound = std::numeric_limits<std::int64_t>::max();  // the latest tick not after as_of
    if (cut_off_ && times.ticks) {
        const engine::TickColumn& t = *times.ticks;
        __extension__ using Wide = __int128;
        Wide b = t.ticks_per_second == 1
                     ? (as_of_.seconds >= 0 ? as_of_.seconds / t.seconds_per_tick
                                            : -((-static_cast<Wide>(as_of_.seconds) + t.seconds_per_tick - 1) / t.seconds_per_tick))
                     : static_cast<Wide>(as_of_.seconds) * t.ticks_per_second +
                           as_of_.nanos / (1'000'000'000 / t.ticks_per_second);
        b = std::min<Wide>(b, std::numeric_limits<std::int64_t>::max());
        b = std::max<Wide>(b, std::numeric_limits<std::int64_t>::min());
        bound = static_cast<std::int64_t>(b);
        after([&](std::size_t i) { return t.ticks[i] > bound; });
    } else if (cut_off_) {
        after([&](std::size_t i) { return *times.when[i] > as_of_; });
    }
    left_out_ = 0;
    if (times.missing + times.unreadable + after_ == 0) return g;

    // Mark the rows that do not count, then number only the customers left with one.
    const std::size_t n_groups = g.first_row.size();
    std::vector<std::uint32_t> renumber(n_groups, 0);  // 1 + new number; 0 while no row counts
    const bool later_rows = after_ != 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool counts = times.present(i) &&
                            !(later_rows && (times.ticks ? times.ticks->ticks[i] > bound : *times.when[i] > as_of_));
        if (counts) renumber[g.group_of[i]] = 1;
        else g.group_of[i] = engine::kSkippedRow;
    }
    std::vector<std::size_t> first_row;
    first_row.reserve(n_groups);
    for (std::size_t c = 0; c < n_groups; ++c) {
        if (!renumber[c]) continue;
        first_row.push_back(g.first_row[c]);
        renumber[c] = static_cast<std::uint32_t>(first_row.size());
    }
    left_out_ = n_groups - first_row.size();
    if (left_out_ != 0) {
        for (std::uint32_t& c : g.group_of)
            if (c != engine::kSkippedRow) c = renumber[c] - 1;
        g.first_row = std::move(first_row);
    }
    return g;
}

engine::PurchaseColumns TransactionColumns::purchases() const {
    engine::PurchaseColumns rows;
    rows.when = times_->when;
    if (amounts_) rows.amounts = amounts_->column.values();
    rows.ticks = times_->ticks;
    return rows;
}

SkipReport TransactionColumns::report(const engine::Grouping& groups) const {
    const Times& t = *times_;
    SkipReport r;
    r.rows = size();
    r.unreadable = t.unreadable;
    r.first_unreadable = t.first_unreadable;
    r.first_unreadable_text = t.first_unreadable_text;
    r.missing = t.missing;
    r.first_missing = t.first_missing;
    r.after = after_;
    r.first_after = first_after_;
    r.customers_left_out = left_out_;
    if (amounts_) {
        const std::span<const double> amounts = amounts_->column.values();
        for (std::size_t i = 0; i < r.rows; ++i)
            if (std::isnan(amounts[i]) && groups.group_of[i] != engine::kSkippedRow && t.present(i) &&
                r.nan_amounts++ == 0)
                r.first_nan_amount = i;
    }
    return r;
}

void SkipReport::merge(const SkipReport& o) {
    auto first = [](std::size_t& count, std::size_t& at, std::size_t other_count, std::size_t other_at) {
        if (other_count == 0) return false;
        const bool earlier = count == 0 || other_at < at;
        if (earlier) at = other_at;
        count += other_count;
        return earlier;
    };
    rows += o.rows;
    if (first(unreadable, first_unreadable, o.unreadable, o.first_unreadable)) first_unreadable_text = o.first_unreadable_text;
    first(missing, first_missing, o.missing, o.first_missing);
    first(after, first_after, o.after, o.first_after);
    first(nan_amounts, first_nan_amount, o.nan_amounts, o.first_nan_amount);
    customers_left_out += o.customers_left_out;
}

void SkipReport::to_positions(std::span<const std::int64_t> positions) {
    auto at = [&](std::size_t count, std::size_t& index) {
        if (count) index = static_cast<std::size_t>(positions[index]);
    };
    at(unreadable, first_unreadable);
    at(missing, first_missing);
    at(after, first_after);
    at(nan_amounts, first_nan_amount);
}

void check_positions(std::span<const std::int64_t> rows, std::size_t n) {
    if (rows.size() != n)
        raise(PyExc_ValueError, format("rows has {} entries but there are {} transactions", rows.size(), n));
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i] < 0 || (i > 0 && rows[i] <= rows[i - 1]))
            raise(PyExc_ValueError, format("rows must be ascending non-negative positions (index {})", i));
}

Ref report_to_py(const SkipReport& r) {
    return py::make_tuple(r.rows, r.unreadable, r.first_unreadable, r.first_unreadable_text, r.missing, r.first_missing,
                          r.after, r.first_after, r.customers_left_out, r.nan_amounts, r.first_nan_amount);
}

SkipReport report_from_py(PyObject* obj, const char* arg) {
    require_tuple(obj, 11, arg);
    auto at = [&](Py_ssize_t i) { return From<std::uint64_t>::convert(PyTuple_GetItem(obj, i), arg); };
    SkipReport r;
    r.rows = at(0);
    r.unreadable = at(1);
    r.first_unreadable = at(2);
    r.first_unreadable_text = From<std::string>::convert(PyTuple_GetItem(obj, 3), arg);
    r.missing = at(4);
    r.first_missing = at(5);
    r.after = at(6);
    r.first_after = at(7);
    r.customers_left_out = at(8);
    r.nan_amounts = at(9);
    r.first_nan_amount = at(10);
    return r;
}

void warn_skips(const SkipReport& r) {
    std::vector<std::string> skipped;
    if (r.unreadable)
        skipped.push_back(format("skipped {} of {} transactions whose timestamp is not an RFC 3339 date-time with a zone "
                                 "(first at index {}: '{}')",
                                 r.unreadable, r.rows, r.first_unreadable, r.first_unreadable_text));
    if (r.missing)
        skipped.push_back(format("skipped {} of {} transactions with a missing timestamp (None or NaT; first at index {})",
                                 r.missing, r.rows, r.first_missing));
    if (r.after)
        skipped.push_back(format("skipped {} of {} transactions dated after as_of (first at index {})", r.after, r.rows,
                                 r.first_after));
    if (const std::size_t c = r.customers_left_out; c && !skipped.empty())
        skipped.back() += format("; {} {} with no usable transaction left out", c, c == 1 ? "customer" : "customers");
    for (const std::string& message : skipped) warn(message);
    if (r.nan_amounts)
        warn(format("{} of {} transactions have a NaN amount (first at index {}); the monetary value of their "
                    "customers is NaN",
                    r.nan_amounts, r.rows, r.first_nan_amount));
}

// ---- output ----

namespace {

Ref list_at(PyObject* obj, std::span<const std::size_t> rows, const char* arg) {
    SequenceItems items(obj, arg);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] >= items.size()) raise(PyExc_ValueError, segmora::format("{} changed size during the call", arg));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[rows[i]]).release());
    }
    return list;
}

// obj.<method>(index), or a null Ref (no error pending) when obj has no such method.
Ref call_with_index(PyObject* obj, const char* method, PyObject* index, const char* arg) {
    if (!PyObject_HasAttrString(obj, method)) return {};
    Ref result = Ref::adopt(PyObject_CallMethod(obj, method, "O", index));
    if (!result) reraise_for_argument(arg);
    return result;
}

}  // namespace

Ref rows_of_column(PyObject* column, std::span<const std::size_t> rows, const OutputColumns& columns, const char* arg) {
    if (PyList_Check(column) || PyTuple_Check(column)) return list_at(column, rows, arg);
    // Positions as a NumPy array, or a list of int without NumPy.
    Ref index = columns.numpy() ? columns.int64s(rows) : to_py(std::vector<std::size_t>(rows.begin(), rows.end()));
    if (columns.numpy() && PyObject_HasAttrString(column, "array") && PyObject_HasAttrString(column, "iloc")) {
        Ref array = Ref::adopt(PyObject_GetAttrString(column, "array"));  // pandas: positions, not labels
        if (!array) reraise_for_argument(arg);
        if (Ref out = call_with_index(array.get(), "take", index.get(), arg)) return out;
    }
    if (Ref out = call_with_index(column, "take", index.get(), arg)) return out;    // NumPy, Arrow
    if (Ref out = call_with_index(column, "gather", index.get(), arg)) return out;  // polars
    Ref items = positional(column, arg);
    return list_at(items.get(), rows, arg);
}

bool is_polars_series(PyObject* obj) {
    PyObject* polars = loaded_module("polars");
    if (!polars || PyList_Check(obj) || PyTuple_Check(obj)) return false;
    Ref series = Ref::adopt(PyObject_GetAttrString(polars, "Series"));
    const int is = series ? PyObject_IsInstance(obj, series.get()) : 0;
    PyErr_Clear();
    return is == 1;
}

Ref TransactionColumns::id_column(PyObject* original, const engine::Grouping& groups,
                                  std::span<const std::uint32_t> order, const OutputColumns& columns) const {
    // From polars: the Series gathered at the customers' first rows, so the
    // column keeps its dtype and name.
    if (is_polars_series(original)) {
        std::vector<std::size_t> rows(order.size());
        for (std::size_t i = 0; i < order.size(); ++i) rows[i] = groups.first_row[order[i]];
        return rows_of_column(original, rows, columns, "customer_ids");
    }
    // From pandas: the ids of the customers' first rows (ascending, so the
    // column is read front to back), then those in output order.
    // Float ids (read as ints) come out as ints.
    if (columns.numpy() && !PyList_Check(original) && !PyTuple_Check(original) && dtype_kind(original) != 'f' &&
        PyObject_HasAttrString(original, "array")) {
        Ref array = Ref::adopt(PyObject_GetAttrString(original, "array"));
        if (array && PyObject_HasAttrString(array.get(), "take")) {
            Ref firsts = Ref::adopt(PyObject_CallMethod(array.get(), "take", "O", columns.int64s(groups.first_row).get()));
            Ref taken = firsts ? Ref::adopt(PyObject_CallMethod(firsts.get(), "take", "O", columns.int64s(order).get())) : Ref();
            if (taken) return taken;
        }
        PyErr_Clear();
    }
    const Ids& ids = *ids_;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(order.size())));
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::size_t row = groups.first_row[order[i]];
        Ref item = ids.items && !ids.are_integers ? Ref::borrow((*ids.items)[row])
                   : ids.are_integers             ? to_py(ids.integers[row])
                                                  : to_py(ids.text(row));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list;
}

}  // namespace segmora::py
