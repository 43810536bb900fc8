#include "python/drift_columns.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/keyed_hash.hpp"
#include "python/timestamps.hpp"
#include "python/toolkit/arrays.hpp"
#include "python/toolkit/arrow_c.hpp"
#include "python/toolkit/format.hpp"

namespace segmora::py {

namespace {

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using arrow::bit_set;
using arrow::Released;
using engine::ColumnSample;

constexpr double kMissing = std::numeric_limits<double>::quiet_NaN();

// Where a column comes from, for error messages.
struct Label {
    const char* what;  // "argument" or "column"
    std::string name;
    std::string text() const { return format("{} '{}'", what, name); }
    [[noreturn]] void fail(PyObject* type, const std::string& message) const {
        raise(type, format("{}: {}", text(), message));
    }
};

// Category counts in order of first appearance.
class CategoryCounter {
public:
    std::size_t slot(std::string_view text) {
        auto it = slot_.find(text);
        if (it == slot_.end()) {
            it = slot_.emplace(std::string(text), counts_.size()).first;
            counts_.emplace_back(std::string(text), 0);
        }
        return it->second;
    }
    void add(std::size_t slot, std::uint64_t n = 1) { counts_[slot].second += n; }
    engine::CountTable take() { return std::move(counts_); }

private:
    engine::StringMap<std::size_t> slot_;
    engine::CountTable counts_;
};

// A number as a category: its shortest decimal (3.0 and 3 are both "3").
std::string number_text(double v) { return format("{}", v == 0.0 ? 0.0 : v); }

// Numbers (NaN missing) counted as categories: distinct values first, then one text each.
void count_numbers(const std::vector<double>& numbers, CategoryCounter& counter, std::uint64_t& missing) {
    std::unordered_map<std::uint64_t, std::size_t, engine::KeyedIntegerHash> slot;
    std::vector<std::pair<double, std::uint64_t>> seen;
    for (double v : numbers) {
        if (std::isnan(v)) {
            ++missing;
            continue;
        }
        if (v == 0.0) v = 0.0;  // -0 is 0
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        const auto [it, fresh] = slot.emplace(bits, seen.size());
        if (fresh) seen.emplace_back(v, 0);
        ++seen[it->second].second;
    }
    for (const auto& [value, n] : seen) counter.add(counter.slot(number_text(value)), n);
}

ColumnSample numbers_sample(std::vector<double> numbers, ColumnKind kind) {
    ColumnSample s;
    if (kind == ColumnKind::Categories) {
        CategoryCounter counter;
        count_numbers(numbers, counter, s.missing);
        s.categorical = true;
        s.categories_from_numbers = true;
        s.categories = counter.take();
        return s;
    }
    s.numbers = std::move(numbers);
    return s;
}

// ---- Python items ----

bool missing_item(PyObject* item) {
    if (PyFloat_CheckExact(item)) return std::isnan(PyFloat_AsDouble(item));
    if (PyLong_CheckExact(item) || PyUnicode_CheckExact(item)) return false;
    return is_missing(item);
}

bool number_item(PyObject* item) {
    return PyFloat_Check(item) || PyLong_Check(item) || (!PyUnicode_Check(item) && PyNumber_Check(item));
}

// Seconds per tick of a datetime64 or timedelta64 unit; 0 for a calendar or
// unknown unit.
double seconds_per_tick(std::string_view unit) {
    if (unit == "W") return 7 * 86400.0;
    if (unit == "D") return 86400.0;
    if (unit == "h") return 3600.0;
    if (unit == "m") return 60.0;
    if (unit == "s") return 1.0;
    if (unit == "ms") return 1e-3;
    if (unit == "us") return 1e-6;
    if (unit == "ns") return 1e-9;
    return 0.0;
}

// Date-time items as seconds since the epoch: datetime objects (pandas.Timestamp
// included; a naive one read as UTC like naive datetime64), dates (midnight
// UTC) and NumPy datetime64 scalars (ticks times the unit, as in an array).
class DatetimeSeconds {
public:
    bool is_datetime(PyObject* item) {
        if (PyFloat_Check(item) || PyLong_Check(item) || PyUnicode_Check(item)) return false;
        if (!date_) {
            Ref module = Ref::steal(PyImport_ImportModule("datetime"));
            type_ = Ref::steal(PyObject_GetAttrString(module.get(), "datetime"));
            date_ = Ref::steal(PyObject_GetAttrString(module.get(), "date"));
            Ref timezone = Ref::steal(PyObject_GetAttrString(module.get(), "timezone"));
            utc_ = Ref::steal(PyObject_GetAttrString(timezone.get(), "utc"));
        }
        const int is = PyObject_IsInstance(item, date_.get());  // datetime is a date too
        if (is < 0) throw PyErrorAlreadySet{};
        return is == 1 || type_name(item) == "datetime64";
    }
    double seconds(PyObject* item, const Label& label) {
        if (type_name(item) == "datetime64") return datetime64_seconds(item, label);
        const int is = PyObject_IsInstance(item, type_.get());
        if (is < 0) throw PyErrorAlreadySet{};
        if (is == 0) {  // a date: its days since 1970-01-01 (ordinal 719163)
            Ref ordinal = Ref::adopt(PyObject_CallMethod(item, "toordinal", nullptr));
            if (!ordinal) reraise_with_prefix(label.text() + ": ");
            return static_cast<double>(From<std::int64_t>::convert(ordinal.get(), label.name.c_str()) - 719163) * 86400.0;
        }
        Ref offset = Ref::adopt(PyObject_CallMethod(item, "utcoffset", nullptr));
        Ref aware = offset && offset.get() == Py_None ? replaced_utc(item) : Ref::borrow(item);
        Ref stamp = aware ? Ref::adopt(PyObject_CallMethod(aware.get(), "timestamp", nullptr)) : Ref();
        if (!stamp) reraise_with_prefix(label.text() + ": ");
        return From<double>::convert(stamp.get(), label.name.c_str());
    }

private:
    static double datetime64_seconds(PyObject* item, const Label& label) {
        Ref dtype = Ref::adopt(PyObject_GetAttrString(item, "dtype"));
        Ref name = dtype ? Ref::adopt(PyObject_Str(dtype.get())) : Ref();
        Ref ticks = name ? Ref::adopt(PyObject_CallMethod(item, "astype", "s", "int64")) : Ref();
        if (!ticks) reraise_with_prefix(label.text() + ": ");
        const auto t = From<std::int64_t>::convert(ticks.get(), label.name.c_str());
        if (t == std::numeric_limits<std::int64_t>::min()) return kMissing;  // NaT
        const std::string text = From<std::string>::convert(name.get(), label.name.c_str());
        const double per_tick = seconds_per_tick(datetime64_unit(text));
        if (per_tick == 0.0) label.fail(PyExc_TypeError, format("unsupported unit in {}", text));
        return static_cast<double>(t) * per_tick;
    }
    Ref replaced_utc(PyObject* item) {
        Ref method = Ref::steal(PyObject_GetAttrString(item, "replace"));
        Ref args = Ref::steal(PyTuple_New(0));
        Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "tzinfo", utc_.get()));
        return Ref::adopt(PyObject_Call(method.get(), args.get(), kwargs.get()));
    }
    Ref type_, date_, utc_;
};

