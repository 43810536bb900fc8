#include "python/timestamps.hpp"

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
    if (!PyBool_Check(unequal.get())) return true;  // pandas.NA compares to NA
    return unequal.get() == Py_True;
}

DatetimeReader::DatetimeReader() {
    Ref module = Ref::steal(PyImport_ImportModule("datetime"));
    datetime_type_ = Ref::steal(PyObject_GetAttrString(module.get(), "datetime"));
    Ref timezone = Ref::steal(PyObject_GetAttrString(module.get(), "timezone"));
    utc_ = Ref::steal(PyObject_GetAttrString(timezone.get(), "utc"));
}

bool DatetimeReader::is_datetime(PyObject* obj) const {
    const int is = PyObject_IsInstance(obj, datetime_type_.get());
    if (is < 0) throw PyErrorAlreadySet{};
    return is == 1;
}

std::optional<std::string> DatetimeReader::read(PyObject* obj, const char* arg) const {
    if (PyUnicode_Check(obj) || !is_datetime(obj)) return std::nullopt;
    // pandas.NaT (a datetime unequal to itself) stands for a missing time: its
    // text ("NaT") never parses, so the row is skipped and reported.
    if (is_missing(obj)) {
        Ref text = Ref::steal(PyObject_Str(obj));
        return From<std::string>::convert(text.get(), arg);
    }
    Ref offset = Ref::adopt(PyObject_CallMethod(obj, "utcoffset", nullptr));
    if (!offset) reraise_for_argument(arg);
    if (offset.get() == Py_None) {
        Ref text = Ref::adopt(PyObject_Str(obj));
        const char* shown = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        if (!shown) PyErr_Clear();
        raise_argument(PyExc_TypeError, arg,
                       segmora::format("datetime {} has no timezone; a timezone is needed (for example "
                                       "tzinfo=datetime.timezone.utc)",
                                       shown ? shown : "?"));
    }
    Ref in_utc = Ref::adopt(PyObject_CallMethod(obj, "astimezone", "O", utc_.get()));
    if (!in_utc) reraise_for_argument(arg);
    Ref text = Ref::adopt(PyObject_CallMethod(in_utc.get(), "isoformat", nullptr));
    if (!text || !PyUnicode_Check(text.get())) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "isoformat() did not return a str");
        reraise_for_argument(arg);
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (!utf8) reraise_for_argument(arg);
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::optional<engine::Instant> DatetimeReader::instant(PyObject* obj, const char* arg) const {
    std::optional<std::string> text = read(obj, arg);
    if (!text) return std::nullopt;
    std::optional<engine::Instant> when = engine::parse_rfc3339(*text);
    if (!when) raise_argument(PyExc_ValueError, arg, segmora::format("cannot read datetime '{}'", *text));
    return when;
}

}  // namespace segmora::py
