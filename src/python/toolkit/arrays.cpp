#include "python/toolkit/arrays.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "text.hpp"
#include "python/toolkit/arrow_c.hpp"

namespace segmora::py {

namespace {

enum class Kind { Bool, Signed, Unsigned, Float, Invalid };

struct ElementType {
    Kind kind = Kind::Invalid;
    std::size_t size = 0;
    bool swap = false;  // stored in the other byte order
};

// The element type of a struct-module format string with one item.
ElementType element_type(const char* format, Py_ssize_t itemsize) {
    ElementType t;
    if (!format) format = "B";
    bool big = false;
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    else if (*format == '>' || *format == '!') big = true, ++format;
    if (format[0] == '\0' || format[1] != '\0') return t;
    t.size = static_cast<std::size_t>(itemsize);
    t.swap = big && std::endian::native == std::endian::little;
    switch (*format) {
        case '?': t.kind = Kind::Bool; break;
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': t.kind = Kind::Signed; break;
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': t.kind = Kind::Unsigned; break;
        case 'e': case 'f': case 'd': t.kind = Kind::Float; break;
        case 'g': t.kind = t.size == sizeof(long double) ? Kind::Float : Kind::Invalid; break;
        default: break;
    }
    if (t.kind == Kind::Bool && t.size != 1) t.kind = Kind::Invalid;
    if ((t.kind == Kind::Signed || t.kind == Kind::Unsigned) && t.size != 1 && t.size != 2 && t.size != 4 && t.size != 8)
        t.kind = Kind::Invalid;
    return t;
}

template <class T>
T load(const char* p, bool swap) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, p, sizeof(T));
    if (swap) std::reverse(bytes, bytes + sizeof(T));
    T v;
    std::memcpy(&v, bytes, sizeof(T));
    return v;
}

double load_element(const char* p, const ElementType& t) {
    switch (t.kind) {
        case Kind::Bool: return *reinterpret_cast<const unsigned char*>(p) != 0 ? 1.0 : 0.0;
        case Kind::Signed:
            switch (t.size) {
                case 1: return static_cast<double>(load<std::int8_t>(p, false));
                case 2: return static_cast<double>(load<std::int16_t>(p, t.swap));
                case 4: return static_cast<double>(load<std::int32_t>(p, t.swap));
                default: return static_cast<double>(load<std::int64_t>(p, t.swap));
            }
        case Kind::Unsigned:
            switch (t.size) {
                case 1: return static_cast<double>(load<std::uint8_t>(p, false));
                case 2: return static_cast<double>(load<std::uint16_t>(p, t.swap));
                case 4: return static_cast<double>(load<std::uint32_t>(p, t.swap));
                default: return static_cast<double>(load<std::uint64_t>(p, t.swap));
            }
        case Kind::Float:
            switch (t.size) {
                case 2: return half_to_double(load<std::uint16_t>(p, t.swap));
                case 4: return static_cast<double>(load<float>(p, t.swap));
                case 8: return load<double>(p, t.swap);
                default: return static_cast<double>(load<long double>(p, t.swap));
            }
        case Kind::Invalid: break;
    }
    return 0.0;
}

// The dtype's text: obj.dtype when the object has one, else the buffer format.
std::string dtype_text(PyObject* obj, const char* format) {
    Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
    if (dtype) {
        Ref text = Ref::adopt(PyObject_Str(dtype.get()));
        if (text) {
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), nullptr)) return utf8;
        }
    }
    PyErr_Clear();
    return format ? format : "?";
}

[[noreturn]] void raise_non_numeric(const char* arg, std::size_t column, const std::string& dtype) {
    raise_argument(PyExc_TypeError, arg, segmora::format("column {} has non-numeric dtype {}", column, dtype));
}

