// Columns for the drift bindings, read from what a caller already has.
//
// A column is a list or tuple, a NumPy array, a pandas Series, an Arrow array or
// chunked array, or a polars Series; a table is a pandas DataFrame, a dict of
// such columns, or an Arrow table (pyarrow, polars, anything with
// __arrow_c_stream__). A column reads as numbers (ints, floats, booleans as 0
// and 1, datetimes as seconds since the epoch, durations as seconds) or as
// categories (texts; in a column read as categories a number counts as its
// shortest decimal, so 3 and 3.0 are one category). Missing values (None, NaN,
// NaT, pandas.NA, Arrow nulls) are counted, never read as data: a numeric column
// marks them NaN. Buffers are read in place where their layout allows; Arrow
// structures are checked before they are read.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "engine/drift_reference.hpp"
#include "engine/float_sort.hpp"
#include "python/toolkit/ref.hpp"

namespace segmora::py {

enum class ColumnKind {
    Inferred,    // texts (or any object that is not a number) make it categorical
    Numbers,     // texts are a TypeError
    Categories,  // numbers read as categories too
};

// One column; `label` names it in errors ("argument 'baseline'", "column 'spend'
// of current_columns").
engine::ColumnSample read_column(PyObject* obj, ColumnKind kind, const std::string& label);

// The buffer of a float64 array (1-D, C-contiguous, aligned, native byte
// order), held open to be read in place; nothing held (and no error pending)
// when the object offers no such buffer.
class Float64Buffer {
public:
    explicit Float64Buffer(PyObject* obj);
    ~Float64Buffer();
    Float64Buffer(const Float64Buffer&) = delete;
    Float64Buffer& operator=(const Float64Buffer&) = delete;

    bool held() const noexcept { return held_; }
    std::span<const double> values() const noexcept {
        return held_ ? std::span<const double>(static_cast<const double*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(double))
                     : std::span<const double>();
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A sequence of floats argument: a float64 array read in place, anything else
// converted as From<std::vector<double>> converts it (errors naming `arg`).
class Floats {
public:
    Floats(PyObject* obj, const char* arg);
    std::span<const double> values() const noexcept { return buffer_.held() ? buffer_.values() : owned_; }

private:
    Float64Buffer buffer_;
    std::vector<double> owned_;
};

// One column of numbers to be sorted: a float64 array is read in place by the
// sort; anything else is read here as read_column reads it (errors naming
// `label`).
class NumberColumn {
public:
    NumberColumn(PyObject* obj, const std::string& label);

    // Values read, missing ones included.
    std::size_t size() const noexcept { return size_; }
    // The sort of the numbers into `out`, missing values left out, for
    // engine::sort_samples (which touches no interpreter object). Once only.
    engine::SampleSort sort_into(std::vector<double>& out);

private:
    Float64Buffer buffer_;
    std::vector<double> owned_;
    std::size_t size_ = 0;
};

// Every column of a table in its order, those named in `categorical` read as
// categories. `arg` names the table in errors. Names are str (pandas labels
// through str()); a name given twice is a ValueError.
std::vector<engine::ColumnSample> read_table(PyObject* table, const std::vector<std::string>& categorical,
                                             const char* arg);

}  // namespace segmora::py
