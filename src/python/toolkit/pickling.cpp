#include "python/toolkit/pickling.hpp"

#include "python/toolkit/function.hpp"

namespace segmora::py {

namespace {

struct Restore {
    static constexpr const char* signature = "_restore(class_name, version, state)";
    static constexpr const char* doc = "Rebuilds a pickled segmora object (used by pickle).";
    static constexpr Raises raises = Raises::ValueError;
    static Ref call(Args& a) {
        const std::string name = a.get<std::string>("class_name");
        Ref module = Ref::steal(PyImport_ImportModule("segmora"));
        Ref cls = Ref::adopt(PyObject_GetAttrString(module.get(), name.c_str()));
        Ref from_state = cls ? Ref::adopt(PyObject_GetAttrString(cls.get(), "_from_state")) : Ref();
        if (!from_state) {
            PyErr_Clear();
            raise(PyExc_ValueError, segmora::format("cannot restore {}: no such segmora class", name));
        }
        return Ref::steal(PyObject_CallFunctionObjArgs(from_state.get(), a.raw("version"), a.raw("state"), nullptr));
    }
};

}  // namespace

PyMethodDef* restore_def() { return function_def<Restore>(); }

Ref reduce_value(const char* class_name, std::uint32_t version, Ref state) {
    Ref module = Ref::steal(PyImport_ImportModule("segmora"));
    Ref restore = Ref::steal(PyObject_GetAttrString(module.get(), "_restore"));
    Ref args = py::make_tuple(class_name, version, state);
    return py::make_tuple(restore, args);
}

}  // namespace segmora::py
