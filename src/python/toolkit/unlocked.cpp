#include "python/toolkit/unlocked.hpp"

#include <thread>

#include "python/toolkit/output.hpp"
#include "python/toolkit/ref.hpp"

namespace segmora::py {

namespace {

// Whether the calling thread (holding the lock) is the one the interpreter runs
// signal handlers on: the main thread. Without threading loaded no other
// thread was started through it; when in doubt, the answer is yes.
bool handles_signals() noexcept {
    PyObject* threading = loaded_module("threading");
    if (!threading) return true;
    Ref main = Ref::adopt(PyObject_CallMethod(threading, "main_thread", nullptr));
    Ref ident = main ? Ref::adopt(PyObject_GetAttrString(main.get(), "ident")) : Ref();
    const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return main_ident == PyThread_get_thread_ident();
}

}  // namespace

void LockRelease::take_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {  // the unwind that ends the thread: never let it leave
        for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

bool LockRelease::signal_pending() noexcept {
    if (!handles_signals_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_check_) return false;
    // With the lock held the thread is outside the region: a call made by a
    // signal handler runs as any other call.
    current() = nullptr;
    take_back(state_);
    if (!asked_) {
        asked_ = true;
        handles_signals_ = handles_signals();
    }
    const bool pending = handles_signals_ && PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    current() = this;
    next_check_ = std::chrono::steady_clock::now() + kSignalPoll;
    return pending;
}

}  // namespace segmora::py
