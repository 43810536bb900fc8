// Result columns of the columnar entry points, ready for pandas.DataFrame.
//
// Numbers come as NumPy arrays when the caller's process has NumPy loaded (the
// module never imports NumPy or pandas itself), else as array.array; boolean
// masks as NumPy bool arrays, else as lists of bool. Every column is one fresh
// copy of the values. taken(obj, rows) returns the items of an id column at
// the given rows in the column's own kind where it has one: a list for a list
// or tuple, a pandas column's array (keeping its dtype), a NumPy array, an
// Arrow array or a polars Series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python/toolkit/values.hpp"

namespace segmora::py {

// A module the caller's process has already imported (borrowed), or null.
PyObject* loaded_module(const char* name);

class ColumnMaker {
public:
    ColumnMaker();

    bool numpy() const noexcept { return static_cast<bool>(frombuffer_); }

    Ref floats(std::span<const double> v) const;
    // Integers (counts, scores, rows) as int64.
    template <class T>
    Ref int64s(const std::vector<T>& v) const {
        return int64s(v.size(), [&](std::int64_t* out) {
            for (std::size_t i = 0; i < v.size(); ++i) out[i] = static_cast<std::int64_t>(v[i]);
        });
    }
    // n int64 values written by fill(int64_t* out) straight into the column.
    template <class Fill>
    Ref int64s(std::size_t n, Fill&& fill) const {
        Column c = make("q", "int64", n * sizeof(std::int64_t));
        fill(reinterpret_cast<std::int64_t*>(c.bytes));
        return finish(c);
    }
    // One bool per flag (0 or 1).
    Ref bools(std::span<const std::uint8_t> flags) const;

private:
    struct Column {
        Ref raw;  // a fresh bytearray (NumPy) or bytes object, written before wrapping
        char* bytes;
        const char* code;
        const char* dtype;
    };
    Column make(const char* code, const char* dtype, std::size_t bytes) const;
    Ref finish(const Column& c) const;

    Ref array_type_;
    Ref frombuffer_;
};

// The items of an id column at `rows`, in the column's own kind (see above).
Ref taken(PyObject* obj, const std::vector<std::size_t>& rows, const ColumnMaker& columns, const char* arg);

}  // namespace segmora::py
