// The interpreter's state as a native thread must see it: whether
// finalisation has begun (and whether this thread may still take the
// interpreter lock), and the pending exception set aside while a record is
// handed to Python.
#pragma once

#include <unistd.h>

#include <atomic>
#include <thread>

#include "bindings/python.hpp"

namespace qmc::py {

// True once the interpreter has begun finalising.
inline bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// The thread that ran the module's exit hooks: the one that finalises the
// interpreter (atexit runs on it just before finalisation begins).
inline std::atomic<std::thread::id> exit_thread{};

// Called by each exit hook of the module.
inline void note_exit_thread() { exit_thread.store(std::this_thread::get_id()); }

// True when this thread must not take the interpreter lock again: the
// interpreter is finalising (or gone) and this is not the thread doing it.
// Python 3.10-3.13 would end such a thread inside the call that takes the
// lock (pthread_exit, whose unwinding C++ frames must let pass); 3.14 hangs
// it there. Knowing it beforehand, the module parks the thread itself or
// leaves without touching the interpreter.
inline bool interpreter_closed_to_this_thread() {
    if (!interpreter_finalizing() && Py_IsInitialized()) return false;
    const std::thread::id finalizer = exit_thread.load();
    return finalizer != std::thread::id() && finalizer != std::this_thread::get_id();
}

// Blocks this thread for the rest of the process, which is ending: it holds
// Python state that it may never use again and must not unwind. Signals are
// left to the threads that handle them.
[[noreturn]] inline void park_thread() {
    for (;;) ::pause();
}

// Takes the thread's pending exception aside and puts it back on release.
class SavedException {
public:
#if PY_VERSION_HEX >= 0x030C0000
    SavedException() : exception_(PyErr_GetRaisedException()) {}
    void restore() {
        if (exception_ != nullptr) PyErr_SetRaisedException(exception_);
    }

private:
    PyObject* exception_;
#else
    SavedException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    void restore() {
        if (type_ != nullptr) PyErr_Restore(type_, value_, traceback_);
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace qmc::py
