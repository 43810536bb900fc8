#include "python/toolkit/arrow_columns.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "python/toolkit/arrays.hpp"
#include "text.hpp"

namespace segmora::py::arrow {

namespace {

[[noreturn]] void malformed(const char* arg) { raise(PyExc_ValueError, segmora::format("{}: malformed Arrow array", arg)); }

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const char* arg) {
    void* p = PyCapsule_GetPointer(capsule, name);
    if (!p) reraise_for_argument(arg);
    return static_cast<T*>(p);
}

}  // namespace

std::optional<ArrowColumn> ArrowColumn::import(PyObject* obj, const char* arg) {
    const bool stream = PyObject_HasAttrString(obj, "__arrow_c_stream__");
    if (!stream && !PyObject_HasAttrString(obj, "__arrow_c_array__")) return std::nullopt;
    arrow::HeldCapsule exported(
        Ref::adopt(PyObject_CallMethod(obj, stream ? "__arrow_c_stream__" : "__arrow_c_array__", nullptr)));
    if (!exported.ref) {
        if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        reraise_for_argument(arg);
    }
    ArrowColumn column;
    if (stream) {
        auto* s = capsule_pointer<ArrowArrayStream>(exported.ref.get(), "arrow_array_stream", arg);
        column.owned_schema_ = std::make_unique<Released<ArrowSchema>>();
        if (s->get_schema(s, &column.owned_schema_->value) != 0)
            raise(PyExc_ValueError, segmora::format("{}: cannot read the Arrow stream", arg));
        column.schema_ = &column.owned_schema_->value;
        for (;;) {
            column.owned_batches_.emplace_back();
            ArrowArray& batch = column.owned_batches_.back().value;
            if (s->get_next(s, &batch) != 0) raise(PyExc_ValueError, segmora::format("{}: cannot read the Arrow stream", arg));
            if (!batch.release) break;  // end of stream
            arrow::validate(*column.schema_, batch, arg);
            column.batches_.push_back(&batch);
        }
    } else {
        if (!PyTuple_Check(exported.ref.get()) || PyTuple_Size(exported.ref.get()) != 2)
            raise_argument(PyExc_TypeError, arg, "__arrow_c_array__ must return a pair of capsules");
        column.schema_ = capsule_pointer<ArrowSchema>(PyTuple_GetItem(exported.ref.get(), 0), "arrow_schema", arg);
        column.batches_.push_back(capsule_pointer<ArrowArray>(PyTuple_GetItem(exported.ref.get(), 1), "arrow_array", arg));
        arrow::validate(*column.schema_, *column.batches_.back(), arg);
    }
    column.exported_ = std::move(exported);
    return column;
}

std::size_t ArrowColumn::length() const noexcept {
    std::size_t n = 0;
    for (const ArrowArray* b : batches_) n += static_cast<std::size_t>(b->length);
    return n;
}

ValueKind value_kind(const char* format) noexcept {
    const std::string_view f = format ? format : "";
    if (f == "u" || f == "U" || f == "vu") return ValueKind::Text;
    if (f == "c" || f == "s" || f == "i" || f == "l") return ValueKind::Integer;
    if (f == "C" || f == "S" || f == "I" || f == "L") return ValueKind::Unsigned;
    if (f == "e" || f == "f" || f == "g") return ValueKind::Real;
    if (f == "b") return ValueKind::Boolean;
    return ValueKind::Other;
}

