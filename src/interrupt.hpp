// Interrupting long calls: a check the binding installs on the calling thread.
//
// The core never sees the interpreter. For the length of one call the binding
// installs an InterruptScope whose check reports whether the caller wants the
// call stopped (a pending Ctrl-C). Long loops on the calling thread call
// poll_interrupt() between iterations or chunks; a worker pool polls while its
// caller waits. A pending interrupt unwinds as Interrupted before any state the
// caller can see is changed. Worker threads have no check installed, so polling
// there does nothing. Without a scope (C++ callers, tests) nothing is polled.
#pragma once

#include <exception>

namespace segmora {

// Thrown on the calling thread when the installed check reports an interrupt;
// the check itself has already recorded the reason (a pending Python exception).
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Installs `check` for the calling thread until destroyed, then restores the
// previous one (scopes nest: a call made from a callback inside another call).
class InterruptScope {
public:
    using Check = bool (*)() noexcept;
    explicit InterruptScope(Check check) noexcept : previous_(current()) { current() = check; }
    ~InterruptScope() { current() = previous_; }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // The check installed on this thread, or null.
    static Check& current() noexcept {
        thread_local Check check = nullptr;
        return check;
    }

private:
    Check previous_;
};

// Whether an interrupt is pending for the calling thread's call.
inline bool interrupt_pending() noexcept {
    const InterruptScope::Check check = InterruptScope::current();
    return check != nullptr && check();
}

// Throws Interrupted when an interrupt is pending.
inline void poll_interrupt() {
    if (interrupt_pending()) throw Interrupted{};
}

}  // namespace segmora
