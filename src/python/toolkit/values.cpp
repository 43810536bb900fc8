#include "python/toolkit/values.hpp"

#include <cstring>
#include <limits>

#include "text.hpp"

namespace segmora::py {

std::string type_name(PyObject* obj) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (!text) throw PyErrorAlreadySet{};
    return std::string(text, static_cast<std::size_t>(size));
}

void raise_argument(PyObject* type, const char* arg, const std::string& message) {
    raise(type, segmora::format("argument '{}': {}", arg, message));
}

void reraise_for_argument(const char* arg) { reraise_with_prefix(segmora::format("argument '{}': ", arg)); }

namespace {

// Rebuilds the pending exception with the message `reword(message)`, keeping its
// class, its traceback and the original as __cause__.
template <class Reword>
[[noreturn]] void reraise_reworded(Reword&& reword) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref t = Ref::adopt(type), v = Ref::adopt(value), tb = Ref::adopt(traceback);
    if (!t) raise(PyExc_TypeError, reword(std::string()));
    if (v && tb) PyException_SetTraceback(v.get(), tb.get());
    // Only a built-in class is rebuilt with the new message: constructing it
    // runs none of the caller's code. The original (attributes, traceback) is
    // kept as the new exception's __cause__. A class of the caller's own, or one
    // that cannot be built from one message (UnicodeEncodeError), is passed on
    // unchanged.
    Ref replacement;
    if (v && (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(t.get())) & Py_TPFLAGS_HEAPTYPE) == 0) {
        std::string message;
        if (PyObject* text = PyObject_Str(v.get())) {
            Ref owned = Ref::steal(text);
            if (const char* utf8 = PyUnicode_AsUTF8AndSize(owned.get(), nullptr)) message = utf8;
        }
        PyErr_Clear();
        const std::string named_text = reword(std::move(message));
        Ref named = Ref::adopt(
            PyUnicode_DecodeUTF8(named_text.data(), static_cast<Py_ssize_t>(named_text.size()), "replace"));
        if (named) replacement = Ref::adopt(PyObject_CallFunctionObjArgs(t.get(), named.get(), nullptr));
        if (replacement && Py_TYPE(replacement.get()) != reinterpret_cast<PyTypeObject*>(t.get())) replacement = Ref();
        PyErr_Clear();
    }
    if (!replacement) {
        PyErr_Restore(t.release(), v.release(), tb.release());
        throw PyErrorAlreadySet{};
    }
    PyException_SetCause(replacement.get(), v.release());  // steals the reference
    PyErr_SetObject(t.get(), replacement.get());
    throw PyErrorAlreadySet{};
}

}  // namespace

void reraise_with_prefix(std::string_view prefix) {
    reraise_reworded([&](std::string message) { return std::string(prefix) + message; });
}

void reraise_at(const char* arg, std::string_view position) {
    const bool conversion = PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
                            PyErr_ExceptionMatches(PyExc_OverflowError);
    if (!conversion) throw PyErrorAlreadySet{};  // MemoryError, KeyboardInterrupt, ...: as they are
    reraise_reworded([&](std::string message) {
        const std::string prefix = segmora::format("argument '{}': ", arg);
        std::string_view rest(message);
        if (rest.starts_with(prefix)) rest.remove_prefix(prefix.size());
        // A position named further in joins with a comma: "row 2, column 0: ...".
        bool inner = false;
        for (std::string_view word : {"item ", "row ", "column ", "element ", "entry ", "value of "})
            inner = inner || rest.starts_with(word);
        return segmora::format("{}{}{}{}", prefix, position, inner ? ", " : ": ", rest);
    });
}

namespace {

// The object as an exact int (through __index__), or a TypeError naming `arg`.
Ref as_index(PyObject* obj, const char* arg) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    if (PyFloat_Check(obj) || PyUnicode_Check(obj) || obj == Py_None) {
        raise_argument(PyExc_TypeError, arg,
                       segmora::format("'{}' object cannot be interpreted as an integer", type_name(obj)));
    }
    PyObject* index = PyNumber_Index(obj);
    if (!index) reraise_for_argument(arg);
    return Ref::steal(index);
}

}  // namespace

template <std::integral T>
    requires(!std::same_as<T, bool>)
T From<T>::convert(PyObject* obj, const char* arg) {
    Ref value = as_index(obj, arg);
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) reraise_for_argument(arg);
        if (overflow != 0 || v < static_cast<long long>(std::numeric_limits<T>::min()) ||
            v > static_cast<long long>(std::numeric_limits<T>::max())) {
            raise_argument(PyExc_OverflowError, arg,
                           segmora::format("out of range for a {}-bit signed integer", 8 * sizeof(T)));
        }
        return static_cast<T>(v);
    } else {
        const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) reraise_for_argument(arg);
        if (v > std::numeric_limits<T>::max())
            raise_argument(PyExc_OverflowError, arg,
                           segmora::format("out of range for a {}-bit unsigned integer", 8 * sizeof(T)));
        return static_cast<T>(v);
    }
}