ColumnSample read_items(PyObject* obj, ColumnKind kind, const Label& label) {
    const SequenceItems items(obj, label.name.c_str());
    DatetimeSeconds datetimes;
    // Numbers and datetimes read as numbers; anything else is a text.
    auto numeric = [&](PyObject* item) { return number_item(item) || datetimes.is_datetime(item); };
    std::size_t first_text = items.size();
    for (std::size_t i = 0; i < items.size() && first_text == items.size(); ++i)
        if (!missing_item(items[i]) && !numeric(items[i])) first_text = i;
    const bool any_text = first_text < items.size();
    if (kind == ColumnKind::Numbers && any_text)
        label.fail(PyExc_TypeError, format("item {} is a {}, not a number", first_text, type_name(items[first_text])));
    auto number = [&](PyObject* item) {
        // datetime64 scalars pass for numbers too: look for date-times first.
        return datetimes.is_datetime(item) ? datetimes.seconds(item, label) : From<double>::convert(item, label.name.c_str());
    };
    std::vector<double> numbers;
    numbers.reserve(items.size());
    if (!any_text) {
        for (std::size_t i = 0; i < items.size(); ++i) numbers.push_back(missing_item(items[i]) ? kMissing : number(items[i]));
        return numbers_sample(std::move(numbers), kind);
    }
    ColumnSample s;
    CategoryCounter counter;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = items[i];
        if (missing_item(item)) {
            ++s.missing;
        } else if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (!text) throw PyErrorAlreadySet{};
            counter.add(counter.slot(std::string_view(text, static_cast<std::size_t>(size))));
        } else if (numeric(item)) {
            counter.add(counter.slot(number_text(number(item))));
        } else {
            Ref text = Ref::steal(PyObject_Str(item));
            counter.add(counter.slot(From<std::string>::convert(text.get(), label.name.c_str())));
        }
    }
    s.categorical = true;
    s.categories = counter.take();
    return s;
}

