// Owning references and the exception that carries a pending Python error.
//
// Ref owns one strong reference (or none); glue code never calls Py_DECREF by
// hand. PyErrorAlreadySet is thrown when a Python exception is already set; the
// call trampolines turn it into a NULL return.
#pragma once

#include "python/toolkit/python.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace segmora::py {

struct PyErrorAlreadySet {};

class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    // Takes over a new reference; NULL means a Python error is pending.
    static Ref steal(PyObject* p) {
        if (!p) throw PyErrorAlreadySet{};
        return Ref(p);
    }
    // Takes over a new reference that may be NULL (no error implied).
    static Ref adopt(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Gives up ownership (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Sets `type` with `message` (any bytes, NUL included, decoded as UTF-8).
inline void set_error(PyObject* type, std::string_view message) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (!text) return;  // MemoryError is set instead
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

// Sets `type` with `message` and throws PyErrorAlreadySet.
[[noreturn]] inline void raise(PyObject* type, std::string_view message) {
    set_error(type, message);
    throw PyErrorAlreadySet{};
}

// The type name of an object ("str", "float"), for error messages.
std::string type_name(PyObject* obj);

}  // namespace segmora::py