// Object arrays: every item through float(), a failure naming its column.
std::vector<double> read_object_rows(PyObject* array, const std::vector<std::size_t>& shape, const char* arg) {
    std::vector<double> out;
    Ref list = Ref::steal(PyObject_CallMethod(array, "tolist", nullptr));
    auto take = [&](PyObject* item, std::size_t column) {
        if (PyUnicode_Check(item) || item == Py_None || !(PyFloat_Check(item) || PyLong_Check(item) || PyNumber_Check(item)))
            raise_non_numeric(arg, column, segmora::format("object (a {} value)", type_name(item)));
        out.push_back(From<double>::convert(item, arg));
    };
    if (shape.size() == 1) {
        SequenceItems items(list.get(), arg);
        for (std::size_t i = 0; i < items.size(); ++i) take(items[i], 0);
    } else if (shape.size() == 2) {
        SequenceItems rows(list.get(), arg);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            SequenceItems row(rows[i], arg);
            for (std::size_t j = 0; j < row.size(); ++j) take(row[j], j);
        }
    }
    return out;
}

// Whether `obj` carries NumPy-style dtypes (`dtype` or `dtypes` entries with a
// one-letter `kind`: pandas); such objects are read through __array__, which
// leaves a frame's index out. A frame's first non-numeric column is a TypeError.
bool numpy_dtyped(PyObject* obj, const char* arg) {
    auto kind_of = [](PyObject* dtype) -> std::optional<char> {
        Ref kind = Ref::adopt(PyObject_GetAttrString(dtype, "kind"));
        const char* k = kind && PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8AndSize(kind.get(), nullptr) : nullptr;
        PyErr_Clear();
        if (!k || k[0] == '\0' || k[1] != '\0') return std::nullopt;
        return k[0];
    };
    Ref dtypes = Ref::adopt(PyObject_GetAttrString(obj, "dtypes"));
    if (!dtypes) {
        PyErr_Clear();
        Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
        PyErr_Clear();
        return dtype && kind_of(dtype.get()).has_value();
    }
    if (kind_of(dtypes.get())) return true;  // a Series: `dtypes` is its one dtype
    Ref listed = Ref::adopt(PySequence_List(dtypes.get()));
    if (!listed) {
        PyErr_Clear();
        return false;
    }
    const Py_ssize_t n = PyList_Size(listed.get());
    for (Py_ssize_t j = 0; j < n; ++j) {
        PyObject* dtype = PyList_GetItem(listed.get(), j);
        const std::optional<char> k = kind_of(dtype);
        if (!k) return false;  // not NumPy-style dtypes
        if (std::strchr("biuf", *k)) continue;
        Ref text = Ref::adopt(PyObject_Str(dtype));
        const char* shown = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        PyErr_Clear();
        raise_non_numeric(arg, static_cast<std::size_t>(j), shown ? shown : "?");
    }
    return true;
}



// ---- Arrow C data interface (PyCapsule protocol) ----

using arrow::ArrowArray;
using arrow::ArrowArrayStream;
using arrow::ArrowSchema;
using arrow::bit_set;
using arrow::Released;

// The element type of a numeric Arrow format, or Invalid.
ElementType arrow_element(const char* format) {
    ElementType t;
    if (!format || format[0] == '\0' || format[1] != '\0') return t;
    switch (format[0]) {
        case 'b': t.kind = Kind::Bool; t.size = 0; break;  // bit-packed
        case 'c': t.kind = Kind::Signed; t.size = 1; break;
        case 'C': t.kind = Kind::Unsigned; t.size = 1; break;
        case 's': t.kind = Kind::Signed; t.size = 2; break;
        case 'S': t.kind = Kind::Unsigned; t.size = 2; break;
        case 'i': t.kind = Kind::Signed; t.size = 4; break;
        case 'I': t.kind = Kind::Unsigned; t.size = 4; break;
        case 'l': t.kind = Kind::Signed; t.size = 8; break;
        case 'L': t.kind = Kind::Unsigned; t.size = 8; break;
        case 'e': t.kind = Kind::Float; t.size = 2; break;
        case 'f': t.kind = Kind::Float; t.size = 4; break;
        case 'g': t.kind = Kind::Float; t.size = 8; break;
        default: break;
    }
    return t;
}