// ---- NumPy-style arrays (NumPy, pandas) ----

// The kind letter of obj.dtype ('f', 'i', 'M', 'O', ...), or 0 when it has none.
char dtype_kind(PyObject* obj) {
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    Ref kind = dtype ? Ref::adopt(PyObject_GetAttrString(dtype.get(), "kind")) : Ref();
    const char* k = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
    PyErr_Clear();
    return k && k[0] && !k[1] ? k[0] : 0;
}

Ref call_method(PyObject* obj, const char* name, PyObject* args, PyObject* kwargs, const Label& label) {
    Ref method = Ref::adopt(PyObject_GetAttrString(obj, name));
    Ref result = method ? Ref::adopt(PyObject_Call(method.get(), args, kwargs)) : Ref();
    if (!result) reraise_with_prefix(label.text() + ": ");
    return result;
}

// obj.to_numpy(**kwargs) when obj is no buffer but has it (pandas), else obj.
Ref as_numpy(PyObject* obj, PyObject* kwargs, const Label& label) {
    if (PyObject_CheckBuffer(obj) || !PyObject_HasAttrString(obj, "to_numpy")) return Ref::borrow(obj);
    Ref args = Ref::steal(PyTuple_New(0));
    return call_method(obj, "to_numpy", args.get(), kwargs, label);
}

std::vector<double> read_numbers_array(PyObject* obj, const Label& label) {
    Ref kwargs = Ref::steal(Py_BuildValue("{s:s,s:d}", "dtype", "float64", "na_value", kMissing));
    Ref source = as_numpy(obj, kwargs.get(), label);
    std::optional<NumericArray> array = read_array(source.get(), label.name.c_str());
    if (!array) label.fail(PyExc_TypeError, format("cannot read a {} as numbers", type_name(obj)));
    if (array->shape().size() != 1)
        label.fail(PyExc_ValueError, format("must be 1-D, got a {}-D array", array->shape().size()));
    std::vector<double> out(array->size());
    array->copy_to(out.data());
    return out;
}

