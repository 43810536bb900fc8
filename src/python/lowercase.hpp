// Enumeration names given as text are matched after full Unicode lower-casing,
// which Python's own str.lower provides.
#pragma once

#include <string>

#include "python/toolkit/values.hpp"

namespace segmora::py {

// `obj` (already checked to be a str) lower-cased by str.lower, as UTF-8. The
// method is taken from str itself, so a subclass cannot run code of its own here.
inline std::string lowered(PyObject* obj, const char* arg) {
    Ref lower = Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", obj));
    return From<std::string>::convert(lower.get(), arg);
}

}  // namespace segmora::py
