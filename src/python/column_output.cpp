#include "python/column_output.hpp"

#include <cstring>

#include "python/toolkit/arrays.hpp"
#include "text.hpp"

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

ColumnMaker::Column ColumnMaker::make(const char* code, const char* dtype, std::size_t bytes) const {
    Column c{{}, nullptr, code, dtype};
    if (frombuffer_) {  // a writable NumPy array over the bytearray
        c.raw = Ref::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
        c.bytes = PyByteArray_AsString(c.raw.get());
    } else {
        c.raw = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
        c.bytes = PyBytes_AsString(c.raw.get());
    }
    return c;
}

Ref ColumnMaker::finish(const Column& c) const {
    if (frombuffer_) return Ref::steal(PyObject_CallFunction(frombuffer_.get(), "Os", c.raw.get(), c.dtype));
    return Ref::steal(PyObject_CallFunction(array_type_.get(), "sO", c.code, c.raw.get()));
}

Ref ColumnMaker::floats(std::span<const double> v) const {
    Column c = make("d", "float64", v.size() * sizeof(double));
    if (!v.empty()) std::memcpy(c.bytes, v.data(), v.size() * sizeof(double));
    return finish(c);
}

Ref ColumnMaker::bools(std::span<const std::uint8_t> flags) const {
    if (frombuffer_) {
        Column c = make("B", "bool", flags.size());
        for (std::size_t i = 0; i < flags.size(); ++i) c.bytes[i] = flags[i] ? 1 : 0;
        return finish(c);
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(flags.size())));
    for (std::size_t i = 0; i < flags.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_py(flags[i] != 0).release());
    return list;
}

namespace {

Ref list_at(PyObject* obj, const std::vector<std::size_t>& rows, const char* arg) {
    SequenceItems items(obj, arg);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rows.size())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] >= items.size()) raise(PyExc_ValueError, segmora::format("{} changed size during the call", arg));
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[rows[i]]).release());
    }
    return list;
}

// obj.<method>(index), or a null Ref (no error pending) when obj has no such method.
Ref call_with_index(PyObject* obj, const char* method, PyObject* index, const char* arg) {
    if (!PyObject_HasAttrString(obj, method)) return {};
    Ref result = Ref::adopt(PyObject_CallMethod(obj, method, "O", index));
    if (!result) reraise_for_argument(arg);
    return result;
}

}  // namespace

Ref taken(PyObject* obj, const std::vector<std::size_t>& rows, const ColumnMaker& columns, const char* arg) {
    if (PyList_Check(obj) || PyTuple_Check(obj)) return list_at(obj, rows, arg);
    // Positions as a NumPy array, or a list of int without NumPy.
    Ref index = columns.numpy() ? columns.int64s(rows) : to_py(rows);
    if (columns.numpy() && PyObject_HasAttrString(obj, "array") && PyObject_HasAttrString(obj, "iloc")) {
        Ref array = Ref::adopt(PyObject_GetAttrString(obj, "array"));  // pandas: positions, not labels
        if (!array) reraise_for_argument(arg);
        if (Ref out = call_with_index(array.get(), "take", index.get(), arg)) return out;
    }
    if (Ref out = call_with_index(obj, "take", index.get(), arg)) return out;    // NumPy, Arrow
    if (Ref out = call_with_index(obj, "gather", index.get(), arg)) return out;  // polars
    Ref items = positional(obj, arg);
    return list_at(items.get(), rows, arg);
}

}  // namespace segmora::py