// datetime64 as seconds since the epoch, timedelta64 as seconds; NaT missing.
std::vector<double> read_times_array(PyObject* obj, const Label& label) {
    Ref kwargs;
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    Ref tz = dtype ? Ref::adopt(PyObject_GetAttrString(dtype.get(), "tz")) : Ref();
    PyErr_Clear();
    if (tz && tz.get() != Py_None) kwargs = Ref::steal(Py_BuildValue("{s:s}", "dtype", "datetime64[ns]"));  // in UTC
    Ref array = as_numpy(obj, kwargs.get(), label);
    Ref array_dtype = Ref::steal(PyObject_GetAttrString(array.get(), "dtype"));
    Ref shown = Ref::steal(PyObject_Str(array_dtype.get()));
    const std::string name = From<std::string>::convert(shown.get(), label.name.c_str());
    const std::size_t open = name.find('['), close = name.find(']');
    const std::string unit = open == std::string::npos || close == std::string::npos ? "" : name.substr(open + 1, close - open - 1);
    const double per_tick = seconds_per_tick(unit);
    if (per_tick == 0.0) label.fail(PyExc_TypeError, format("unsupported unit in {}", name));
    Ref ticks = Ref::adopt(PyObject_CallMethod(array.get(), "view", "s", "int64"));
    if (!ticks) reraise_with_prefix(label.text() + ": ");
    Py_buffer view;
    if (PyObject_GetBuffer(ticks.get(), &view, PyBUF_RECORDS_RO) != 0) reraise_with_prefix(label.text() + ": ");
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    if (view.ndim != 1 || view.itemsize != 8) label.fail(PyExc_ValueError, "must be 1-D");
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides ? view.strides[0] : 8;
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t t;
        std::memcpy(&t, static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * stride, sizeof t);
        out[i] = t == std::numeric_limits<std::int64_t>::min() ? kMissing : static_cast<double>(t) * per_tick;
    }
    return out;
}

// ---- Arrow ----

// A column assembled from Arrow batches.
struct ArrowColumn {
    ArrowColumn(ColumnKind k, Label l) : kind(k), label(std::move(l)) {}
    ColumnKind kind;
    Label label;
    bool texts = false;  // the schema holds texts or categories
    std::vector<double> numbers;
    CategoryCounter counter;
    std::uint64_t missing = 0;

    ColumnSample finish() {
        if (!texts) return numbers_sample(std::move(numbers), kind);
        ColumnSample s;
        s.categorical = true;
        s.categories = counter.take();
        s.missing = missing;
        return s;
    }
};

[[noreturn]] void malformed(const Label& label) { label.fail(PyExc_ValueError, "malformed Arrow array"); }

// Checks that rows [start, start + length) of `a` exist and it has `buffers` buffers.
void check_array(const ArrowArray& a, std::int64_t start, std::int64_t length, std::int64_t buffers, const Label& label) {
    if (a.length < 0 || a.offset < 0 || start < 0 || length < 0 || start > a.length - length || a.n_buffers < buffers ||
        (buffers > 0 && !a.buffers))
        malformed(label);
    for (std::int64_t b = 1; b < buffers; ++b)
        if (!a.buffers[b] && length > 0) malformed(label);
}

bool valid(const ArrowArray& a, std::int64_t at) {
    return a.null_count == 0 || !a.buffers[0] || bit_set(a.buffers[0], at);
}

template <class T>
T load(const void* base, std::int64_t index) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + index * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
    return v;
}

bool text_format(std::string_view f) { return f == "u" || f == "U" || f == "vu"; }

