// Date-time objects from Python as RFC 3339 text or instants.
//
// DatetimeReader looks up `datetime.datetime` once per call. read(obj, arg)
// returns nullopt when `obj` is not a datetime (a str or anything else is left
// to the caller); a timezone-aware datetime (pandas.Timestamp included) is
// converted to UTC exactly and written as RFC 3339 text with a "+00:00" zone;
// a naive one is a TypeError naming `arg` that says a timezone is needed;
// pandas.NaT gives its text "NaT", which no parser accepts.
#pragma once

#include <optional>
#include <string>

#include "engine/rfm.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py {

// Whether `obj` is a missing-value marker: None, or a value unequal to itself
// (NaN, pandas.NaT) or whose self-comparison is not a bool (pandas.NA).
bool is_missing(PyObject* obj);

class DatetimeReader {
public:
    DatetimeReader();
    bool is_datetime(PyObject* obj) const;
    std::optional<std::string> read(PyObject* obj, const char* arg) const;
    // The instant of an aware datetime (nullopt when `obj` is not a datetime).
    std::optional<engine::Instant> instant(PyObject* obj, const char* arg) const;

private:
    Ref datetime_type_;
    Ref utc_;
};

}  // namespace segmora::py
