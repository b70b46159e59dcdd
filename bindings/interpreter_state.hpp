// The interpreter's state as a native thread that logs must see it: whether
// finalisation has begun, and the pending exception set aside while a record
// is handed to Python.
#pragma once

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