// Calls visit(row, text or nullopt for a null) for rows [start, start + length) of a text array.
template <class Visit>
void visit_texts(std::string_view f, const ArrowArray& a, std::int64_t start, std::int64_t length, const Label& label,
                 Visit&& visit) {
    if (f == "vu") {
        check_array(a, start, length, 2, label);
        const std::int64_t data_buffers = a.n_buffers - 3;  // then the buffer of their sizes
        for (std::int64_t i = 0; i < length; ++i) {
            const std::int64_t at = a.offset + start + i;
            if (!valid(a, at)) {
                visit(i, std::optional<std::string_view>());
                continue;
            }
            const char* view = static_cast<const char*>(a.buffers[1]) + at * 16;
            const auto size = load<std::int32_t>(view, 0);
            if (size < 0) malformed(label);
            if (size <= 12) {
                visit(i, std::optional<std::string_view>(std::string_view(view + 4, static_cast<std::size_t>(size))));
                continue;
            }
            const auto buffer = load<std::int32_t>(view + 8, 0), offset = load<std::int32_t>(view + 12, 0);
            if (buffer < 0 || buffer >= data_buffers || offset < 0 || !a.buffers[2 + buffer]) malformed(label);
            if (const void* sizes = a.buffers[a.n_buffers - 1];
                sizes && static_cast<std::int64_t>(offset) + size > load<std::int64_t>(sizes, buffer))
                malformed(label);
            const char* data = static_cast<const char*>(a.buffers[2 + buffer]) + offset;
            visit(i, std::optional<std::string_view>(std::string_view(data, static_cast<std::size_t>(size))));
        }
        return;
    }
    check_array(a, start, length, 3, label);
    const bool wide = f == "U";
    for (std::int64_t i = 0; i < length; ++i) {
        const std::int64_t at = a.offset + start + i;
        if (!valid(a, at)) {
            visit(i, std::optional<std::string_view>());
            continue;
        }
        const std::int64_t begin = wide ? load<std::int64_t>(a.buffers[1], at) : load<std::int32_t>(a.buffers[1], at);
        const std::int64_t end = wide ? load<std::int64_t>(a.buffers[1], at + 1) : load<std::int32_t>(a.buffers[1], at + 1);
        if (begin < 0 || end < begin) malformed(label);
        const char* data = static_cast<const char*>(a.buffers[2]) + begin;
        visit(i, std::optional<std::string_view>(std::string_view(data, static_cast<std::size_t>(end - begin))));
    }
}

// Seconds per tick of a temporal Arrow format, and whether its ticks are 32-bit; 0 when not temporal.
std::pair<double, bool> temporal_unit(std::string_view f) {
    auto per = [](char unit) { return unit == 's' ? 1.0 : unit == 'm' ? 1e-3 : unit == 'u' ? 1e-6 : unit == 'n' ? 1e-9 : 0.0; };
    if (f.size() >= 4 && f.substr(0, 2) == "ts" && f[3] == ':') return {per(f[2]), false};
    if (f == "tdD") return {86400.0, true};
    if (f == "tdm") return {1e-3, false};
    if (f.size() == 3 && f.substr(0, 2) == "tD") return {per(f[2]), false};
    return {0.0, false};
}

void append_dictionary(const ArrowSchema& s, const ArrowArray& a, std::int64_t start, std::int64_t length,
                       ArrowColumn& col) {
    const Label& label = col.label;
    const std::string_view index_format = s.format ? s.format : "";
    if (!s.dictionary || !a.dictionary || !arrow_numeric_format(s.format) || index_format == "b" ||
        index_format == "e" || index_format == "f" || index_format == "g")
        malformed(label);
    check_array(a, start, length, 2, label);
    const ArrowArray& dict = *a.dictionary;
    const std::string_view value_format = s.dictionary->format ? s.dictionary->format : "";
    // The text of every dictionary entry (nullopt for a null one).
    std::vector<std::optional<std::string>> entries(static_cast<std::size_t>(std::max<std::int64_t>(dict.length, 0)));
    if (text_format(value_format)) {
        visit_texts(value_format, dict, 0, dict.length, label, [&](std::int64_t i, std::optional<std::string_view> t) {
            if (t) entries[static_cast<std::size_t>(i)] = std::string(*t);
        });
    } else if (arrow_numeric_format(s.dictionary->format)) {
        std::vector<double> values;
        append_arrow_numbers(s.dictionary->format, dict, 0, dict.length, values, label.name.c_str());
        for (std::size_t i = 0; i < values.size(); ++i)
            if (!std::isnan(values[i])) entries[i] = number_text(values[i]);
    } else {
        label.fail(PyExc_TypeError, format("unsupported Arrow dictionary of format '{}'", value_format));
    }
    std::vector<double> indices;
    append_arrow_numbers(s.format, a, start, length, indices, label.name.c_str());
    std::vector<std::size_t> slot(entries.size(), std::numeric_limits<std::size_t>::max());
    for (const double index : indices) {
        if (std::isnan(index)) {
            ++col.missing;
            continue;
        }
        if (index < 0 || index >= static_cast<double>(entries.size())) malformed(label);
        const auto e = static_cast<std::size_t>(index);
        if (!entries[e]) {
            ++col.missing;
            continue;
        }
        if (slot[e] == std::numeric_limits<std::size_t>::max()) slot[e] = col.counter.slot(*entries[e]);
        col.counter.add(slot[e]);
    }
}

