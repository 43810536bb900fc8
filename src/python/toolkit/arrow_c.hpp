// The Arrow C data interface structs (ArrowSchema, ArrowArray,
// ArrowArrayStream), as the interface defines them, for reading objects that
// export __arrow_c_array__ / __arrow_c_stream__ capsules without pyarrow.
// Released<T> releases a struct this code received and owns.
//
// A producer is a stranger: validate() checks an imported array against its
// schema before anything reads it. The interface carries no buffer sizes
// (view types aside), so it checks everything it does carry: lengths, offsets
// and null counts not negative nor past each other, the buffer count the
// format needs, data buffers present (a validity buffer may be absent only
// when no value is null), variable-size offsets starting at 0 or more and
// never decreasing, string-view lengths, buffer indexes and offsets within
// the variadic buffers' recorded sizes, child counts and child lengths
// (recursively, 64 levels at most), and a dictionary where the schema has one.
// A violation is ValueError "{arg}: malformed Arrow array: {rule}".
//
// Release callbacks and capsule destructors belong to the producer and may
// run Python code: they run with any pending Python error set aside, so an
// error being raised survives them unchanged.
#pragma once

#include <cstdint>
#include <utility>

#include "python/toolkit/ref.hpp"

namespace segmora::py::arrow {

struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema*);
    int (*get_next)(ArrowArrayStream*, ArrowArray*);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Runs `drop` with any pending Python error set aside and put back afterwards
// (an error `drop` itself leaves is discarded).
template <class Drop>
void with_error_kept(Drop&& drop) noexcept {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    drop();
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
}

template <class T>
struct Released {
    T value{};
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        if (value.release) with_error_kept([&] { value.release(&value); });
    }
};

// A producer's capsule, dropped like a release callback.
struct HeldCapsule {
    Ref ref;
    HeldCapsule() = default;
    explicit HeldCapsule(Ref r) noexcept : ref(std::move(r)) {}
    HeldCapsule(HeldCapsule&&) noexcept = default;
    HeldCapsule& operator=(HeldCapsule&& other) noexcept {
        with_error_kept([&] { ref = std::move(other.ref); });
        return *this;
    }
    ~HeldCapsule() {
        with_error_kept([&] { ref = Ref(); });
    }
};

// ValueError "{arg}: malformed Arrow array: {rule}" unless `array` is laid out
// as `schema` says (see above).
void validate(const ArrowSchema& schema, const ArrowArray& array, const char* arg);

// Whether bit `i` of a validity or boolean bitmap is set.
inline bool bit_set(const void* bitmap, std::int64_t i) {
    return (static_cast<const unsigned char*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

}  // namespace segmora::py::arrow
