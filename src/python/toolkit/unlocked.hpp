// Computation without the interpreter lock.
//
// A call converts its arguments with the interpreter lock held, computes, and
// builds its results with the lock held again. unlocked(work) runs the middle
// step without the lock, so other Python threads run meanwhile and calls of
// this module made from several threads compute in parallel:
//
//   const Matrix data = to_matrix(std::move(rows));                       // lock held
//   KMeansResult r = unlocked(data.size(), [&] { return engine::kmeans(data, k, ...); });
//   return wrap(std::move(r));                                            // lock held
//
// `work` touches no Python object: it makes, copies and destroys no Ref,
// releases no buffer, sets no Python error (core errors and Interrupted leave
// it as C++ exceptions and become Python errors once the lock is back), and
// returns plain C++ values. What it reads is owned by the call or held by it
// (a buffer view, a snapshot of a list's items, tuples kept alive by Refs):
// other threads may run any Python code meanwhile, including code that
// changes the caller's lists. The lock is back before unlocked() returns or
// throws.
//
// unlocked(size, work) gives the lock away only when `size` (the values the
// work reads) reaches kUnlockedMinimum: releasing costs little, but taking the
// lock back from a busy Python thread may take a whole switch interval (5 ms by
// default), which a small computation would not repay.
//
// Ctrl-C: inside a region the call's interrupt check (function.hpp) asks
// LockRelease::signal_pending(), which takes the lock back for a moment to run
// the interpreter's signal handlers, at most once per kSignalPoll and only on
// the thread that handles signals (the main thread); other threads never take
// the lock back before the work is done. Worker threads have no check.
//
// Regions nest: inside one, unlocked() runs `work` as it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "python/toolkit/python.hpp"

namespace segmora::py {

// Inputs smaller than this are computed with the lock held.
inline constexpr std::size_t kUnlockedMinimum = 16384;

// The interpreter lock given away by the calling thread for a scope.
class LockRelease {
public:
    LockRelease() noexcept : state_(PyEval_SaveThread()), next_check_(std::chrono::steady_clock::now() + kSignalPoll) {
        current() = this;
    }
    ~LockRelease() {
        current() = nullptr;
        take_back(state_);
    }
    LockRelease(const LockRelease&) = delete;
    LockRelease& operator=(const LockRelease&) = delete;

    // The region of the calling thread, or null when it holds the lock.
    static LockRelease*& current() noexcept {
        thread_local LockRelease* region = nullptr;
        return region;
    }

    // Whether a signal handler raised (its exception is then pending; the
    // lock is given away again either way).
    bool signal_pending() noexcept;

private:
    static constexpr auto kSignalPoll = std::chrono::milliseconds(20);

    // PyEval_RestoreThread. A thread that would take the lock back after the
    // interpreter has shut down (a daemon thread still computing when the
    // program ended) is ended by the interpreter with a forced unwind, which
    // would run destructors of Python objects without the lock or end the
    // process through a noexcept frame. Such a thread stops here instead,
    // waiting for the process to exit.
    static void take_back(PyThreadState* state) noexcept;

    PyThreadState* state_;
    std::chrono::steady_clock::time_point next_check_;
    bool asked_ = false;           // whether this thread was asked if it handles signals
    bool handles_signals_ = true;  // the answer
};

template <class Work>
decltype(auto) unlocked(Work&& work) {
    if (LockRelease::current()) return std::forward<Work>(work)();
    const LockRelease release;
    return std::forward<Work>(work)();
}

template <class Work>
decltype(auto) unlocked(std::size_t size, Work&& work) {
    if (size < kUnlockedMinimum) return std::forward<Work>(work)();
    return unlocked(std::forward<Work>(work));
}

}  // namespace segmora::py