// Appends rows [start, start + length) of one Arrow array to `col`.
void append_arrow(const ArrowSchema& s, const ArrowArray& a, std::int64_t start, std::int64_t length, ArrowColumn& col) {
    const Label& label = col.label;
    const std::string_view f = s.format ? s.format : "";
    const bool categories = s.dictionary || text_format(f);
    if (categories && col.kind == ColumnKind::Numbers)
        label.fail(PyExc_TypeError, format("holds {} (Arrow format '{}'), not numbers", s.dictionary ? "categories" : "texts", f));
    if (s.dictionary) {
        col.texts = true;
        append_dictionary(s, a, start, length, col);
    } else if (text_format(f)) {
        col.texts = true;
        visit_texts(f, a, start, length, label, [&](std::int64_t, std::optional<std::string_view> t) {
            if (t) col.counter.add(col.counter.slot(*t));
            else ++col.missing;
        });
    } else if (arrow_numeric_format(s.format)) {
        append_arrow_numbers(s.format, a, start, length, col.numbers, label.name.c_str());
    } else if (const auto [per_tick, narrow] = temporal_unit(f); per_tick != 0.0) {
        check_array(a, start, length, 2, label);
        for (std::int64_t i = 0; i < length; ++i) {
            const std::int64_t at = a.offset + start + i;
            const double ticks = narrow ? load<std::int32_t>(a.buffers[1], at) : static_cast<double>(load<std::int64_t>(a.buffers[1], at));
            col.numbers.push_back(valid(a, at) ? ticks * per_tick : kMissing);
        }
    } else if (f == "n") {
        if (length < 0) malformed(label);
        col.numbers.insert(col.numbers.end(), static_cast<std::size_t>(length), kMissing);
    } else {
        label.fail(PyExc_TypeError, format("unsupported Arrow format '{}'", f));
    }
}

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const Label& label) {
    void* p = PyCapsule_GetPointer(capsule, name);
    if (!p) reraise_with_prefix(label.text() + ": ");
    return static_cast<T*>(p);
}

// Calls take(schema, nullptr) once, then take(schema, &batch) for every batch an
// Arrow-exporting object hands over.
template <class Take>
void read_arrow_batches(PyObject* obj, const Label& label, Take&& take) {
    if (PyObject_HasAttrString(obj, "__arrow_c_stream__")) {
        arrow::HeldCapsule capsule(Ref::adopt(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr)));
        if (!capsule.ref) reraise_with_prefix(label.text() + ": ");
        auto* stream = capsule_pointer<ArrowArrayStream>(capsule.ref.get(), "arrow_array_stream", label);
        Released<ArrowSchema> schema;
        if (stream->get_schema(stream, &schema.value) != 0) label.fail(PyExc_ValueError, "cannot read the Arrow stream's schema");
        take(schema.value, nullptr);
        for (;;) {
            Released<ArrowArray> batch;
            if (stream->get_next(stream, &batch.value) != 0) label.fail(PyExc_ValueError, "cannot read the Arrow stream");
            if (!batch.value.release) break;  // end of stream
            arrow::validate(schema.value, batch.value, label.text().c_str());
            take(schema.value, &batch.value);
        }
        return;
    }
    arrow::HeldCapsule pair(Ref::adopt(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr)));
    if (!pair.ref) reraise_with_prefix(label.text() + ": ");
    if (!PyTuple_Check(pair.ref.get()) || PyTuple_Size(pair.ref.get()) != 2)
        label.fail(PyExc_TypeError, "__arrow_c_array__ must return a pair of capsules");
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GetItem(pair.ref.get(), 0), "arrow_schema", label);
    auto* array = capsule_pointer<ArrowArray>(PyTuple_GetItem(pair.ref.get(), 1), "arrow_array", label);
    arrow::validate(*schema, *array, label.text().c_str());
    take(*schema, nullptr);
    take(*schema, array);
}

