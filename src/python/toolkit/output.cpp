#include "python/toolkit/output.hpp"

namespace segmora::py {

PyObject* loaded_module(const char* name) {
    PyObject* modules = PySys_GetObject("modules");  // borrowed
    return modules ? PyDict_GetItemString(modules, name) : nullptr;
}

ColumnMaker::ColumnMaker() {
    Ref array_module = Ref::steal(PyImport_ImportModule("array"));
    array_type_ = Ref::steal(PyObject_GetAttrString(array_module.get(), "array"));
    if (PyObject* numpy = loaded_module("numpy")) frombuffer_ = Ref::adopt(PyObject_GetAttrString(numpy, "frombuffer"));
    PyErr_Clear();
}

Ref ColumnMaker::make(const char* code, const char* dtype, const void* data, std::size_t bytes) const {
    if (frombuffer_) {  // a writable NumPy array over one copy of the values
        Ref raw = Ref::steal(PyByteArray_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
        return Ref::steal(PyObject_CallFunction(frombuffer_.get(), "Os", raw.get(), dtype));
    }
    Ref raw = Ref::steal(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes)));
    return Ref::steal(PyObject_CallFunction(array_type_.get(), "sO", code, raw.get()));
}

}  // namespace segmora::py
