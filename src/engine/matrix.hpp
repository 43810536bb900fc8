// Dense row-major float64 matrix with row views.
//
// rows() x cols() doubles in one contiguous buffer. A 0 x 0 matrix is valid; so is
// n x 0 (rows with no features). Rows are exposed as spans; the buffer is never
// shared, and moves are cheap.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace segmora::engine {

class Matrix {
public:
    Matrix() = default;
    // rows x cols zeros.
    Matrix(std::size_t rows, std::size_t cols) : rows_(rows), cols_(cols), data_(rows * cols, 0.0) {}
    // Takes ownership of a row-major buffer of exactly rows * cols values.
    Matrix(std::size_t rows, std::size_t cols, std::vector<double> data)
        : rows_(rows), cols_(cols), data_(std::move(data)) {}

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t size() const noexcept { return data_.size(); }
    bool empty() const noexcept { return rows_ == 0; }

    const double* data() const noexcept { return data_.data(); }
    double* data() noexcept { return data_.data(); }
    const std::vector<double>& values() const noexcept { return data_; }

    std::span<const double> row(std::size_t i) const noexcept { return {data_.data() + i * cols_, cols_}; }
    std::span<double> row(std::size_t i) noexcept { return {data_.data() + i * cols_, cols_}; }

    double operator()(std::size_t i, std::size_t j) const noexcept { return data_[i * cols_ + j]; }
    double& operator()(std::size_t i, std::size_t j) noexcept { return data_[i * cols_ + j]; }

    friend bool operator==(const Matrix&, const Matrix&) = default;

private:
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::vector<double> data_;
};

}  // namespace segmora::engine
