#include "bindings/live_loops.hpp"

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/interpreter_state.hpp"
#include "bindings/python.hpp"

namespace qmc::py {
namespace {

using quorvel::QuorvelControlLoop;

class LiveLoops {
public:
    void add(const std::shared_ptr<QuorvelControlLoop>& loop) {
        std::lock_guard lock(mutex_);
        std::erase_if(loops_, [](const auto& weak) { return weak.expired(); });
        loops_.push_back(loop);
    }

    std::vector<std::shared_ptr<QuorvelControlLoop>> running() {
        std::vector<std::shared_ptr<QuorvelControlLoop>> found;
        std::lock_guard lock(mutex_);
        for (const auto& weak : loops_)
            if (auto loop = weak.lock()) found.push_back(std::move(loop));
        return found;
    }

private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<QuorvelControlLoop>> loops_;
};

// Used until the process ends (a forked child starts a new one).
std::atomic<LiveLoops*> registry{new LiveLoops()};

LiveLoops& live_loops() { return *registry.load(); }

PyObject* close_live_loops(PyObject*, PyObject*) {
    note_exit_thread();
    return guarded([]() -> PyObject* {
        auto loops = live_loops().running();
        allow_threads([&] {
            for (auto& loop : loops) loop->close();
            loops.clear();  // a loop whose Python object is gone is released here
        });
        Py_RETURN_NONE;
    });
}

// atexit runs its hooks last-registered first: registered after the logging
// bridge's hook, this one runs while records can still reach Python.
bool register_exit_hook_once() {
    static PyMethodDef hook{"_quorvel_close_control_loops", close_live_loops, METH_NOARGS, nullptr};
    PyObject* function = PyCFunction_New(&hook, nullptr);
    PyObject* atexit = function != nullptr ? PyImport_ImportModule("atexit") : nullptr;
    PyObject* registered = atexit != nullptr ? PyObject_CallMethod(atexit, "register", "O", function) : nullptr;
    Py_XDECREF(function);
    Py_XDECREF(atexit);
    Py_XDECREF(registered);
    return registered != nullptr;
}

}  // namespace

void add_live_loop(const std::shared_ptr<QuorvelControlLoop>& loop) { live_loops().add(loop); }

// The parent's registry is left as it was (another thread may have held its
// mutex at the fork); the loops it names are the parent's, not to be closed here.
void forget_live_loops_after_fork() { registry.store(new LiveLoops()); }

bool register_live_loops_exit_hook() {
    static bool registered = false;  // interpreter lock held
    if (!registered && !register_exit_hook_once()) return false;
    registered = true;
    return true;
}

}  // namespace qmc::py
