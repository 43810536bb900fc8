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
//     are a TypeError. Arrow strings and string views are read in place (the
//     first chunk; later chunks are viewed row by row).
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
//     buffer or one Arrow float64 chunk without nulls (polars), else converted.
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
// categories, integers), gathered from it when it is a polars Series, else a
// list of str or int.
//
// Output columns are made by OutputColumns (python/toolkit/output.hpp).
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
#include "python/toolkit/output.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::engine {
class ThreadPool;
}

namespace segmora::py {


// What a call skipped or could not sum, with the index of the first of each
// kind (indexes into the whole input, so partitions can report global rows).
struct SkipReport {
    std::size_t rows = 0;
    std::size_t unreadable = 0, first_unreadable = 0;
    std::string first_unreadable_text;
    std::size_t missing = 0, first_missing = 0;
    std::size_t after = 0, first_after = 0;
    std::size_t customers_left_out = 0;
    std::size_t nan_amounts = 0, first_nan_amount = 0;

    // Adds another part's counts; the first indexes are the smallest.
    void merge(const SkipReport& other);
    // Indexes into a part turned into positions in the whole input (rows[i]: row i's).
    void to_positions(std::span<const std::int64_t> rows);
};

// ValueError unless `rows` holds one ascending non-negative position per
// transaction of a part (n of them).
void check_positions(std::span<const std::int64_t> rows, std::size_t n);

// The UserWarnings of a report, worded as described above.
void warn_skips(const SkipReport& report);

// A report as a plain tuple (rows, unreadable, first_unreadable,
// first_unreadable_text, missing, first_missing, after, first_after,
// customers_left_out, nan_amounts, first_nan_amount), and back (a TypeError
// naming `arg` for another shape).
Ref report_to_py(const SkipReport& report);
SkipReport report_from_py(PyObject* obj, const char* arg);

// The items of an id column at `rows`, in the column's own kind where it has
// one: a list for a list or tuple, a pandas column's array (its dtype kept), a
// NumPy array, an Arrow array, a polars Series; else a list of the items.
Ref rows_of_column(PyObject* column, std::span<const std::size_t> rows, const OutputColumns& columns, const char* arg);

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

    // Drops or keeps the cut-off at a given as_of (kept by default).
    void set_cut_off(bool cut_off) noexcept { cut_off_ = cut_off; }

    engine::Grouping group(engine::ThreadPool* pool);
    engine::PurchaseColumns purchases() const;
    // The counts behind warn (after group).
    SkipReport report(const engine::Grouping& groups) const;
    void warn(const engine::Grouping& groups) const { warn_skips(report(groups)); }
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

// Whether `obj` is a polars Series (polars being loaded already).
bool is_polars_series(PyObject* obj);

// Emits a UserWarning (an error raised by a warnings filter propagates).
void warn(const std::string& message);

}  // namespace segmora::py
