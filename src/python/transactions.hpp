// Transaction columns: the customer ids, timestamps, amounts and reference
// instant that the columnar entry points (rfm_from_columns and its kin) read,
// grouped by customer for the core, with the skipped rows counted and reported.
//
// Reading (each step names its argument in its errors, in call order):
//   - read_ids: all str or all int ids, as a list or tuple, a NumPy array, a
//     pandas Series or Index (Arrow-backed included), an Arrow array, chunked
//     array or stream (__arrow_c_array__ / __arrow_c_stream__, polars too).
//     Integral floats (pandas makes an id column float when it holds NaN) are
//     ints. A missing id (None, NaN, NA, an Arrow null) is a ValueError
//     "{arg} has a missing value at index {i}" at its own index; mixed kinds
//     are a TypeError. Arrow strings are read in place.
//   - read_timestamps: datetime64 of any unit (tz-aware pandas data in UTC,
//     naive data read as UTC), int epoch seconds (NumPy, lists, nullable
//     pandas Int64 / int64[pyarrow], Arrow integer, timestamp and date
//     arrays), and item by item: RFC 3339 text, datetime (aware: to UTC;
//     naive: as UTC), date (midnight UTC), NumPy datetime64 and integer
//     scalars. None, NaN, NaT, NA and Arrow nulls are missing. A text that is
//     not an RFC 3339 date-time with a zone is unreadable. Other items are a
//     TypeError; coarse units beyond 64-bit seconds an OverflowError.
//     datetime64 and int64 columns are read in place where their layout allows.
//   - read_amounts (optional): floats, read in place from an aligned float64
//     buffer, else converted.
//   - read_as_of: None (now, read from the clock; no cut-off) or an instant:
//     RFC 3339 text with a zone, a datetime (naive: UTC), a date, a NumPy
//     datetime64 or an int (epoch seconds). Given, it cuts off every row
//     dated after it.
//   - check_lengths: ValueError unless every column read has the same length.
//
// group(pool) numbers the customers in order of first appearance (every row
// counts for that order) and marks engine::kSkippedRow on the rows that do not
// count: missing or unreadable time, or dated after a given as_of. Customers
// left without a row are left out of the numbering; first_row still gives the
// row where each kept customer first appears. purchases() hands the core the
// rows' instants (or ticks) and amounts as spans into the reader; they live as
// long as the reader.
//
// warn(groups) emits one UserWarning per kind of skipped row, in this order:
//   "skipped {n} of {N} transactions whose timestamp is not an RFC 3339
//    date-time with a zone (first at index {i}: '{text}')"
//   "skipped {n} of {N} transactions with a missing timestamp (None or NaT;
//    first at index {i})"
//   "skipped {n} of {N} transactions dated after as_of (first at index {i})"
// the last of them ending in "; {c} customers with no usable transaction left
// out" (or "1 customer ...") when customers were left out, then
//   "{n} of {N} transactions have a NaN amount (first at index {i}); the
//    monetary value of their customers is NaN"
// counting NaN amounts among the rows that count.
//
// id_column(original, groups, order) builds the output id column: the id of
// group order[i] at position i, taken from the caller's pandas array when
// `original` is a pandas Series or Index (so the dtype is kept: Arrow strings,
// categories, integers), else a list of str or int.
//
// OutputColumns makes the numeric output columns: NumPy arrays when the
// caller's process has NumPy loaded, else array.array (the module never
// imports NumPy itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/rfm.hpp"
#include "engine/rfm_columns.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::engine {
class ThreadPool;
}

namespace segmora::py {

// A module the caller's process has already imported (borrowed), or null.
PyObject* loaded_module(const char* name);

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
    bool numpy() const noexcept { return static_cast<bool>(frombuffer_); }

private:
    Ref make(const char* code, const char* dtype, const void* data, std::size_t bytes) const;
    Ref array_type_;
    Ref frombuffer_;
};

class TransactionColumns {
public:
    TransactionColumns();
    ~TransactionColumns();
    TransactionColumns(const TransactionColumns&) = delete;
    TransactionColumns& operator=(const TransactionColumns&) = delete;

    void read_ids(PyObject* obj, const char* arg = "customer_ids");
    void read_timestamps(PyObject* obj, const char* arg = "timestamps");
    void read_amounts(PyObject* obj, const char* arg = "amounts");
    void read_as_of(PyObject* obj, const char* arg = "as_of");
    void check_lengths() const;

    std::size_t size() const;  // rows (of the ids)
    bool integer_ids() const;
    engine::Instant as_of() const noexcept { return as_of_; }
    bool has_cut_off() const noexcept { return cut_off_; }

    engine::Grouping group(engine::ThreadPool* pool);
    engine::PurchaseColumns purchases() const;
    void warn(const engine::Grouping& groups) const;
    std::size_t customers_left_out() const noexcept { return left_out_; }

    Ref id_column(PyObject* original, const engine::Grouping& groups, std::span<const std::uint32_t> order,
                  const OutputColumns& columns) const;

    struct Ids;
    struct Times;

private:
    std::unique_ptr<Ids> ids_;
    std::unique_ptr<Times> times_;
    struct Amounts;
    std::unique_ptr<Amounts> amounts_;
    std::vector<const char*> read_;  // argument names of the columns read, in order
    engine::Instant as_of_{};
    bool cut_off_ = false;
    std::size_t after_ = 0, first_after_ = 0;
    std::size_t left_out_ = 0;
};

// The instant named by an as_of argument: None is now; otherwise as read_as_of.
engine::Instant read_instant(PyObject* obj, const char* arg);

// Emits a UserWarning (an error raised by a warnings filter propagates).
void warn(const std::string& message);

}  // namespace segmora::py