template struct From<std::int32_t>;
template struct From<std::int64_t>;
template struct From<std::uint32_t>;
template struct From<std::uint64_t>;
template struct From<unsigned long long>;
template struct From<long long>;

bool From<bool>::convert(PyObject* obj, const char* arg) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    // NumPy's bool scalar (numpy.bool_, named "bool" from NumPy 2 on); its
    // truth value is its value. Ints stay refused.
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref module = Ref::adopt(PyObject_GetAttrString(type, "__module__"));
    Ref name = module ? Ref::adopt(PyObject_GetAttrString(type, "__name__")) : Ref();
    PyErr_Clear();
    const bool numpy_bool = module && name && PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
                            PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
                            (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
                             PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
    if (numpy_bool) {
        const int truth = PyObject_IsTrue(obj);
        if (truth < 0) reraise_for_argument(arg);
        return truth == 1;
    }
    raise_argument(PyExc_TypeError, arg, segmora::format("'{}' object cannot be converted to 'bool'", type_name(obj)));
}

double From<double>::convert_slow(PyObject* obj, const char* arg) {
    if (PyUnicode_Check(obj) || obj == Py_None)
        raise_argument(PyExc_TypeError, arg, segmora::format("must be real number, not {}", type_name(obj)));
    const double v = PyFloat_AsDouble(obj);  // int, __float__, __index__
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            raise_argument(PyExc_TypeError, arg, segmora::format("must be real number, not {}", type_name(obj)));
        }
        reraise_for_argument(arg);
    }
    return v;
}

std::string From<std::string>::convert(PyObject* obj, const char* arg) {
    if (!PyUnicode_Check(obj))
        raise_argument(PyExc_TypeError, arg, segmora::format("'{}' object cannot be converted to 'str'", type_name(obj)));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!text) reraise_for_argument(arg);
    return std::string(text, static_cast<std::size_t>(size));
}

void raise_not_dict(PyObject* obj, const char* arg) {
    raise_argument(PyExc_TypeError, arg, segmora::format("'{}' object cannot be converted to 'PyDict'", type_name(obj)));
}

std::string shown_key(const std::string& key) { return "'" + key + "'"; }

void require_tuple(PyObject* obj, std::size_t size, const char* arg) {
    if (!PyTuple_Check(obj))
        raise_argument(PyExc_TypeError, arg, segmora::format("'{}' object cannot be converted to 'PyTuple'", type_name(obj)));
    const Py_ssize_t n = PyTuple_Size(obj);
    if (n != static_cast<Py_ssize_t>(size))
        raise_argument(PyExc_TypeError, arg,
                       segmora::format("expected tuple of length {}, but got tuple of length {}", size, n));
}

SequenceItems::SequenceItems(PyObject* obj, const char* arg) {
    if (PyUnicode_Check(obj)) raise_argument(PyExc_TypeError, arg, "Can't extract `str` to `Vec`");
    if (PyList_Check(obj) || PyTuple_Check(obj)) {
        const bool is_list = PyList_Check(obj);
        const Py_ssize_t n = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
        items_.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* item = is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
            if (!item) throw PyErrorAlreadySet{};
            items_.push_back(Ref::borrow(item));
        }
        return;
    }
    if (!PySequence_Check(obj))
        raise_argument(PyExc_TypeError, arg, segmora::format("'{}' object cannot be converted to 'Sequence'", type_name(obj)));
    // Items in iteration order: indexing 0..n-1 would look up labels in a
    // sequence whose [] is label-based (a pandas Series with a non-default
    // index) and fail or read the items in another order.
    PyObject* listed = PySequence_List(obj);
    if (!listed) reraise_for_argument(arg);  // a caller's __iter__ or __getitem__ failed
    Ref list = Ref::steal(listed);
    const Py_ssize_t n = PyList_Size(list.get());
    items_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) items_.push_back(Ref::borrow(PyList_GetItem(list.get(), i)));
}


PyObject* imported_module(const char* name) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    return modules ? PyDict_GetItemString(modules, name) : nullptr;
}

bool copy_float64_buffer(PyObject* obj, std::vector<double>& out) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || !PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_ND | PyBUF_FORMAT) != 0) {
        PyErr_Clear();  // not C-contiguous: the item path handles it
        return false;
    }
    const bool usable = view.ndim == 1 && view.itemsize == 8 && view.format &&
                        (std::strcmp(view.format, "d") == 0 || std::strcmp(view.format, "<d") == 0 ||
                         std::strcmp(view.format, "=d") == 0);
    if (usable) {
        // Byte-wise copy: the buffer need not be aligned for double.
        out.resize(static_cast<std::size_t>(view.shape[0]));
        if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(double));
    }
    PyBuffer_Release(&view);
    return usable;
}

}  // namespace segmora::py
