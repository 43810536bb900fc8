// Dense row-major float64 matrix with row views.
//
// rows() x cols() doubles in one contiguous buffer. A 0 x 0 matrix is valid; so is
// n x 0 (rows with no features). Rows are exposed as spans; the buffer is never
// shared, and moves are cheap.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace segmora::engine {

// An allocator whose resize() leaves new doubles uninitialised, so a buffer
// about to be overwritten is not zero-filled first.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <class U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// Row-major storage of a matrix.
using Buffer = std::vector<double, DefaultInitAllocator<double>>;

class Matrix {
public:
    Matrix() = default;
    // rows x cols zeros.
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols, 0.0) {}
    // Takes ownership of a row-major buffer of exactly rows * cols values.
    Matrix(std::size_t rows, std::size_t cols, Buffer data)
        : rows_(rows), cols_(cols), data_(std::move(data)) {}
    // Copies a row-major list of exactly rows * cols values.
    Matrix(std::size_t rows, std::size_t cols, const std::vector<double>& data)
        : rows_(rows), cols_(cols), data_(data.begin(), data.end()) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return data_.size(); }
    bool empty() const noexcept { return rows_ == 0; }

    const double* data() const noexcept { return data_.data(); }
    double* data() noexcept { return data_.data(); }
    const Buffer& values() const noexcept { return data_; }

    std::span<const double> row(std::size_t i) const noexcept { return {data_.data() + i * cols_, cols_}; }
    std::span<double> row(std::size_t i) noexcept { return {data_.data() + i * cols_, cols_}; }

    double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * cols_ + j]; }
    double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * cols_ + j]; }

    friend bool operator==(const Matrix&, const Matrix&) = default;

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    Buffer data_;
};

// Row-major doubles owned elsewhere (a Matrix, a caller's buffer), read only.
// The owner must outlive the view and leave the values alone meanwhile.
struct MatrixView {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView() = default;
    MatrixView(const double* values, std::size_t n_rows, std::size_t n_cols) noexcept
        : data(values), rows(n_rows), cols(n_cols) {}
    MatrixView(const Matrix& m) noexcept : data(m.data()), rows(m.rows()), cols(m.cols()) {}  // NOLINT: implicit

    const double* row(std::size_t i) const noexcept { return data + i * cols; }
    Matrix copy() const { return Matrix(rows, cols, Buffer(data, data + rows * cols)); }
};

// Matrix's reading interface over row-major doubles owned elsewhere: a
// Matrix, or a caller's buffer through a MatrixView, read where they lie. The
// owner must outlive the reference and leave the values alone meanwhile.
class MatrixRef {
public:
    MatrixRef(const Matrix& m) noexcept : view_(m) {}  // NOLINT: implicit
    MatrixRef(MatrixView v) noexcept : view_(v) {}     // NOLINT: implicit

    std::size_t rows() const noexcept { return view_.rows; }
    std::size_t cols() const noexcept { return view_.cols; }
    std::size_t size() const noexcept { return view_.rows * view_.cols; }
    bool empty() const noexcept { return view_.rows == 0; }
    const double* data() const noexcept { return view_.data; }
    std::span<const double> row(std::size_t i) const noexcept { return {view_.data + i * view_.cols, view_.cols}; }
    double operator()(std::size_t i, std::size_t j) const noexcept { return view_.data[i * view_.cols + j]; }
    operator MatrixView() const noexcept { return view_; }  // NOLINT: implicit

private:
    MatrixView view_;
};

}  // namespace segmora::engine
