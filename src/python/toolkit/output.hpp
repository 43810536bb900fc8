// Result columns ready for pandas.DataFrame.
//
// Numeric columns are array.array, wrapped without a copy as NumPy arrays when
// the caller's process has NumPy loaded (pandas then takes them as they are).
// The module never imports NumPy or pandas itself.
#pragma once

#include <cstdint>
#include <vector>

#include "python/toolkit/ref.hpp"

namespace segmora::py {

// A module the caller's process has already imported (borrowed), or null.
PyObject* loaded_module(const char* name);

class ColumnMaker {
public:
    ColumnMaker();

    Ref floats(const std::vector<double>& v) const { return make("d", "float64", v.data(), v.size() * sizeof(double)); }

    bool numpy() const noexcept { return static_cast<bool>(frombuffer_); }

    // Unsigned counts, scores or rows as int64.
    template <class T>
    Ref int64s(const std::vector<T>& v) const {
        const std::vector<std::int64_t> wide(v.begin(), v.end());
        return make("q", "int64", wide.data(), wide.size() * sizeof(std::int64_t));
    }

private:
    Ref make(const char* code, const char* dtype, const void* data, std::size_t bytes) const;

    Ref array_type_;
    Ref frombuffer_;
};

}  // namespace segmora::py