// Column `column` of `length` rows starting at `start` into dst[i * stride]; nulls read as NaN.
void read_arrow_column(const ArrowArray& a, const ElementType& t, std::int64_t start, std::int64_t length, double* dst,
                       std::size_t stride, const char* arg) {
    if (a.n_buffers < 2 || !a.buffers || a.length < start + length || start < 0)
        raise_argument(PyExc_ValueError, arg, "malformed Arrow array");
    const void* validity = a.null_count != 0 ? a.buffers[0] : nullptr;
    const auto* data = static_cast<const char*>(a.buffers[1]);
    if (!data && length > 0) raise_argument(PyExc_ValueError, arg, "malformed Arrow array");
    for (std::int64_t i = 0; i < length; ++i) {
        const std::int64_t at = a.offset + start + i;
        double v;
        if (validity && !bit_set(validity, at)) v = std::numeric_limits<double>::quiet_NaN();
        else if (t.size == 0) v = bit_set(data, at) ? 1.0 : 0.0;
        else v = load_element(data + at * static_cast<std::int64_t>(t.size), t);
        dst[static_cast<std::size_t>(i) * stride] = v;
    }
}

// Appends one batch (a struct array of columns, or one column) to `out`.
void read_arrow_batch(const ArrowSchema& schema, const ArrowArray& batch, std::vector<double>& out,
                      std::vector<std::size_t>& shape, const char* arg) {
    arrow::validate(schema, batch, arg);
    const bool table = schema.format && std::strcmp(schema.format, "+s") == 0;
    if (!table) {
        if (schema.dictionary) raise_non_numeric(arg, 0, "(Arrow dictionary-encoded, categorical)");
        const ElementType t = arrow_element(schema.format);
        if (t.kind == Kind::Invalid)
            raise_non_numeric(arg, 0, segmora::format("(Arrow format '{}')", schema.format ? schema.format : ""));
        const std::size_t base = out.size();
        out.resize(base + static_cast<std::size_t>(batch.length));
        read_arrow_column(batch, t, 0, batch.length, out.data() + base, 1, arg);
        shape = {out.size()};
        return;
    }
    const auto cols = static_cast<std::size_t>(schema.n_children);
    if (batch.n_children != schema.n_children) raise_argument(PyExc_ValueError, arg, "malformed Arrow array");
    std::vector<ElementType> types(cols);
    for (std::size_t j = 0; j < cols; ++j) {
        if (schema.children[j]->dictionary)  // its values are category codes, not numbers
            raise_non_numeric(arg, j, "(Arrow dictionary-encoded, categorical)");
        types[j] = arrow_element(schema.children[j]->format);
        if (types[j].kind == Kind::Invalid) {
            const char* f = schema.children[j]->format;
            raise_non_numeric(arg, j, segmora::format("(Arrow format '{}')", f ? f : ""));
        }
    }
    const auto rows = static_cast<std::size_t>(batch.length);
    const std::size_t base = out.size();
    if (cols != 0 && rows > (std::numeric_limits<std::size_t>::max() / 8 - base) / cols)
        raise(PyExc_ValueError, segmora::format("{} is too large", arg));
    out.resize(base + rows * cols);
    for (std::size_t j = 0; j < cols; ++j)
        read_arrow_column(*batch.children[j], types[j], batch.offset, batch.length, out.data() + base + j, cols, arg);
    shape = {shape.empty() ? rows : shape[0] + rows, cols};
}

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const char* arg) {
    void* p = PyCapsule_GetPointer(capsule, name);
    if (!p) reraise_for_argument(arg);
    return static_cast<T*>(p);
}

