// Module functions from declarative specs, and error translation.
//
// A function is a struct with its text signature, the exception class its core
// errors become, an optional docstring body and an _impl:
//
//   struct KMeansPy {
//       static constexpr const char* signature = "kmeans_py(data, n_clusters, max_iter=None)";
//       static constexpr Raises raises = Raises::RuntimeError;
//       static Ref call(Args& args);
//   };
//   PyMethodDef* def = function_def<KMeansPy>();
//
// The trampoline parses arguments by the signature, runs `call` and translates
// failures: a SegmoraError becomes the declared class with the error's display
// text; a pending Python error passes through; bad_alloc becomes MemoryError.
// For the length of the call the core's long loops may stop at a pending signal:
// its handler's exception (KeyboardInterrupt for Ctrl-C) is what the call raises.
// That holds inside an unlocked() region too (unlocked.hpp).
#pragma once

#include <new>
#include <string>

#include "error.hpp"
#include "interrupt.hpp"
#include "python/toolkit/args.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

enum class Raises { RuntimeError, ValueError };

inline PyObject* exception_class(Raises raises) noexcept {
    return raises == Raises::ValueError ? PyExc_ValueError : PyExc_RuntimeError;
}

// The interrupt check of every call: runs the interpreter's signal handlers on
// the calling thread; true when one raised (its exception is left pending).
// Without the lock, the region takes it back for the check when it is due.
inline bool python_signal_pending() noexcept {
    if (LockRelease* region = LockRelease::current()) return region->signal_pending();
    return PyErr_CheckSignals() != 0;
}

// Runs `body` (returning Ref) and converts every C++ failure into a Python error.
template <class Body>
PyObject* guarded(Raises raises, Body&& body) noexcept {
    try {
        const InterruptScope interrupts(&python_signal_pending);
        return body().release();
    } catch (const PyErrorAlreadySet&) {
    } catch (const Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    } catch (const SegmoraError& e) {
        set_error(exception_class(raises), e.display());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_error(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

template <class F>
constexpr const char* doc_of() {
    if constexpr (requires { F::doc; }) return F::doc;
    else return "";
}

template <class F>
const Signature& signature_of() {
    static const Signature sig(F::signature);
    return sig;
}

template <class F>
PyObject* function_trampoline(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded(F::raises, [&] {
        Args parsed(signature_of<F>(), args, nargs, kwnames);
        return F::call(parsed);
    });
}

// The method definition of a module function (lives for the process).
template <class F>
PyMethodDef* function_def() {
    static const std::string doc = signature_of<F>().docstring(doc_of<F>());
    static PyMethodDef def{signature_of<F>().name().c_str(),
                           reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&function_trampoline<F>)),
                           METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    return &def;
}

}  // namespace segmora::py
