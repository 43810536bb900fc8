// Python rows / buffers -> feature matrix, and a matrix back to a list of rows.
//
// A matrix argument is either a sequence of rows (each a sequence of numbers) or,
// as a fast path with the same result, an object exposing a numeric buffer (a
// NumPy array), copied once without per-element Python calls; RowsArgument
// reads a 2-D C-contiguous float64 buffer where it lies, without the copy.
// Extraction (type errors) and shaping (ValueError "ShapeError/{}: {}") are two
// steps so that callers convert every argument before shaping any matrix.
// Shaping: the column count comes from the first row; rows of unequal length
// are accepted when the total equals rows x columns and then re-cut.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "engine/matrix.hpp"
#include "python/toolkit/args.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py {

// Rows extracted from Python, not yet checked for shape.
struct RowsInput {
    engine::Buffer values;  // all rows concatenated
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;  // length of the first row
};

RowsInput extract_rows(PyObject* obj, const char* arg);

// The n_rows x n_cols matrix, or ValueError "ShapeError/{kind}: {description}".
engine::Matrix to_matrix(RowsInput rows);

// extract_rows then to_matrix, for a function whose only matrix argument comes
// last in conversion order; vec_to_array2 is the same conversion.
engine::Matrix to_array2(PyObject* obj, const char* arg);
inline engine::Matrix vec_to_array2(PyObject* obj, const char* arg) { return to_array2(obj, arg); }

// A 2-D C-contiguous, aligned float64 buffer (a NumPy array) read in place:
// holds the buffer until destroyed, so the view stays valid without the
// interpreter lock too (an exporter cannot resize or free a held buffer).
class HeldRows {
public:
    // Nothing (no error pending) when `obj` offers no such buffer; the caller
    // then converts it with to_array2.
    static std::optional<HeldRows> hold(PyObject* obj);
    HeldRows(HeldRows&& other) noexcept;
    HeldRows& operator=(HeldRows&&) = delete;
    ~HeldRows();
    engine::MatrixView view() const noexcept { return view_; }

private:
    HeldRows() = default;
    Py_buffer buffer_{};
    bool held_ = false;
    engine::MatrixView view_;
};

// A matrix argument converted in its place in the signature: a 2-D
// C-contiguous float64 buffer is held and read where it lies; anything else is
// extracted as rows then, and shaped by matrix(), which the caller calls once
// after converting the later arguments (extract_rows' and to_matrix' errors, in
// that order, as before).
class RowsArgument {
public:
    RowsArgument(Args& a, const char* name);
    engine::MatrixRef matrix();

private:
    std::optional<HeldRows> held_;
    RowsInput rows_;
    engine::Matrix owned_;
};

// A bytearray holding `bytes` bytes copied from `data`: NumPy wraps it
// (np.frombuffer) without converting element by element.
Ref byte_array(const void* data, std::size_t bytes);

// A matrix argument read in place when it exposes a 2-D C-contiguous float64
// buffer (a NumPy array), else converted as to_array2 converts it. The buffer
// is held until this object is destroyed.
class MatrixArgument {
public:
    MatrixArgument(PyObject* obj, const char* arg);
    MatrixArgument(const MatrixArgument&) = delete;
    MatrixArgument& operator=(const MatrixArgument&) = delete;

    const double* data() const noexcept { return view_.data; }
    std::size_t rows() const noexcept { return view_.rows; }
    std::size_t cols() const noexcept { return view_.cols; }
    engine::MatrixView view() const noexcept { return view_; }

private:
    std::optional<HeldRows> held_;
    engine::Matrix copy_;
    engine::MatrixView view_;
};

// A list of rows, each a list of floats.
Ref to_py(const engine::Matrix& m);

template <>
struct From<RowsInput> {
    static RowsInput convert(PyObject* obj, const char* arg) { return extract_rows(obj, arg); }
};

}  // namespace segmora::py