bool exports_arrow(PyObject* obj) {
    return PyObject_HasAttrString(obj, "__arrow_c_stream__") || PyObject_HasAttrString(obj, "__arrow_c_array__");
}

bool is_table_format(const ArrowSchema& s) { return s.format && std::strcmp(s.format, "+s") == 0; }

ColumnSample read_arrow_column(PyObject* obj, ColumnKind kind, const Label& label) {
    ArrowColumn col(kind, label);
    read_arrow_batches(obj, label, [&](const ArrowSchema& s, const ArrowArray* a) {
        if (is_table_format(s)) label.fail(PyExc_TypeError, "is a table, not a column");
        if (a) append_arrow(s, *a, 0, a->length, col);
    });
    return col.finish();
}

ColumnSample read_one(PyObject* obj, ColumnKind kind, const Label& label, bool through_array = false) {
    if (PyUnicode_Check(obj)) label.fail(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (PyList_Check(obj) || PyTuple_Check(obj)) return read_items(obj, kind, label);
    const char k = dtype_kind(obj);
    if (k == 0 && exports_arrow(obj)) return read_arrow_column(obj, kind, label);
    if (k && std::strchr("biuf", k)) return numbers_sample(read_numbers_array(obj, label), kind);
    if (k == 'M' || k == 'm') return numbers_sample(read_times_array(obj, label), kind);
    if (k) {  // texts, objects, categories
        Ref list = Ref::adopt(PyObject_CallMethod(obj, "tolist", nullptr));
        if (!list) reraise_with_prefix(label.text() + ": ");
        return read_items(list.get(), kind, label);
    }
    if (!through_array && PyObject_HasAttrString(obj, "__array__")) {
        Ref array = Ref::adopt(PyObject_CallMethod(obj, "__array__", nullptr));
        if (!array) reraise_with_prefix(label.text() + ": ");
        return read_one(array.get(), kind, label, true);
    }
    return read_items(obj, kind, label);
}

// ---- tables ----

std::string label_text(PyObject* key, const char* arg, bool strict) {
    if (PyUnicode_Check(key)) return From<std::string>::convert(key, arg);
    if (strict) raise(PyExc_TypeError, format("{}: column names must be str, not {}", arg, type_name(key)));
    Ref text = Ref::steal(PyObject_Str(key));
    return From<std::string>::convert(text.get(), arg);
}

}  // namespace

ColumnSample read_column(PyObject* obj, ColumnKind kind, const std::string& label) {
    return read_one(obj, kind, Label{"argument", label});
}

Float64Buffer::Float64Buffer(PyObject* obj) {
    if (PyList_Check(obj) || PyTuple_Check(obj) || !PyObject_CheckBuffer(obj)) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not C-contiguous
        return;
    }
    const std::string_view format = view_.format ? view_.format : "";
    held_ = view_.ndim == 1 && view_.itemsize == sizeof(double) &&
            (format == "d" || format == "=d" || (format == "<d" && std::endian::native == std::endian::little)) &&
            reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    if (!held_) PyBuffer_Release(&view_);
}

Float64Buffer::~Float64Buffer() {
    if (held_) PyBuffer_Release(&view_);
}

Floats::Floats(PyObject* obj, const char* arg) : buffer_(obj) {
    if (!buffer_.held()) owned_ = From<std::vector<double>>::convert(obj, arg);
}

NumberColumn::NumberColumn(PyObject* obj, const std::string& label) : buffer_(obj) {
    if (!buffer_.held()) owned_ = read_column(obj, ColumnKind::Numbers, label).numbers;
    size_ = buffer_.held() ? buffer_.values().size() : owned_.size();
}

engine::SampleSort NumberColumn::sort_into(std::vector<double>& out) {
    if (buffer_.held()) return {buffer_.values(), &out};
    out = std::move(owned_);
    return {out, &out};
}