ArrowValues::ArrowValues(const char* format, const ArrowArray& a, const char* arg) : kind_(value_kind(format)) {
    const std::string_view f = format ? format : "";
    switch (f.empty() ? '\0' : f[0]) {
        case 'c': case 'C': width_ = 1; break;
        case 's': case 'S': case 'e': width_ = 2; break;
        case 'i': case 'I': case 'f': case 'u': width_ = 4; break;
        case 'l': case 'L': case 'g': case 'U': width_ = 8; break;
        default: break;
    }
    views_ = f == "vu";
    length_ = a.length;
    offset_ = a.offset;
    const std::int64_t expected_buffers = kind_ == ValueKind::Text && !views_ ? 3 : 2;
    if (kind_ == ValueKind::Other || a.length < 0 || a.offset < 0 ||
        a.length > std::numeric_limits<std::int64_t>::max() / 16 - a.offset || !a.buffers ||
        (views_ ? a.n_buffers < 3 : a.n_buffers != expected_buffers))
        malformed(arg);
    if (a.null_count != 0 && a.buffers[0]) validity_ = a.buffers[0];
    values_ = static_cast<const char*>(a.buffers[1]);
    const std::int64_t end = a.offset + a.length;
    if (kind_ != ValueKind::Text) {
        if (!values_ && a.length > 0) malformed(arg);
        return;
    }
    if (views_) {
        // Views longer than 12 bytes point into a data buffer; each must lie
        // within it (the last buffer holds the data buffers' sizes).
        const std::int64_t n_data = a.n_buffers - 3;
        const auto* sizes = static_cast<const char*>(a.buffers[a.n_buffers - 1]);
        if ((!values_ && a.length > 0) || (n_data > 0 && !sizes)) malformed(arg);
        view_buffers_.resize(static_cast<std::size_t>(n_data));
        for (std::int64_t b = 0; b < n_data; ++b) view_buffers_[static_cast<std::size_t>(b)] = static_cast<const char*>(a.buffers[2 + b]);
        for (std::int64_t i = 0; i < a.length; ++i) {
            const char* view = values_ + (a.offset + i) * 16;
            std::int32_t length, buffer, offset;
            std::memcpy(&length, view, 4);
            if (length >= 0 && length <= 12) continue;
            if (null(static_cast<std::size_t>(i))) continue;
            if (length < 0) malformed(arg);
            std::memcpy(&buffer, view + 8, 4);
            std::memcpy(&offset, view + 12, 4);
            std::int64_t size = 0;
            if (buffer >= 0 && buffer < n_data) std::memcpy(&size, sizes + 8 * static_cast<std::int64_t>(buffer), 8);
            if (buffer < 0 || buffer >= n_data || offset < 0 || !view_buffers_[static_cast<std::size_t>(buffer)] ||
                static_cast<std::int64_t>(offset) + length > size)
                malformed(arg);
        }
        return;
    }
    // Offsets: length + 1 of them from the batch's offset, never decreasing.
    data_ = static_cast<const char*>(a.buffers[2]);
    if (!values_) malformed(arg);
    auto offset_at = [&](std::int64_t i) -> std::int64_t {
        if (width_ == 8) return load<std::int64_t>(i);
        return load<std::int32_t>(i);
    };
    const std::int64_t first = offset_at(a.offset);
    bool decreasing = first < 0;
    if (width_ == 8) {
        for (std::int64_t i = a.offset; i < end; ++i) decreasing |= load<std::int64_t>(i + 1) < load<std::int64_t>(i);
    } else {
        for (std::int64_t i = a.offset; i < end; ++i) decreasing |= load<std::int32_t>(i + 1) < load<std::int32_t>(i);
    }
    if (decreasing || (!data_ && offset_at(end) > first)) malformed(arg);
}

std::string_view ArrowValues::text(std::size_t i) const noexcept {
    const std::int64_t at = offset_ + static_cast<std::int64_t>(i);
    if (views_) {
        const char* view = values_ + at * 16;
        std::int32_t length, buffer, offset;
        std::memcpy(&length, view, 4);
        if (length <= 12) return {view + 4, static_cast<std::size_t>(length)};
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        return {view_buffers_[static_cast<std::size_t>(buffer)] + offset, static_cast<std::size_t>(length)};
    }
    const std::int64_t begin = width_ == 8 ? load<std::int64_t>(at) : load<std::int32_t>(at);
    const std::int64_t end = width_ == 8 ? load<std::int64_t>(at + 1) : load<std::int32_t>(at + 1);
    if (begin == end) return {};
    return {data_ + begin, static_cast<std::size_t>(end - begin)};
}

std::int64_t ArrowValues::integer(std::size_t i) const noexcept {
    const std::int64_t at = offset_ + static_cast<std::int64_t>(i);
    if (kind_ == ValueKind::Boolean) return bit_set(values_, at) ? 1 : 0;
    const bool is_signed = kind_ == ValueKind::Integer;
    switch (width_) {
        case 1: return is_signed ? load<std::int8_t>(at) : load<std::uint8_t>(at);
        case 2: return is_signed ? load<std::int16_t>(at) : load<std::uint16_t>(at);
        case 4: return is_signed ? load<std::int32_t>(at) : load<std::uint32_t>(at);
        default: return load<std::int64_t>(at);
    }
}

double ArrowValues::real(std::size_t i) const noexcept {
    const std::int64_t at = offset_ + static_cast<std::int64_t>(i);
    switch (width_) {
        case 2: return half_to_double(load<std::uint16_t>(at));
        case 4: return static_cast<double>(load<float>(at));
        default: return load<double>(at);
    }
}

}  // namespace segmora::py::arrow
