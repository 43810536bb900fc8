// Pickling of module classes: a versioned state tuple and a checked restore.
//
// A class opts in with ClassDef<T>::pickle<Codec>(), where Codec has
//   static constexpr std::uint32_t version;            // the state format
//   static Ref save(const T&);                          // a tuple of plain values
//   static T load(StateReader&);                        // throws StateError on damage
// The class gains __reduce__ -> (segmora._restore, ("PyName", version, state))
// and a static _from_state(version, state). Restoring checks the version, the
// tuple's length and every item's type and range, and the class's own
// invariants; any damage is ValueError "cannot restore PyName: {reason}", and
// no object is built.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "text.hpp"
#include "python/toolkit/values.hpp"

namespace segmora::py {

// A damaged state, with the reason.
struct StateError {
    std::string reason;
};

// Reads a state tuple item by item.
class StateReader {
public:
    StateReader(PyObject* tuple, std::size_t expected) : tuple_(tuple) {
        if (!PyTuple_Check(tuple)) throw StateError{"the state is not a tuple"};
        if (static_cast<std::size_t>(PyTuple_Size(tuple)) != expected)
            throw StateError{segmora::format("the state has {} items, expected {}", PyTuple_Size(tuple), expected)};
    }

    PyObject* next_object() { return PyTuple_GetItem(tuple_, static_cast<Py_ssize_t>(next_++)); }

    // The next item converted like an argument; a conversion error becomes a StateError.
    template <class T>
    T next() {
        const std::size_t index = next_;
        return as<T>(next_object(), index);
    }

    // Item `index` (already taken with next_object) converted like next<T>().
    template <class T>
    static T as(PyObject* item, std::size_t index) {
        try {
            return From<T>::convert(item, "state");
        } catch (const PyErrorAlreadySet&) {
            PyErr_Clear();
            throw StateError{segmora::format("item {} has the wrong type or range", index)};
        }
    }

    // An enumeration stored as its integer value, checked against [0, count).
    template <class E>
    E next_enum(std::uint32_t count) {
        const auto v = next<std::uint32_t>();
        if (v >= count) throw StateError{segmora::format("item {} is not a valid choice", next_ - 1)};
        return static_cast<E>(v);
    }

private:
    PyObject* tuple_;
    std::size_t next_ = 0;
};

// The number of values of an enumeration stored in a state (specialised next
// to the enumeration's bindings); 0 means "not stored as a choice".
template <class E>
inline constexpr std::uint32_t enum_count = 0;

namespace detail {

template <class T>
auto state_value(const T& v) {
    if constexpr (std::is_enum_v<T>) return static_cast<std::uint32_t>(v);
    else return v;
}

template <class T>
T read_state_value(StateReader& r) {
    if constexpr (std::is_enum_v<T>) {
        static_assert(enum_count<T> > 0, "specialise enum_count for this enumeration");
        return r.next_enum<T>(enum_count<T>);
    } else {
        return r.next<T>();
    }
}

template <class M>
struct member_of;
template <class C, class V>
struct member_of<V C::*> {
    using type = V;
};

}  // namespace detail

// The codec of a plain record whose state is its `Members`, in this order
// (enumerations as their integer value, checked on load).
template <class T, auto... Members>
struct FieldsState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const T& v) { return py::make_tuple(detail::state_value(v.*Members)...); }
    static T load(PyObject* state) {
        StateReader r(state, sizeof...(Members));
        T v;
        ((v.*Members = detail::read_state_value<typename detail::member_of<decltype(Members)>::type>(r)), ...);
        return v;
    }
};

// The codec of an enumeration of `Count` values, stored as its integer value.
template <class E, std::uint32_t Count>
struct EnumState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const E& e) { return py::make_tuple(static_cast<std::uint32_t>(e)); }
    static E load(PyObject* state) {
        StateReader r(state, 1);
        return r.next_enum<E>(Count);
    }
};

// Every item of a list state (item `index` of its parent) restored by Codec.
template <class Codec, class T = decltype(Codec::load(nullptr))>
std::vector<T> load_all(PyObject* list, std::size_t index) {
    if (!PyList_Check(list)) throw StateError{segmora::format("item {} is not a list", index)};
    std::vector<T> out;
    for (Py_ssize_t i = 0; i < PyList_Size(list); ++i) out.push_back(Codec::load(PyList_GetItem(list, i)));
    return out;
}

// A list of every item's state.
template <class Codec, class T>
Ref save_all(const std::vector<T>& items) {
    Ref list = Ref::steal(PyList_New(0));
    for (const T& item : items)
        if (PyList_Append(list.get(), Codec::save(item).get()) < 0) throw PyErrorAlreadySet{};
    return list;
}

// The module's _restore(class_name, version, state) function.
PyMethodDef* restore_def();

// __reduce__ of an instance: (segmora._restore, (name, version, state)).
Ref reduce_value(const char* class_name, std::uint32_t version, Ref state);

// Checks the version, then runs `load`; StateError or a conversion error becomes
// ValueError "cannot restore {class_name}: ...".
template <class Load>
auto restore_checked(const char* class_name, std::uint32_t version, PyObject* given_version, Load&& load) {
    try {
        const int overflow_ok = PyLong_Check(given_version);
        const long long v = overflow_ok ? PyLong_AsLongLong(given_version) : -1;
        if (PyErr_Occurred()) PyErr_Clear();
        if (!overflow_ok || v != static_cast<long long>(version))
            throw StateError{segmora::format("unknown state format (this version reads format {})", version)};
        return load();
    } catch (const StateError& e) {
        set_error(PyExc_ValueError, segmora::format("cannot restore {}: {}", class_name, e.reason));
        throw PyErrorAlreadySet{};
    }
}

}  // namespace segmora::py
