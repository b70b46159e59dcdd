#include "bindings/logging_bridge.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/errors.hpp"
#include "bindings/python.hpp"
#include "common/log.hpp"

namespace qmc::py {
namespace {

using common::log::Level;

int python_level(Level level) {
    switch (level) {
        case Level::Error: return 40;
        case Level::Warn: return 30;
        case Level::Info: return 20;
        case Level::Debug: return 10;
        case Level::Trace: return 5;
        case Level::Off: break;
    }
    return 0;
}

bool more_verbose(Level level, Level threshold) {
    return static_cast<int>(level) > static_cast<int>(threshold);
}

bool interpreter_finalizing() {
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

// "a::b::c" -> {"a", "b", "c"}
std::vector<std::string_view> origin_segments(std::string_view origin) {
    std::vector<std::string_view> segments;
    for (;;) {
        const auto separator = origin.find("::");
        segments.push_back(origin.substr(0, separator));
        if (separator == std::string_view::npos) return segments;
        origin.remove_prefix(separator + 2);
    }
}

// "a::b" -> "a.b"
std::string logger_name(std::string_view origin) {
    std::string name;
    for (std::string_view segment : origin_segments(origin)) {
        if (!name.empty()) name += '.';
        name += segment;
    }
    return name;
}

class LoggingBridge final : public common::log::Sink {
public:
    // Imports `logging` and hooks the interpreter's exit; GIL held.
    bool attach() {
        logging_ = PyImport_ImportModule("logging");
        if (logging_ == nullptr) return false;
        get_logger_ = PyUnicode_InternFromString("getLogger");
        is_enabled_for_ = PyUnicode_InternFromString("isEnabledFor");
        make_record_ = PyUnicode_InternFromString("makeRecord");
        handle_ = PyUnicode_InternFromString("handle");
        if (!get_logger_ || !is_enabled_for_ || !make_record_ || !handle_) return false;
        return register_exit_hook();
    }

    bool enabled(Level level, std::string_view origin) const override {
        if (level == Level::Off || more_verbose(level, Level::Debug)) return false;
        if (finalizing_.load()) return false;
        const Entry* entry = find(origin);
        return entry == nullptr || !more_verbose(level, entry->threshold);
    }

    void write(const common::log::Record& record) noexcept override {
        if (!enabled(record.level, record.origin)) return;
        // Announce the call before the last look at the flag: the exit hook
        // sets the flag before it counts, so one of the two sees the other.
        in_flight_.fetch_add(1);
        if (!finalizing_.load() && Py_IsInitialized() && !interpreter_finalizing()) {
            const PyGILState_STATE gil = PyGILState_Ensure();
            SavedException saved;
            try {
                forward(record);
            } catch (...) {
                // Out of memory while building texts: the record is lost.
            }
            saved.restore();
            PyGILState_Release(gil);
        }
        if (in_flight_.fetch_sub(1) == 1 && finalizing_.load()) {
            std::lock_guard lock(drain_mutex_);
            drained_.notify_all();
        }
    }

private:
    struct Entry {
        PyObject* logger;  // strong reference, kept for the life of the process
        Level threshold;   // most verbose level the logger passed when cached
    };
    // Nodes are immutable once published; a change copies the path to it.
    struct Node {
        std::optional<Entry> entry;
        std::vector<std::pair<std::string, const Node*>> children;
    };

    const Entry* find(std::string_view origin) const {
        const Node* node = root_.load(std::memory_order_acquire);
        for (std::string_view segment : origin_segments(origin)) {
            if (node == nullptr) return nullptr;
            const Node* next = nullptr;
            for (const auto& [name, child] : node->children) {
                if (name == segment) {
                    next = child;
                    break;
                }
            }
            node = next;
        }
        return node != nullptr && node->entry ? &*node->entry : nullptr;
    }

    // A copy of `node` (or a fresh one) with `entry` stored at the path.
    const Node* with_entry(const Node* node, const std::vector<std::string_view>& path,
                           std::size_t depth, const Entry& entry) {
        auto copy = node != nullptr ? std::make_unique<Node>(*node) : std::make_unique<Node>();
        if (depth == path.size()) {
            copy->entry = entry;
        } else {
            const Node* child = nullptr;
            std::size_t slot = copy->children.size();
            for (std::size_t i = 0; i < copy->children.size(); ++i) {
                if (copy->children[i].first == path[depth]) {
                    child = copy->children[i].second;
                    slot = i;
                }
            }
            const Node* replaced = with_entry(child, path, depth + 1, entry);
            if (slot == copy->children.size())
                copy->children.emplace_back(std::string(path[depth]), replaced);
            else
                copy->children[slot].second = replaced;
        }
        const Node* published = copy.get();
        std::lock_guard lock(nodes_mutex_);
        nodes_.push_back(std::move(copy));
        return published;
    }

    void store(std::string_view origin, const Entry& entry) {
        const auto path = origin_segments(origin);
        const Node* current = root_.load(std::memory_order_acquire);
        for (;;) {
            const Node* updated = with_entry(current, path, 0, entry);
            if (root_.compare_exchange_weak(current, updated, std::memory_order_acq_rel)) return;
        }
    }

    // Asks the logger; -1 with an exception set on failure.
    int is_enabled_for(PyObject* logger, int level) {
        PyObject* number = PyLong_FromLong(level);
        if (number == nullptr) return -1;
        PyObject* answer = PyObject_CallMethodOneArg(logger, is_enabled_for_, number);
        Py_DECREF(number);
        if (answer == nullptr) return -1;
        const int truth = PyObject_IsTrue(answer);
        Py_DECREF(answer);
        return truth;
    }

    // The threshold the cache keeps for `logger`: the most verbose level it
    // passes now. Trace if asking fails (the exception stays set).
    Level probe_threshold(PyObject* logger) {
        static constexpr Level kLevels[] = {Level::Trace, Level::Debug, Level::Info, Level::Warn,
                                            Level::Error};
        for (Level level : kLevels) {
            const int passes = is_enabled_for(logger, python_level(level));
            if (passes < 0) return Level::Trace;
            if (passes > 0) return level;
        }
        return Level::Off;
    }

    // Hands the record to Python; GIL held, no exception pending on entry.
    void forward(const common::log::Record& record) {
        const Entry* cached = find(record.origin);
        const std::string name = logger_name(record.origin);
        PyObject* logger = nullptr;
        if (cached != nullptr) {
            logger = cached->logger;
            Py_INCREF(logger);
        } else {
            PyObject* py_name = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
            if (py_name != nullptr) {
                logger = PyObject_CallMethodOneArg(logging_, get_logger_, py_name);
                Py_DECREF(py_name);
            }
        }
        if (logger != nullptr && emit(logger, name, record) && cached == nullptr) {
            const Level threshold = probe_threshold(logger);
            Py_INCREF(logger);  // the cache's reference
            store(record.origin, Entry{logger, threshold});
        }
        if (PyErr_Occurred()) {
            // Nobody waits for this error: report it rather than leave it
            // to surface in whatever Python code runs next on this thread.
            PyErr_WriteUnraisable(logger);
        }
        Py_XDECREF(logger);
    }

    // isEnabledFor, then makeRecord and handle; false with an exception set.
    bool emit(PyObject* logger, const std::string& name, const common::log::Record& record) {
        const int level = python_level(record.level);
        const int passes = is_enabled_for(logger, level);
        if (passes <= 0) return passes == 0;
        PyObject* py_name = PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
        PyObject* py_level = PyLong_FromLong(level);
        PyObject* file = record.file != nullptr ? PyUnicode_DecodeFSDefault(record.file) : Py_NewRef(Py_None);
        PyObject* line = PyLong_FromUnsignedLong(record.line);
        PyObject* message = PyUnicode_DecodeUTF8(record.message.data(),
                                                 static_cast<Py_ssize_t>(record.message.size()), "replace");
        PyObject* no_args = PyTuple_New(0);
        bool ok = false;
        if (py_name && py_level && file && line && message && no_args) {
            PyObject* py_record = PyObject_CallMethodObjArgs(logger, make_record_, py_name, py_level, file,
                                                             line, message, no_args, Py_None, nullptr);
            if (py_record != nullptr) {
                PyObject* handled = PyObject_CallMethodOneArg(logger, handle_, py_record);
                Py_DECREF(py_record);
                ok = handled != nullptr;
                Py_XDECREF(handled);
            }
        }
        Py_XDECREF(py_name);
        Py_XDECREF(py_level);
        Py_XDECREF(file);
        Py_XDECREF(line);
        Py_XDECREF(message);
        Py_XDECREF(no_args);
        return ok;
    }

    // Interpreter exit: stop forwarding, then let records already on their
    // way to Python finish (they need the lock we hold, so release it).
    static PyObject* on_exit(PyObject* /*self*/, PyObject* /*unused*/);

    bool register_exit_hook() {
        static PyMethodDef hook{"_quorvel_stop_log_forwarding", &LoggingBridge::on_exit, METH_NOARGS,
                                nullptr};
        PyObject* function = PyCFunction_New(&hook, nullptr);
        PyObject* atexit = PyImport_ImportModule("atexit");
        PyObject* registered = nullptr;
        if (function != nullptr && atexit != nullptr)
            registered = PyObject_CallMethod(atexit, "register", "O", function);
        Py_XDECREF(function);
        Py_XDECREF(atexit);
        Py_XDECREF(registered);
        return registered != nullptr;
    }

    void stop_forwarding() {
        finalizing_.store(true);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        Py_BEGIN_ALLOW_THREADS
        std::unique_lock lock(drain_mutex_);
        drained_.wait_until(lock, deadline, [this] { return in_flight_.load() == 0; });
        Py_END_ALLOW_THREADS
    }

    PyObject* logging_ = nullptr;
    PyObject* get_logger_ = nullptr;
    PyObject* is_enabled_for_ = nullptr;
    PyObject* make_record_ = nullptr;
    PyObject* handle_ = nullptr;

    std::atomic<const Node*> root_{nullptr};
    std::mutex nodes_mutex_;                    // guards nodes_ (writers only)
    std::vector<std::unique_ptr<Node>> nodes_;  // every node ever published

    std::atomic<bool> finalizing_{false};
    std::atomic<int> in_flight_{0};
    std::mutex drain_mutex_;  // pairs with drained_ for the exit hook's wait
    std::condition_variable drained_;
};

// Lives for the rest of the process: threads may log until it ends.
LoggingBridge* installed_bridge = nullptr;

PyObject* LoggingBridge::on_exit(PyObject*, PyObject*) {
    if (installed_bridge != nullptr) installed_bridge->stop_forwarding();
    Py_RETURN_NONE;
}

}  // namespace

void install_logging_bridge() {
    if (installed_bridge != nullptr) return;  // callers hold the GIL
    auto bridge = std::make_unique<LoggingBridge>();
    if (!bridge->attach()) {
        PyErr_Clear();
        throw Panic("Failed to initialize python logging");
    }
    if (!common::log::install_sink(bridge.get())) throw Panic("a log sink is already installed in this process");
    installed_bridge = bridge.release();
    common::log::set_max_level(Level::Debug);
}

}  // namespace qmc::py