// The values of an object exposing __arrow_c_stream__ or __arrow_c_array__; nullopt when it has neither.
std::optional<std::pair<std::vector<double>, std::vector<std::size_t>>> read_arrow(PyObject* obj, const char* arg) {
    std::vector<double> values;
    std::vector<std::size_t> shape;
    if (PyObject_HasAttrString(obj, "__arrow_c_stream__")) {
        arrow::HeldCapsule capsule(Ref::adopt(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr)));
        if (!capsule.ref) reraise_for_argument(arg);
        auto* stream = capsule_pointer<ArrowArrayStream>(capsule.ref.get(), "arrow_array_stream", arg);
        Released<ArrowSchema> schema;
        if (stream->get_schema(stream, &schema.value) != 0) raise_argument(PyExc_ValueError, arg, "cannot read the Arrow stream's schema");
        const bool table = schema.value.format && std::strcmp(schema.value.format, "+s") == 0;
        shape = table ? std::vector<std::size_t>{0, static_cast<std::size_t>(schema.value.n_children)} : std::vector<std::size_t>{0};
        for (;;) {
            Released<ArrowArray> batch;
            if (stream->get_next(stream, &batch.value) != 0) raise_argument(PyExc_ValueError, arg, "cannot read the Arrow stream");
            if (!batch.value.release) break;  // end of stream
            read_arrow_batch(schema.value, batch.value, values, shape, arg);
        }
        return std::pair{std::move(values), std::move(shape)};
    }
    if (PyObject_HasAttrString(obj, "__arrow_c_array__")) {
        arrow::HeldCapsule pair(Ref::adopt(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr)));
        if (!pair.ref) reraise_for_argument(arg);
        if (!PyTuple_Check(pair.ref.get()) || PyTuple_Size(pair.ref.get()) != 2)
            raise_argument(PyExc_TypeError, arg, "__arrow_c_array__ must return a pair of capsules");
        auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GetItem(pair.ref.get(), 0), "arrow_schema", arg);
        auto* array = capsule_pointer<ArrowArray>(PyTuple_GetItem(pair.ref.get(), 1), "arrow_array", arg);
        read_arrow_batch(*schema, *array, values, shape, arg);
        return std::pair{std::move(values), std::move(shape)};
    }
    return std::nullopt;
}

}  // namespace

NumericArray::NumericArray(NumericArray&& o) noexcept
    : owner_(std::move(o.owner_)), view_(o.view_), held_(std::exchange(o.held_, false)), shape_(std::move(o.shape_)),
      values_(std::move(o.values_)), read_(o.read_) {}

NumericArray::~NumericArray() {
    if (held_) PyBuffer_Release(&view_);
}

std::size_t NumericArray::size() const noexcept {
    std::size_t n = 1;
    for (const std::size_t d : shape_) n *= d;
    return n;
}

void NumericArray::copy_to(double* dst) const {
    if (read_) {
        if (!values_.empty()) std::memcpy(dst, values_.data(), values_.size() * sizeof(double));
        return;
    }
    const Py_buffer& b = view_;
    const ElementType t = element_type(b.format, b.itemsize);
    const char* base = static_cast<const char*>(b.buf);
    const std::size_t rows = b.ndim == 0 ? 1 : shape_[0];
    const std::size_t cols = b.ndim == 2 ? shape_[1] : 1;
    const Py_ssize_t s0 = b.ndim >= 1 ? (b.strides ? b.strides[0] : b.itemsize * static_cast<Py_ssize_t>(cols)) : 0;
    const Py_ssize_t s1 = b.ndim == 2 ? (b.strides ? b.strides[1] : b.itemsize) : 0;
    if (t.kind == Kind::Float && t.size == 8 && !t.swap) {
        if (s1 == 8 && (rows <= 1 || s0 == static_cast<Py_ssize_t>(8 * cols))) {
            if (rows != 0 && cols != 0) std::memcpy(dst, base, rows * cols * sizeof(double));  // contiguous: one copy
            return;
        }
        if (b.ndim <= 1 && (s0 == 8 || rows <= 1)) {
            if (rows) std::memcpy(dst, base, rows * sizeof(double));
            return;
        }
        for (std::size_t i = 0; i < rows; ++i)
            for (std::size_t j = 0; j < cols; ++j)
                std::memcpy(dst++, base + static_cast<Py_ssize_t>(i) * s0 + static_cast<Py_ssize_t>(j) * s1, sizeof(double));
        return;
    }
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j)
            *dst++ = load_element(base + static_cast<Py_ssize_t>(i) * s0 + static_cast<Py_ssize_t>(j) * s1, t);
}

