#include "python/convert.hpp"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <limits>

#include "python/toolkit/arrays.hpp"
#include "python/toolkit/format.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace segmora::py {

namespace {

// Large copies fault in far fewer pages when the kernel may back them with huge
// pages; a hint only, ignored where unsupported.
void advise_huge_pages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    if (bytes < 4 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

// Fast path: a 2-D C-contiguous float64 buffer. Returns false (no error pending)
// when the object offers no such buffer.
bool extract_buffer(PyObject* obj, RowsInput& out) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not C-contiguous: the row path handles it
        return false;
    }
    const bool usable = view.ndim == 2 && view.itemsize == 8 && view.format &&
                        (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "<d") == 0 ||
                         std::strcmp(view.format, "=d") == 0);
    if (usable) {
        const auto rows = static_cast<std::size_t>(view.shape[0]);
        const auto cols = static_cast<std::size_t>(view.shape[1]);
        out.n_rows = rows;
        out.n_cols = rows == 0 ? 0 : cols;  // like an empty list of rows
        // One pass over the buffer (no zero fill before the copy), into memory
        // that may use huge pages.
        // Byte-wise copy: the buffer need not be aligned for double.
        out.values.reserve(rows * cols);
        advise_huge_pages(out.values.data(), rows * cols * sizeof(double));
        out.values.resize(rows * cols);
        if (rows * cols != 0) std::memcpy(out.values.data(), view.buf, rows * cols * sizeof(double));
    }
    PyBuffer_Release(&view);
    return usable;
}

// Any other array-like (strided or non-float64 buffers, __array__, frames):
// read through read_array; only 2-D arrays are matrices.
bool extract_array_like(PyObject* obj, RowsInput& out, const char* arg) {
    std::optional<NumericArray> array = read_array(obj, arg);
    if (!array) return false;
    if (array->shape().size() != 2) raise_not_2d(*array, arg);
    const std::size_t rows = array->shape()[0], cols = array->shape()[1];
    out.n_rows = rows;
    out.n_cols = rows == 0 ? 0 : cols;  // like an empty list of rows
    out.values.resize(rows * cols);
    array->copy_to(out.values.data());
    return true;
}

// Appends one row's numbers to `out`; returns the row's length. A refused
// number names its column (the caller adds the row).
std::size_t append_row(PyObject* row, engine::Buffer& out, const char* arg) {
    if (PyUnicode_Check(row)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    const bool is_list = PyList_Check(row);
    if (is_list || PyTuple_Check(row)) {
        const Py_ssize_t n = is_list ? PyList_Size(row) : PyTuple_Size(row);
        const std::size_t start = out.size();
        out.resize(start + static_cast<std::size_t>(n));
        double* dst = out.data() + start;
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* item = is_list ? PyList_GetItem(row, j) : PyTuple_GetItem(row, j);
            if (!item) throw PyErrorAlreadySet{};  // the row shrank under a callback
            if (PyFloat_CheckExact(item)) {
                dst[j] = PyFloat_AsDouble(item);
            } else {
                // Conversion may run Python code that changes the row: hold the item.
                Ref held = Ref::borrow(item);
                dst[j] = at_position(arg, "column", static_cast<std::size_t>(j),
                                     [&] { return From<double>::convert_slow(held.get(), arg); });
                dst = out.data() + start;
            }
        }
        return static_cast<std::size_t>(n);
    }
    if (PyObject_CheckBuffer(row) || PySequence_Check(row)) {
        SequenceItems items(row, arg);
        for (std::size_t j = 0; j < items.size(); ++j)
            out.push_back(at_position(arg, "column", j, [&] { return From<double>::convert(items[j], arg); }));
        return items.size();
    }
    raise_argument(PyExc_TypeError, arg, format("'{}' object cannot be converted to 'Sequence'", type_name(row)));
}

}  // namespace

