// Columns read through the Arrow C data interface, and the values of the
// formats the columnar entry points read.
//
// ArrowColumn::import(obj, arg) takes obj.__arrow_c_stream__() or else
// obj.__arrow_c_array__() and keeps the schema and every batch alive as long as
// it lives; nullopt when obj exports neither, or when its producer needs a
// library that is missing (ImportError). ArrowValues is one batch of one of
// these formats, its layout checked before any value is read: text (utf8,
// large utf8, utf8 views), integers of 8 to 64 bits, half, single and double
// floats, and booleans. A batch whose buffers do not fit its format is a
// ValueError "{arg}: malformed Arrow array"; an unreadable format is reported
// by the caller, which knows what it expected.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "python/toolkit/arrow_c.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py::arrow {

class ArrowColumn {
public:
    static std::optional<ArrowColumn> import(PyObject* obj, const char* arg);

    const ArrowSchema& schema() const noexcept { return *schema_; }
    std::size_t batch_count() const noexcept { return batches_.size(); }
    const ArrowArray& batch(std::size_t i) const noexcept { return *batches_[i]; }
    std::size_t length() const noexcept;  // rows over every batch

private:
    arrow::HeldCapsule exported_;                   // the capsules (they own an array's schema and data)
    std::unique_ptr<Released<ArrowSchema>> owned_schema_;  // a stream's schema
    std::deque<Released<ArrowArray>> owned_batches_;       // a stream's batches
    const ArrowSchema* schema_ = nullptr;
    std::vector<const ArrowArray*> batches_;
};

enum class ValueKind { Text, Integer, Unsigned, Real, Boolean, Other };

// The kind of a format string ("u", "l", "g", ...); Other for anything else.
ValueKind value_kind(const char* format) noexcept;

class ArrowValues {
public:
    // Checks `array` against `format` (of kind other than Other).
    ArrowValues(const char* format, const ArrowArray& array, const char* arg);

    ValueKind kind() const noexcept { return kind_; }
    std::size_t size() const noexcept { return static_cast<std::size_t>(length_); }
    bool has_nulls() const noexcept { return validity_ != nullptr; }
    bool null(std::size_t i) const noexcept { return validity_ && !bit_set(validity_, offset_ + static_cast<std::int64_t>(i)); }

    // Value i (not null) of a Text, Integer/Unsigned/Boolean or Real batch.
    std::string_view text(std::size_t i) const noexcept;
    std::int64_t integer(std::size_t i) const noexcept;  // unsigned 64-bit values keep their bits
    double real(std::size_t i) const noexcept;

    // The raw layout of a Text batch, for reading in place: offsets (4 or 8
    // bytes each, the batch's offset applied) and their data, or 16-byte
    // views with their data buffers.
    bool views() const noexcept { return views_; }
    const char* data() const noexcept { return data_; }
    const void* offsets() const noexcept { return values_ + offset_ * width_; }
    bool wide_offsets() const noexcept { return width_ == 8; }
    const char* view_bytes() const noexcept { return values_ + offset_ * 16; }
    const std::vector<const char*>& view_buffers() const noexcept { return view_buffers_; }
    // The values of a number batch, its offset applied: width() bytes each.
    const char* values() const noexcept { return values_ + offset_ * width_; }
    int width() const noexcept { return width_; }

private:
    template <class T>
    T load(std::int64_t at) const noexcept {
        T v;
        std::memcpy(&v, values_ + at * static_cast<std::int64_t>(sizeof(T)), sizeof(T));
        return v;
    }

    ValueKind kind_;
    int width_ = 0;  // bytes per value (offset width for utf8)
    bool views_ = false;
    std::int64_t length_ = 0;
    std::int64_t offset_ = 0;
    const void* validity_ = nullptr;
    const char* values_ = nullptr;  // values, offsets or views
    const char* data_ = nullptr;    // utf8 data
    std::vector<const char*> view_buffers_;  // utf8 views' data buffers
};

}  // namespace segmora::py::arrow
