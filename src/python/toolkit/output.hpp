// Result columns ready for pandas.DataFrame.
//
// Numeric columns are NumPy arrays over one copy of the values when the
// caller's process has NumPy loaded (pandas then takes them as they are), else
// array.array. The module never imports NumPy or pandas itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "python/toolkit/ref.hpp"

namespace segmora::py {

// A module the caller's process has already imported (borrowed), or null.
PyObject* loaded_module(const char* name);

// A dict of result columns, filled key by key in column order.
class ColumnDict {
public:
    ColumnDict() : dict_(Ref::steal(PyDict_New())) {}
    void put(const char* key, const Ref& value) const {
        if (PyDict_SetItemString(dict_.get(), key, value.get()) < 0) throw PyErrorAlreadySet{};
    }
    const Ref& dict() const noexcept { return dict_; }

private:
    Ref dict_;
};

class OutputColumns {
public:
    OutputColumns();
    Ref floats(std::span<const double> v) const;
    // Counts, scores or row numbers as int64.
    template <class T>
    Ref int64s(std::span<const T> v) const {
        const std::vector<std::int64_t> wide(v.begin(), v.end());
        return make("q", "int64", wide.data(), wide.size() * sizeof(std::int64_t));
    }
    template <class T>
    Ref int64s(const std::vector<T>& v) const {
        return int64s(std::span<const T>(v));
    }
    // n int64 values written by fill(int64_t* out) straight into the column.
    template <class Fill>
    Ref int64s(std::size_t n, Fill&& fill) const {
        Ref raw = fresh(n * sizeof(std::int64_t));
        fill(reinterpret_cast<std::int64_t*>(bytes_of(raw.get())));
        return wrap("q", "int64", raw.get());
    }
    // One bool per flag (0 or 1): a NumPy bool array, else a list of bool.
    Ref bools(std::span<const std::uint8_t> flags) const;
    bool numpy() const noexcept { return static_cast<bool>(frombuffer_); }

private:
    Ref make(const char* code, const char* dtype, const void* data, std::size_t bytes) const;
    Ref fresh(std::size_t bytes) const;  // an uninitialised bytearray (NumPy) or bytes object
    static char* bytes_of(PyObject* raw);
    Ref wrap(const char* code, const char* dtype, PyObject* raw) const;
    Ref array_type_;
    Ref frombuffer_;
};

}  // namespace segmora::py