RowsInput extract_rows(PyObject* obj, const char* arg) {
    RowsInput out;
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (extract_buffer(obj, out)) return out;
    if (extract_array_like(obj, out, arg)) return out;

    auto take_rows = [&](auto&& row_at, std::size_t n) {
        out.n_rows = n;
        for (std::size_t i = 0; i < n; ++i) {
            Ref row = row_at(i);  // held: a callback may drop it from the outer list
            const std::size_t len = at_position(arg, "row", i, [&] { return append_row(row.get(), out.values, arg); });
            if (i == 0) {
                out.n_cols = len;
                if (len != 0 && n <= (std::size_t{1} << 40) / len) out.values.reserve(n * len);
            }
        }
    };
    if (PyList_Check(obj)) {
        const auto n = static_cast<std::size_t>(PyList_Size(obj));
        take_rows(
            [&](std::size_t i) {
                PyObject* row = PyList_GetItem(obj, static_cast<Py_ssize_t>(i));
                if (!row) throw PyErrorAlreadySet{};  // the list shrank under a callback
                return Ref::borrow(row);
            },
            n);
        return out;
    }
    SequenceItems rows(obj, arg);
    take_rows([&](std::size_t i) { return Ref::borrow(rows[i]); }, rows.size());
    return out;
}

engine::Matrix to_matrix(RowsInput rows) {
    const std::size_t n = rows.n_rows, d = rows.n_cols;
    const char* kind = nullptr;
    const char* description = nullptr;
    const bool overflow = d != 0 && n > static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max()) / d;
    if (overflow) {
        kind = "Overflow";
        description = "arithmetic overflow";
    } else if (rows.values.size() > n * d) {
        kind = "IncompatibleShape";
        description = "incompatible shapes";
    } else if (rows.values.size() < n * d) {
        kind = "OutOfBounds";
        description = "out of bounds indexing";
    }
    if (kind) raise(PyExc_ValueError, format("ShapeError/{}: {}", kind, description));
    return engine::Matrix(n, d, std::move(rows.values));
}

engine::Matrix to_array2(PyObject* obj, const char* arg) { return to_matrix(extract_rows(obj, arg)); }

RowsArgument::RowsArgument(Args& a, const char* name) : held_(HeldRows::hold(a.raw(name))) {
    if (!held_) rows_ = a.get<RowsInput>(name);
}

engine::MatrixRef RowsArgument::matrix() {
    if (held_) return held_->view();
    owned_ = to_matrix(std::move(rows_));
    return owned_;
}

Ref byte_array(const void* data, std::size_t bytes) {
    return Ref::steal(PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
}

std::optional<HeldRows> HeldRows::hold(PyObject* obj) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || !PyObject_CheckBuffer(obj)) return std::nullopt;
    HeldRows out;
    if (PyObject_GetBuffer(obj, &out.buffer_, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not C-contiguous: the caller converts it
        return std::nullopt;
    }
    out.held_ = true;
    const Py_buffer& b = out.buffer_;
    const bool usable = b.ndim == 2 && b.itemsize == 8 && b.format &&
                        (std::strcmp(b.format, "d") == 0 || std::strcmp(b.format, "<d") == 0 ||
                         std::strcmp(b.format, "=d") == 0) &&
                        reinterpret_cast<std::uintptr_t>(b.buf) % alignof(double) == 0;
    if (!usable) return std::nullopt;  // released by the destructor
    const auto rows = static_cast<std::size_t>(b.shape[0]);
    out.view_ = engine::MatrixView(static_cast<const double*>(b.buf), rows,
                                   rows == 0 ? 0 : static_cast<std::size_t>(b.shape[1]));  // like an empty list of rows
    return out;
}

HeldRows::HeldRows(HeldRows&& other) noexcept : buffer_(other.buffer_), held_(other.held_), view_(other.view_) {
    other.held_ = false;
}

HeldRows::~HeldRows() {
    if (held_) PyBuffer_Release(&buffer_);
}

MatrixArgument::MatrixArgument(PyObject* obj, const char* arg) : held_(HeldRows::hold(obj)) {
    if (held_) {
        view_ = held_->view();
        return;
    }
    copy_ = to_array2(obj, arg);  // not C-contiguous float64: the matrix path reads it
    view_ = engine::MatrixView(copy_);
}

Ref to_py(const engine::Matrix& m) {
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.rows())));
    for (std::size_t i = 0; i < m.rows(); ++i) {
        Ref row = Ref::steal(PyList_New(static_cast<Py_ssize_t>(m.cols())));
        const auto values = m.row(i);
        for (std::size_t j = 0; j < values.size(); ++j)
            PyList_SetItem(row.get(), static_cast<Py_ssize_t>(j), to_py(values[j]).release());
        PyList_SetItem(rows.get(), static_cast<Py_ssize_t>(i), row.release());
    }
    return rows;
}

}  // namespace segmora::py
