// Releasing the interpreter lock around waits that do not touch Python.
#pragma once

#include <utility>

#include "bindings/interpreter_state.hpp"
#include "bindings/python.hpp"
#include "common/stop_source.hpp"

namespace qmc::py {

// Releases the interpreter lock for its lifetime (the calling thread must
// hold it). Only C++ values may be used inside: no Python object, no
// Python call. The lock is taken back even when the scope unwinds.
//
// A thread that comes back once the interpreter is finalising (a daemon
// thread still inside a call when the program ends) never gets the lock:
// it is parked here for the rest of the process. If finalisation begins
// while it waits for the lock, Python 3.10-3.13 end it inside
// PyEval_RestoreThread by a forced unwinding (pthread_exit); the destructor
// lets that pass (noexcept(false)), as must every frame up to the
// interpreter's (see `guarded`).
class AllowThreads {
public:
    AllowThreads() : saved_(PyEval_SaveThread()) {}
    ~AllowThreads() noexcept(false) {
        if (interpreter_closed_to_this_thread()) park_thread();
        PyEval_RestoreThread(saved_);
    }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* saved_;
};

// For code running without the interpreter lock on a thread that released
// it (AllowThreads): takes the lock back briefly, runs the interpreter's
// signal handlers, releases the lock again and reports whether a handler
// raised (KeyboardInterrupt for Ctrl-C). The exception then stays set for
// the caller to return once it holds the lock again. Once the interpreter
// is finalising it says "stop" without touching it: the operation ends and
// the thread is parked when it wants the lock back (AllowThreads).
inline bool signal_handler_raised_unlocked() {
    if (interpreter_closed_to_this_thread()) return true;
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() < 0;
    PyGILState_Release(state);
    return raised;
}

// Runs `wait` without the interpreter lock and returns its result.
template <class F>
decltype(auto) allow_threads(F&& wait) {
    AllowThreads released;
    return std::forward<F>(wait)();
}

// Runs `wait(stop)` without the interpreter lock, with a stop source that
// runs the signal handlers whenever the wait looks at it (a wait for the
// control loop: every StopSource::kCheckPeriod); once one raises, the wait
// ends stopped and the exception is set.
template <class F>
auto until_signal(F&& wait) {
    return allow_threads([&] {
        common::StopSource stop(signal_handler_raised_unlocked);
        return std::forward<F>(wait)(&stop);
    });
}

}  // namespace qmc::py
