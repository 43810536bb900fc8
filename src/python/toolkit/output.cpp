#include "python/toolkit/output.hpp"

#include "python/toolkit/values.hpp"

namespace segmora::py {

PyObject* loaded_module(const char* name) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    return modules ? PyDict_GetItemString(modules, name) : nullptr;
}

OutputColumns::OutputColumns() {
    Ref array_module = Ref::steal(PyImport_ImportModule("array"));
    array_type_ = Ref::steal(PyObject_GetAttrString(array_module.get(), "array"));
    if (PyObject* numpy = loaded_module("numpy")) frombuffer_ = Ref::adopt(PyObject_GetAttrString(numpy, "frombuffer"));
    PyErr_Clear();
}

Ref OutputColumns::floats(std::span<const double> v) const {
    return make("d", "float64", v.data(), v.size() * sizeof(double));
}

Ref OutputColumns::make(const char* code, const char* dtype, const void* data, std::size_t bytes) const {
    if (frombuffer_) {  // a writable NumPy array over one copy of the values
        Ref raw = Ref::steal(PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
        return Ref::steal(PyObject_CallFunction(frombuffer_.get(), "Os", raw.get(), dtype));
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
    return Ref::steal(PyObject_CallFunction(array_type_.get(), "sO", code, raw.get()));
}

Ref OutputColumns::fresh(std::size_t bytes) const {
    const auto size = static_cast<Py_ssize_t>(bytes);
    return Ref::steal(frombuffer_ ? PyByteArray_FromStringAndSize(nullptr, size) : PyBytes_FromStringAndSize(nullptr, size));
}

char* OutputColumns::bytes_of(PyObject* raw) {
    return PyByteArray_Check(raw) ? PyByteArray_AsString(raw) : PyBytes_AsString(raw);
}

Ref OutputColumns::wrap(const char* code, const char* dtype, PyObject* raw) const {
    if (frombuffer_) return Ref::steal(PyObject_CallFunction(frombuffer_.get(), "Os", raw, dtype));
    return Ref::steal(PyObject_CallFunction(array_type_.get(), "sO", code, raw));
}

Ref OutputColumns::bools(std::span<const std::uint8_t> flags) const {
    if (!frombuffer_) {
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(flags.size())));
        for (std::size_t i = 0; i < flags.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(flags[i] != 0).release());
        return list;
    }
    Ref raw = fresh(flags.size());
    char* bytes = bytes_of(raw.get());
    for (std::size_t i = 0; i < flags.size(); ++i) bytes[i] = flags[i] ? 1 : 0;
    return wrap("B", "bool", raw.get());
}

}  // namespace segmora::py