std::optional<NumericArray> open_buffer(PyObject* source, PyObject* obj, const char* arg) {
    NumericArray a;
    if (PyObject_GetBuffer(obj, &a.view_, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return std::nullopt;
    }
    a.held_ = true;
    a.owner_ = Ref::borrow(obj);
    const Py_buffer& b = a.view_;
    a.shape_.resize(static_cast<std::size_t>(b.ndim));
    std::size_t count = 1;
    for (int d = 0; d < b.ndim; ++d) {
        a.shape_[d] = static_cast<std::size_t>(b.shape[d]);
        if (a.shape_[d] != 0 && count > std::numeric_limits<std::size_t>::max() / 8 / a.shape_[d])
            raise(PyExc_ValueError, segmora::format("{} is too large", arg));
        count *= a.shape_[d];
    }
    const char* format = b.format ? b.format : "B";
    if (b.ndim > 2) return a;  // the rank is the caller's error
    if (std::strcmp(format, "O") == 0) {
        a.values_ = read_object_rows(obj, a.shape_, arg);
        a.read_ = true;
        return a;
    }
    if (element_type(format, b.itemsize).kind == Kind::Invalid) raise_non_numeric(arg, 0, dtype_text(source, format));
    return a;
}

std::optional<NumericArray> read_array(PyObject* obj, const char* arg) {
    if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj)) return std::nullopt;
    if (PyObject_CheckBuffer(obj)) {
        if (std::optional<NumericArray> a = open_buffer(obj, obj, arg)) return a;
    }
    const bool numpy_like = numpy_dtyped(obj, arg);
    if (!numpy_like) {
        if (auto arrow = read_arrow(obj, arg)) {
            NumericArray a;
            a.values_ = std::move(arrow->first);
            a.shape_ = std::move(arrow->second);
            a.read_ = true;
            return a;
        }
    }
    Ref method = Ref::adopt(PyObject_GetAttrString(obj, "__array__"));
    if (!method) {
        PyErr_Clear();
        return std::nullopt;
    }
    Ref array = Ref::adopt(PyObject_CallNoArgs(method.get()));
    if (!array) reraise_for_argument(arg);
    if (!PyObject_CheckBuffer(array.get())) return std::nullopt;
    return open_buffer(array.get(), array.get(), arg);
}

bool copy_numeric_vector(PyObject* obj, std::vector<double>& out, const char* arg) {
    std::optional<NumericArray> array = read_array(obj, arg);
    if (!array || array->shape().size() != 1) return false;
    out.resize(array->size());
    array->copy_to(out.data());
    return true;
}

Ref positional(PyObject* obj, const char* arg) {
    if (PyList_Check(obj) || PyTuple_Check(obj) || PyUnicode_Check(obj) || PyObject_CheckBuffer(obj)) return Ref::borrow(obj);
    Ref method = Ref::adopt(PyObject_GetAttrString(obj, "__array__"));
    if (!method) {
        PyErr_Clear();
        return Ref::borrow(obj);
    }
    Ref array = Ref::adopt(PyObject_CallNoArgs(method.get()));
    if (!array) reraise_for_argument(arg);
    return array;
}

bool arrow_numeric_format(const char* format) { return arrow_element(format).kind != Kind::Invalid; }

void append_arrow_numbers(const char* format, const arrow::ArrowArray& array, std::int64_t start, std::int64_t length,
                          std::vector<double>& out, const char* arg) {
    if (length < 0) raise_argument(PyExc_ValueError, arg, "malformed Arrow array");
    const std::size_t base = out.size();
    out.resize(base + static_cast<std::size_t>(length));
    read_arrow_column(array, arrow_element(format), start, length, out.data() + base, 1, arg);
}

void raise_not_2d(const NumericArray& array, const char* arg) {
    std::string got;
    if (array.shape().size() == 1) got = segmora::format("a 1-D array of {} values", array.shape()[0]);
    else if (array.shape().empty()) got = "a 0-d value";
    else got = segmora::format("a {}-D array", array.shape().size());
    raise(PyExc_ValueError, segmora::format("{} must be 2-D (one row of features per record), got {}", arg, got));
}

double half_to_double(std::uint16_t h) noexcept {
    const int exponent = (h >> 10) & 0x1f;
    const double mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) v = std::ldexp(mantissa, -24);
    else if (exponent == 31) v = mantissa == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    else v = std::ldexp(mantissa + 1024.0, exponent - 25);
    return (h & 0x8000) ? -v : v;
}

}  // namespace segmora::py
