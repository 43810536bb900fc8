// Typed extractors (Python -> C++) and result conversion (C++ -> Python).
//
// From<T>::convert(obj, arg) converts one argument and names `arg` in its errors:
// TypeError for a wrong type, OverflowError for an int out of range (negative
// where unsigned, beyond 32 bits for int32). Integers accept int and objects with
// __index__ (NumPy integers), never float or str; floats accept int, float and
// objects with __float__ or __index__, never str. A list parameter accepts any
// sequence but str ("Can't extract `str` to `Vec`"), and a refused item names its
// index ("argument 'labels': item 2: ..."). Booleans accept True, False and
// NumPy's bool scalars, never int. std::optional<T> accepts None. to_py(value)
// builds a new Python object.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/toolkit/ref.hpp"

namespace segmora::py {

// TypeError "argument '{arg}': {message}".
[[noreturn]] void raise_argument(PyObject* type, const char* arg, const std::string& message);
// Prefixes the pending exception's message with "argument '{arg}': ", keeping its class.
[[noreturn]] void reraise_for_argument(const char* arg);
// Prefixes the pending exception's message with `prefix`, keeping its class.
[[noreturn]] void reraise_with_prefix(std::string_view prefix);
// Names where in argument `arg` the pending error arose: "argument 'data': must
// be real number, not str" becomes "argument 'data': item 3: must be real number,
// not str", and an inner position joins with a comma ("row 2, column 0: ...").
// Only TypeError, ValueError and OverflowError are reworded; the class is kept.
[[noreturn]] void reraise_at(const char* arg, std::string_view position);

// Runs `convert()`; a conversion error it raises names `what index` in `arg`
// ("item 3"), as reraise_at does.
template <class F>
decltype(auto) at_position(const char* arg, const char* what, std::size_t index, F&& convert) {
    try {
        return convert();
    } catch (const PyErrorAlreadySet&) {
        reraise_at(arg, std::string(what) + " " + std::to_string(index));
    }
}

template <class T>
struct From;

template <std::integral T>
    requires(!std::same_as<T, bool>)
struct From<T> {
    static T convert(PyObject* obj, const char* arg);
};

template <>
struct From<bool> {
    static bool convert(PyObject* obj, const char* arg);
};

template <>
struct From<double> {
    static double convert(PyObject* obj, const char* arg) {
        // Exact floats skip the protocol lookup.
        if (PyFloat_CheckExact(obj)) return PyFloat_AsDouble(obj);
        return convert_slow(obj, arg);
    }
    static double convert_slow(PyObject* obj, const char* arg);
};

template <>
struct From<std::string> {
    static std::string convert(PyObject* obj, const char* arg);
};

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> convert(PyObject* obj, const char* arg) {
        if (obj == Py_None) return std::nullopt;
        return From<T>::convert(obj, arg);
    }
};

// TypeError naming `arg` unless `obj` is a tuple of exactly `size` items.
void require_tuple(PyObject* obj, std::size_t size, const char* arg);

// A tuple of exactly two items; a list or a tuple of another length is refused.
template <class A, class B>
struct From<std::pair<A, B>> {
    static std::pair<A, B> convert(PyObject* obj, const char* arg) {
        require_tuple(obj, 2, arg);
        Ref first = Ref::borrow(PyTuple_GetItem(obj, 0)), second = Ref::borrow(PyTuple_GetItem(obj, 1));
        return {From<A>::convert(first.get(), arg), From<B>::convert(second.get(), arg)};
    }
};

// A fresh, owned snapshot of a sequence's items (str refused).
class SequenceItems {
public:
    SequenceItems(PyObject* obj, const char* arg);
    std::size_t size() const noexcept { return items_.size(); }
    PyObject* operator[](std::size_t i) const noexcept { return items_[i].get(); }

private:
    std::vector<Ref> items_;
};

// Fast path for a float vector: an object exposing a 1-D C-contiguous float64
// buffer (a NumPy array) is copied in one pass, without a Python call per element.
// Returns false (no error pending, `out` untouched) when the object offers none.
bool copy_float64_buffer(PyObject* obj, std::vector<double>& out);
// Any other 1-D numeric array-like (strided or non-float64 buffers, __array__,
// pandas Series). Returns false (no error pending) for lists, tuples and
// objects that are no array or not 1-D, which keep the item path.
bool copy_numeric_vector(PyObject* obj, std::vector<double>& out, const char* arg);
// An object whose items are read by position: `obj` itself, or for an object
// that is no list, tuple or buffer but has __array__ (a pandas Series, whose
// [] looks up labels), the array it exposes.
Ref positional(PyObject* obj, const char* arg);

