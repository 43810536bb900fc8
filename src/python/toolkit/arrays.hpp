// Numeric array-likes read into float64: the buffer protocol of any numeric
// format, byte order and strides, and objects exposing __array__ (pandas
// DataFrames and Series, anything NumPy-like).
//
// read_array(obj, arg) returns nullopt (no error pending) for lists, tuples,
// str and objects that offer neither interface, so callers keep their sequence
// path for those. Otherwise it returns the values in row-major (C) order with
// the shape. Booleans read as 0 and 1, integers and floats (half, single,
// double, long double) as the nearest double. A non-numeric column is a
// TypeError naming `arg`, the column index and its dtype; a frame-like object
// (one with `dtypes`) is checked column by column before any value is read.
// Every element is copied with memcpy, so unaligned buffers are fine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "python/toolkit/arrow_c.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py {

// An IEEE 754 half-precision value (its bits) as a double, exactly.
double half_to_double(std::uint16_t h) noexcept;

// An open numeric array: holds its buffer until destroyed.
class NumericArray {
public:
    NumericArray() = default;
    NumericArray(NumericArray&&) noexcept;
    NumericArray& operator=(NumericArray&&) = delete;
    ~NumericArray();

    // One entry per dimension (empty for a 0-d value).
    const std::vector<std::size_t>& shape() const noexcept { return shape_; }
    std::size_t size() const noexcept;
    // Writes size() values in row-major order (rank 0 to 2 only).
    void copy_to(double* dst) const;

private:
    friend std::optional<NumericArray> read_array(PyObject* obj, const char* arg);

// The buffer of `obj` itself (`source` names the dtype in errors); nullopt when it has none.
std::optional<NumericArray> open_buffer(PyObject* source, PyObject* obj, const char* arg);
    friend std::optional<NumericArray> open_buffer(PyObject* source, PyObject* obj, const char* arg);
    Ref owner_;             // the object whose buffer is held
    Py_buffer view_{};
    bool held_ = false;
    std::vector<std::size_t> shape_;
    std::vector<double> values_;  // object arrays, read item by item
    bool read_ = false;
};

std::optional<NumericArray> read_array(PyObject* obj, const char* arg);

// Whether `format` is an Arrow format read as numbers (integers, floats, booleans).
bool arrow_numeric_format(const char* format);
// Appends rows [start, start + length) of an array of such a format to `out`;
// nulls read as NaN. A malformed array is a ValueError naming `arg`.
void append_arrow_numbers(const char* format, const arrow::ArrowArray& array, std::int64_t start, std::int64_t length,
                          std::vector<double>& out, const char* arg);

// "{arg} must be 2-D (one row of features per record), got a 1-D array of N values"
// (or "a 0-d array", "a 3-D array"): the ValueError of a matrix argument of another rank.
[[noreturn]] void raise_not_2d(const NumericArray& array, const char* arg);

}  // namespace segmora::py
