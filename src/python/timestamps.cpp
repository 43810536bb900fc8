#include "python/timestamps.hpp"

#include <limits>
#include <string>

#include "text.hpp"

namespace segmora::py {

bool is_missing(PyObject* obj) {
    if (obj == Py_None) return true;
    if (PyUnicode_Check(obj) || PyLong_CheckExact(obj)) return false;
    // PyObject_RichCompareBool would take identity for equality: compare for real.
    Ref unequal = Ref::adopt(PyObject_RichCompare(obj, obj, Py_NE));
    if (!unequal) {
        PyErr_Clear();
        return false;
    }
    if (unequal.get() == Py_True) return true;
    if (unequal.get() == Py_False) return false;
    if (unequal.get() == obj) return true;  // pandas.NA: its comparisons give NA itself
    // NumPy scalars compare to NumPy booleans.
    const int truth = PyObject_IsTrue(unequal.get());
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth == 1;
}

namespace {

constexpr std::int64_t kSecondsPerDay = 86'400;

// Days from 1970-01-01 to the first of month `m` (1-12) of year `y`, proleptic
// Gregorian, for any year whose day count fits comfortably in 64 bits.
std::int64_t days_from_civil(std::int64_t y, unsigned m) noexcept {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<std::uint64_t>(y - era * 400);
    const std::uint64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const std::uint64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146'097 + static_cast<std::int64_t>(doe) - 719'468;
}

[[noreturn]] void raise_out_of_range(const char* arg) {
    raise_argument(PyExc_OverflowError, arg, "datetime out of range");
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

}  // namespace

std::string_view datetime64_unit(std::string_view name) {
    const std::size_t open = name.find('['), close = name.find(']');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open) return {};
    return name.substr(open + 1, close - open - 1);
}

std::optional<engine::Instant> datetime64_instant(std::int64_t ticks, std::string_view unit, const char* arg) {
    std::int64_t per_tick = 0, per_second = 0;
    if (unit == "Y" || unit == "M") {
        // Calendar units: years or months from 1970-01.
        constexpr std::int64_t kLimit = std::int64_t{1} << 40;
        if (ticks > kLimit || ticks < -kLimit) raise_out_of_range(arg);
        const std::int64_t months = unit == "Y" ? ticks * 12 : ticks;
        const std::int64_t year = 1970 + floor_div(months, 12);
        const auto month = static_cast<unsigned>(months - floor_div(months, 12) * 12) + 1;
        std::int64_t seconds = 0;
        if (__builtin_mul_overflow(days_from_civil(year, month), kSecondsPerDay, &seconds)) raise_out_of_range(arg);
        return engine::Instant{seconds, 0};
    }
    if (unit == "W") per_tick = 7 * kSecondsPerDay;
    else if (unit == "D") per_tick = kSecondsPerDay;
    else if (unit == "h") per_tick = 3'600;
    else if (unit == "m") per_tick = 60;
    else if (unit == "s") per_tick = 1;
    else if (unit == "ms") per_second = 1'000;
    else if (unit == "us") per_second = 1'000'000;
    else if (unit == "ns") per_second = 1'000'000'000;
    else return std::nullopt;
    if (per_tick != 0) {
        std::int64_t seconds = 0;
        if (__builtin_mul_overflow(ticks, per_tick, &seconds)) raise_out_of_range(arg);
        return engine::Instant{seconds, 0};
    }
    const std::int64_t seconds = floor_div(ticks, per_second);
    const std::int64_t rest = ticks - seconds * per_second;
    return engine::Instant{seconds, static_cast<std::uint32_t>(rest * (1'000'000'000 / per_second))};
}

TimeReader::TimeReader() {
    Ref module = Ref::steal(PyImport_ImportModule("datetime"));
    datetime_type_ = Ref::steal(PyObject_GetAttrString(module.get(), "datetime"));
    date_type_ = Ref::steal(PyObject_GetAttrString(module.get(), "date"));
    Ref timezone = Ref::steal(PyObject_GetAttrString(module.get(), "timezone"));
    utc_ = Ref::steal(PyObject_GetAttrString(timezone.get(), "utc"));
}

bool TimeReader::is_instance(PyObject* obj, const Ref& type) const {
    const int is = PyObject_IsInstance(obj, type.get());
    if (is < 0) throw PyErrorAlreadySet{};
    return is == 1;
}

namespace {

// The instant of an RFC 3339 text some date-time object wrote of itself.
engine::Instant instant_of_text(const Ref& text, const char* arg) {
    if (!text) reraise_for_argument(arg);
    if (!PyUnicode_Check(text.get())) raise_argument(PyExc_TypeError, arg, "isoformat() did not return a str");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) reraise_for_argument(arg);
    const std::string_view view(utf8, static_cast<std::size_t>(size));
    const std::optional<engine::Instant> when = engine::parse_rfc3339(view);
    if (!when) raise_argument(PyExc_ValueError, arg, segmora::format("cannot read datetime '{}'", view));
    return *when;
}

}  // namespace

TimeReader::Read TimeReader::read(PyObject* obj, const char* arg, bool integers, engine::Instant& out) const {
    if (PyUnicode_Check(obj)) return Read::NotATime;
    if (PyLong_Check(obj) && !PyBool_Check(obj)) {
        if (!integers) return Read::NotATime;
        out = {From<std::int64_t>::convert(obj, arg), 0};
        return Read::Instant;
    }
    if (PyFloat_Check(obj)) return is_missing(obj) ? Read::Missing : Read::NotATime;
    if (obj == Py_None) return Read::Missing;
    if (type_name(obj) == "datetime64") {
        Ref dtype = Ref::adopt(PyObject_GetAttrString(obj, "dtype"));
        Ref name = dtype ? Ref::adopt(PyObject_Str(dtype.get())) : Ref();
        Ref raw = name ? Ref::adopt(PyObject_CallMethod(obj, "astype", "s", "int64")) : Ref();
        if (!raw) reraise_for_argument(arg);
        const auto ticks = From<std::int64_t>::convert(raw.get(), arg);
        if (ticks == std::numeric_limits<std::int64_t>::min()) return Read::Missing;  // NaT
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
        if (!text) reraise_for_argument(arg);
        const std::optional<engine::Instant> when = datetime64_instant(ticks, datetime64_unit(text), arg);
        if (!when) raise_argument(PyExc_TypeError, arg, segmora::format("unsupported datetime unit in {}", text));
        out = *when;
        return Read::Instant;
    }
    if (is_instance(obj, datetime_type_)) {
        if (is_missing(obj)) return Read::Missing;  // pandas.NaT
        Ref offset = Ref::adopt(PyObject_CallMethod(obj, "utcoffset", nullptr));
        if (!offset) reraise_for_argument(arg);
        // Aware: the same instant in UTC. Naive: the wall-clock time read as UTC.
        Ref in_utc;
        if (offset.get() == Py_None) {
            Ref replace = Ref::adopt(PyObject_GetAttrString(obj, "replace"));
            Ref args = Ref::steal(PyTuple_New(0));
            Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "tzinfo", utc_.get()));
            if (replace) in_utc = Ref::adopt(PyObject_Call(replace.get(), args.get(), kwargs.get()));
        } else {
            in_utc = Ref::adopt(PyObject_CallMethod(obj, "astimezone", "O", utc_.get()));
        }
        if (!in_utc) reraise_for_argument(arg);
        out = instant_of_text(Ref::adopt(PyObject_CallMethod(in_utc.get(), "isoformat", nullptr)), arg);
        return Read::Instant;
    }
    if (is_instance(obj, date_type_)) {
        Ref day = Ref::adopt(PyObject_CallMethod(obj, "isoformat", nullptr));
        Ref text = day && PyUnicode_Check(day.get()) ? Ref::adopt(PyUnicode_FromFormat("%UT00:00:00Z", day.get())) : day;
        out = instant_of_text(text, arg);
        return Read::Instant;
    }
    if (integers && PyIndex_Check(obj)) {  // NumPy integers
        Ref index = Ref::adopt(PyNumber_Index(obj));
        if (!index) reraise_for_argument(arg);
        out = {From<std::int64_t>::convert(index.get(), arg), 0};
        return Read::Instant;
    }
    return is_missing(obj) ? Read::Missing : Read::NotATime;
}

}  // namespace segmora::py
