// Single date-time objects from Python as instants (UTC).
//
// TimeReader looks up the `datetime` types once. read(obj, arg, integers, out)
// says what one object names:
//   - a datetime (pandas.Timestamp included): aware ones are converted to UTC
//     exactly, naive ones are read as UTC (as naive datetime64 columns are);
//   - a date: midnight UTC of that day;
//   - a NumPy datetime64 scalar of any unit (Y, M, W, D, h, m, s, ms, us, ns),
//     read from its own unit, so no range is lost to a conversion;
//   - with `integers`, an int or an object with __index__ (NumPy integers):
//     whole seconds since the Unix epoch;
//   - a missing-value marker (None, NaN, NaT, pandas.NA): Missing;
//   - anything else, str included: NotATime (the caller decides).
// A datetime64 beyond 64-bit seconds raises OverflowError "argument '{arg}':
// datetime out of range"; a datetime64 unit not listed raises TypeError.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/rfm.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py {

// Whether `obj` is a missing-value marker: None, or a value unequal to itself
// (NaN, NaT, NumPy NaN scalars), or pandas.NA (whose comparisons give NA).
bool is_missing(PyObject* obj);

// The instant `ticks` datetime64 units of `unit` after the epoch ("D", "s",
// "ns", ...; "Y" and "M" count calendar years and months); nullopt for a unit
// not listed. OverflowError naming `arg` beyond 64-bit seconds.
std::optional<engine::Instant> datetime64_instant(std::int64_t ticks, std::string_view unit, const char* arg);

// The unit inside a datetime64 dtype's name ("datetime64[ms]" -> "ms"; "" without one).
std::string_view datetime64_unit(std::string_view dtype_name);

class TimeReader {
public:
    enum class Read { Instant, Missing, NotATime };

    TimeReader();
    Read read(PyObject* obj, const char* arg, bool integers, engine::Instant& out) const;

private:
    bool is_instance(PyObject* obj, const Ref& type) const;
    Ref datetime_type_;
    Ref date_type_;
    Ref utc_;
};

}  // namespace segmora::py