template <class T>
struct From<std::vector<T>> {
    static std::vector<T> convert(PyObject* obj, const char* arg) {
        std::vector<T> out;
        if constexpr (std::is_same_v<T, double>) {
            if (copy_float64_buffer(obj, out) || copy_numeric_vector(obj, out, arg)) return out;
        }
        if (convert_plain_list(obj, arg, out)) return out;
        out.clear();
        Ref source = positional(obj, arg);
        SequenceItems items(source.get(), arg);
        out.reserve(items.size());
        for (std::size_t i = 0; i < items.size(); ++i)
            out.push_back(at_position(arg, "item", i, [&] { return From<T>::convert(items[i], arg); }));
        return out;
    }

private:
    // Fast path for a list of exact ints, floats or strs: converting those runs
    // no Python code, so the list cannot change under us and needs no snapshot.
    // Returns false (output partly filled) at the first other item.
    static bool convert_plain_list(PyObject* obj, const char* arg, std::vector<T>& out) {
        constexpr bool numeric = std::is_arithmetic_v<T>;
        constexpr bool text = std::is_same_v<T, std::string>;
        if constexpr (!numeric && !text) {
            return false;
        } else {
            if (!PyList_CheckExact(obj)) return false;
            const Py_ssize_t n = PyList_Size(obj);
            out.reserve(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject* item = PyList_GetItem(obj, i);
                const bool plain = numeric ? (PyLong_CheckExact(item) || PyFloat_CheckExact(item)) : PyUnicode_CheckExact(item);
                if (!plain) return false;
                out.push_back(at_position(arg, "item", static_cast<std::size_t>(i),
                                          [&] { return From<T>::convert(item, arg); }));
            }
            return true;
        }
    }
};

// TypeError "'{type}' object cannot be converted to 'PyDict'" naming `arg`.
[[noreturn]] void raise_not_dict(PyObject* obj, const char* arg);
// How a converted dict key shows in a position: 'text' quoted, numbers as they are.
std::string shown_key(const std::string& key);
template <std::integral K>
std::string shown_key(K key) {
    return std::to_string(key);
}

// Converts the items of a dict argument to K keys and V values, in the dict's
// order, over a snapshot of its items (conversions cannot disturb it), and
// hands each pair to `take(key, value)`. A refused key names its entry
// ("entry 2: ..."), a refused value its key ("value of 'zip': ...").
template <class K, class V, class Take>
void convert_dict(PyObject* obj, const char* arg, Take&& take) {
    if (!PyDict_Check(obj)) raise_not_dict(obj, arg);
    Ref items = Ref::steal(PyDict_Items(obj));
    const Py_ssize_t n = PyList_Size(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GetItem(items.get(), i);
        K key = at_position(arg, "entry", static_cast<std::size_t>(i),
                            [&] { return From<K>::convert(PyTuple_GetItem(pair, 0), arg); });
        V value;
        try {
            value = From<V>::convert(PyTuple_GetItem(pair, 1), arg);
        } catch (const PyErrorAlreadySet&) {
            reraise_at(arg, "value of " + shown_key(key));
        }
        take(std::move(key), std::move(value));
    }
}

// A module the caller's process has already imported (borrowed), or null; for
// results shaped like the caller's own objects without importing anything.
PyObject* imported_module(const char* name);

// ---- C++ -> Python ----

inline Ref to_py(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref to_py(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref to_py(std::string_view s) {
    return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref to_py(const std::string& s) { return to_py(std::string_view(s)); }
inline Ref to_py(const char* s) { return to_py(std::string_view(s)); }
inline Ref to_py(Ref r) { return r; }

template <std::integral T>
    requires(!std::same_as<T, bool>)
Ref to_py(T v) {
    if constexpr (std::is_signed_v<T>) return Ref::steal(PyLong_FromLongLong(static_cast<long long>(v)));
    else return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(v)));
}

inline Ref none() { return Ref::borrow(Py_None); }

// A 2-tuple of the converted values.
template <class A, class B>
Ref to_py(const std::pair<A, B>& p) {
    Ref first = to_py(p.first), second = to_py(p.second);
    Ref tuple = Ref::steal(PyTuple_New(2));
    PyTuple_SetItem(tuple.get(), 0, first.release());
    PyTuple_SetItem(tuple.get(), 1, second.release());
    return tuple;
}

template <class T>
Ref to_py(const std::optional<T>& v) {
    return v ? to_py(*v) : none();
}

template <class T>
Ref to_py(const std::vector<T>& items) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref item = to_py(items[i]);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals
    }
    return list;
}

// A tuple of the converted values.
template <class... T>
Ref make_tuple(const T&... values) {
    Ref items[] = {to_py(values)...};
    Ref tuple = Ref::steal(PyTuple_New(sizeof...(T)));
    for (std::size_t i = 0; i < sizeof...(T); ++i) PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

}  // namespace segmora::py