std::vector<ColumnSample> read_table(PyObject* table, const std::vector<std::string>& categorical, const char* arg) {
    const std::unordered_set<std::string> forced(categorical.begin(), categorical.end());
    auto kind_of = [&](const std::string& name) { return forced.count(name) ? ColumnKind::Categories : ColumnKind::Inferred; };
    std::vector<ColumnSample> out;
    std::unordered_set<std::string> seen;
    auto add = [&](std::string name, ColumnSample sample) {
        if (!seen.insert(name).second) raise(PyExc_ValueError, format("{} has two columns named '{}'", arg, name));
        sample.name = std::move(name);
        out.push_back(std::move(sample));
    };
    const bool pandas_like = PyObject_HasAttrString(table, "columns") && PyObject_HasAttrString(table, "iloc");
    if (PyDict_Check(table) || pandas_like) {
        std::vector<std::pair<Ref, Ref>> columns;  // (label, column)
        if (PyDict_Check(table)) {
            Ref items = Ref::steal(PyDict_Items(table));  // a snapshot
            for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
                PyObject* pair = PyList_GetItem(items.get(), i);
                columns.emplace_back(Ref::borrow(PyTuple_GetItem(pair, 0)), Ref::borrow(PyTuple_GetItem(pair, 1)));
            }
        } else {
            Ref labels = Ref::adopt(PyObject_GetAttrString(table, "columns"));
            Ref listed = labels ? Ref::adopt(PySequence_List(labels.get())) : Ref();
            if (!listed) reraise_with_prefix(format("{}: ", arg));
            for (Py_ssize_t i = 0; i < PyList_Size(listed.get()); ++i)
                columns.emplace_back(Ref::borrow(PyList_GetItem(listed.get(), i)), Ref());  // fetched once named

        }
        std::vector<std::string> names;
        for (const auto& entry : columns) {
            names.push_back(label_text(entry.first.get(), arg, !pandas_like));
            if (!seen.insert(names.back()).second)
                raise(PyExc_ValueError, format("{} has two columns named '{}'", arg, names.back()));
        }
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (!columns[i].second) {
                columns[i].second = Ref::adopt(PyObject_GetItem(table, columns[i].first.get()));
                if (!columns[i].second) reraise_with_prefix(format("{}: ", arg));
            }
            ColumnSample sample = read_one(columns[i].second.get(), kind_of(names[i]), Label{"column", names[i]});
            sample.name = std::move(names[i]);
            out.push_back(std::move(sample));
        }
        return out;
    }
    if (!exports_arrow(table))
        raise(PyExc_TypeError, format("{} must be a pandas DataFrame, a dict of columns or an Arrow table, not {}", arg,
                                      type_name(table)));
    std::vector<ArrowColumn> columns;
    const Label table_label{"argument", arg};
    read_arrow_batches(table, table_label, [&](const ArrowSchema& s, const ArrowArray* batch) {
        if (!is_table_format(s)) table_label.fail(PyExc_TypeError, "is a column, not a table");
        if (s.n_children < 0 || (s.n_children > 0 && !s.children)) malformed(table_label);
        if (!batch) {
            for (std::int64_t j = 0; j < s.n_children; ++j) {
                if (!s.children[j]) malformed(table_label);
                std::string name = s.children[j]->name ? s.children[j]->name : "";
                const ColumnKind kind = kind_of(name);
                columns.emplace_back(kind, Label{"column", std::move(name)});
            }
            return;
        }
        if (batch->n_children != s.n_children || (s.n_children > 0 && !batch->children) || batch->length < 0 ||
            batch->offset < 0)
            malformed(table_label);
        for (std::int64_t j = 0; j < s.n_children; ++j) {
            if (!batch->children[j]) malformed(table_label);
            append_arrow(*s.children[j], *batch->children[j], batch->offset, batch->length,
                         columns[static_cast<std::size_t>(j)]);
        }
    });
    for (ArrowColumn& c : columns) add(c.label.name, c.finish());
    return out;
}

}  // namespace segmora::py
