// Releasing the interpreter lock around waits that do not touch Python.
#pragma once

#include <utility>

#include "bindings/python.hpp"

namespace qmc::py {

// Releases the interpreter lock for its lifetime (the calling thread must
// hold it). Only C++ values may be used inside: no Python object, no
// Python call. The lock is taken back even when the scope unwinds.
class AllowThreads {
public:
    AllowThreads() : saved_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(saved_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* saved_;
};

// Runs `wait` without the interpreter lock and returns its result.
template <class F>
decltype(auto) allow_threads(F&& wait) {
    AllowThreads released;
    return std::forward<F>(wait)();
}

}  // namespace qmc::py
