// The estimator classes (scikit-learn's interface over the engines), defined
// in Python source that is compiled and run once when the module loads.
//
// Plain Python classes suit scikit-learn's habits best: it reads constructor
// parameters from inspect.signature(__init__) and clone() expects get_params()
// to return the very objects passed in. The source sees the module as
// `_engine`; every class in its ESTIMATORS tuple is added to the module.
#include "python/bindings.hpp"
#include "python/toolkit/ref.hpp"

namespace segmora::py {

namespace {

constexpr const char* kSource =
#include "estimators_source.inc"
    ;

}  // namespace

void add_estimators(PyObject* module) {
    Ref code = Ref::steal(Py_CompileString(kSource, "<segmora estimators>", Py_file_input));
    Ref globals = Ref::steal(PyDict_New());
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));  // classes get it as __module__
    if (PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "__name__", module_name.get()) < 0 ||
        PyDict_SetItemString(globals.get(), "_engine", module) < 0)
        throw PyErrorAlreadySet{};
    Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
    PyObject* classes = PyDict_GetItemString(globals.get(), "ESTIMATORS");  // borrowed
    if (!classes || !PyTuple_Check(classes)) {
        PyErr_SetString(PyExc_ImportError, "segmora: the estimator source defines no ESTIMATORS tuple");
        throw PyErrorAlreadySet{};
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(classes); ++i) {
        PyObject* cls = PyTuple_GetItem(classes, i);
        Ref name = Ref::steal(PyObject_GetAttrString(cls, "__name__"));
        if (PyObject_SetAttr(module, name.get(), cls) < 0) throw PyErrorAlreadySet{};
    }
}

}  // namespace segmora::py
