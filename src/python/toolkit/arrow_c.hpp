// The Arrow C data interface structs (ArrowSchema, ArrowArray,
// ArrowArrayStream), as the interface defines them, for reading objects that
// export __arrow_c_array__ / __arrow_c_stream__ capsules without pyarrow.
// Released<T> releases a struct this code received and owns.
#pragma once

#include <cstdint>

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

template <class T>
struct Released {
    T value{};
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() {
        if (value.release) value.release(&value);
    }
};

// Whether bit `i` of a validity or boolean bitmap is set.
inline bool bit_set(const void* bitmap, std::int64_t i) {
    return (static_cast<const unsigned char*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

}  // namespace segmora::py::arrow
