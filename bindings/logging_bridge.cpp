#include "bindings/logging_bridge.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <thread>
#include <vector>

#include <pthread.h>
#include <signal.h>

#include "bindings/errors.hpp"
#include "bindings/interpreter_state.hpp"
#include "bindings/logger_cache.hpp"
#include "bindings/python.hpp"
#include "common/log.hpp"

namespace qmc::py {
namespace {

using common::log::Level;

// Records a native thread hands to the forwarding thread before they drop
// the oldest: a burst of a few seconds of a loop logging every tick.
constexpr std::size_t kQueueCapacity = 1024;
// How long interpreter exit waits for records on their way to Python.
constexpr auto kExitDrainTime = std::chrono::seconds(5);

// A record copied out of the logging statement, to be forwarded later.
struct QueuedRecord {
    Level level;
    std::string origin;
    std::optional<std::string> file;
    unsigned line;
    std::string message;

    explicit QueuedRecord(const common::log::Record& r)
        : level(r.level),
          origin(r.origin),
          file(r.file != nullptr ? std::optional<std::string>(r.file) : std::nullopt),
          line(r.line),
          message(r.message) {}

    common::log::Record view() const { return {level, origin, file ? file->c_str() : nullptr, line, message}; }
};

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
        if (closed_.load()) return false;
        const LoggerCache::Entry* entry = cache_.find(origin);
        return entry == nullptr || !more_verbose(level, entry->threshold);
    }

    // A thread that is a Python thread (the caller of a method, holding or
    // having released the interpreter lock) forwards its record at once. Any
    // other thread (a control loop's) hands it to the forwarding thread and
    // goes on: it never waits for the interpreter lock.
    void write(const common::log::Record& record) noexcept override {
        if (!enabled(record.level, record.origin)) return;
        // Announce the call before the last look at the flag: the exit hook
        // sets the flag before it counts, so one of the two sees the other.
        in_flight_.fetch_add(1);
        if (!closed_.load() && Py_IsInitialized() && !interpreter_finalizing()) {
            if (PyGILState_GetThisThreadState() != nullptr) {
                const PyGILState_STATE gil = PyGILState_Ensure();
                SavedException saved;
                try {
                    forward(record);
                } catch (...) {
                    // Out of memory while building texts: the record is lost.
                }
                saved.restore();
                PyGILState_Release(gil);
            } else {
                hand_off(record);
            }
        }
        if (in_flight_.fetch_sub(1) == 1 && closed_.load()) {
            std::lock_guard lock(drain_mutex_);
            drained_.notify_all();
        }
    }

    // Waits until every record handed off before the call has reached Python
    // (or been dropped), at most until `deadline`. Without the interpreter lock.
    bool flush(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(queue_mutex_);
        const std::uint64_t target = handed_off_;
        return settled_.wait_until(lock, deadline, [&] { return forwarded_ >= target || forwarder_done_; });
    }

private:
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
        const LoggerCache::Entry* cached = cache_.find(record.origin);
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
            cache_.store(record.origin, LoggerCache::Entry{logger, threshold});
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

    // Queues a copy for the forwarding thread (started on first use). A full
    // queue loses its oldest record; the loss is reported in order.
    void hand_off(const common::log::Record& record) noexcept {
        try {
            QueuedRecord copy(record);
            {
                std::lock_guard lock(queue_mutex_);
                if (forwarder_done_) return;
                if (!forwarder_.joinable() && !start_forwarder()) return;
                if (queue_.size() >= kQueueCapacity) {
                    dropped_origin_ = std::move(queue_.front().origin);
                    queue_.pop_front();
                    ++dropped_;
                }
                queue_.push_back(std::move(copy));
                ++handed_off_;
            }
            queue_ready_.notify_one();
        } catch (...) {
            // Out of memory: the record is lost.
        }
    }

    // queue_mutex_ held. The forwarding thread takes no signals: they belong
    // to the program's own threads.
    bool start_forwarder() {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            forwarder_ = std::thread([this] { forward_queued(); });
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return forwarder_.joinable();
    }

    // The forwarding thread: takes what is queued, in order, and hands it to
    // Python under the interpreter lock; ends once stopping and empty.
    void forward_queued() {
        for (;;) {
            std::deque<QueuedRecord> batch;
            std::uint64_t dropped = 0;
            std::string dropped_origin;
            {
                std::unique_lock lock(queue_mutex_);
                queue_ready_.wait(lock, [this] { return !queue_.empty() || dropped_ != 0 || stopping_; });
                if (queue_.empty() && dropped_ == 0) break;  // stopping, all delivered
                batch.swap(queue_);
                dropped = std::exchange(dropped_, 0);
                dropped_origin = std::move(dropped_origin_);
            }
            if (!abandoned_.load()) {
                const PyGILState_STATE gil = PyGILState_Ensure();
                try {
                    if (dropped != 0) report_dropped(dropped, dropped_origin);
                    for (const QueuedRecord& record : batch) forward(record.view());
                } catch (...) {
                    // Out of memory while building texts: the rest of the batch is lost.
                }
                PyGILState_Release(gil);
            }
            {
                std::lock_guard lock(queue_mutex_);
                forwarded_ += batch.size() + dropped;
            }
            settled_.notify_all();
        }
        {
            std::lock_guard lock(queue_mutex_);
            forwarder_done_ = true;
        }
        settled_.notify_all();
    }

    // A warning in place of the records lost from a full queue; GIL held.
    void report_dropped(std::uint64_t count, const std::string& origin) {
        const std::string message = std::to_string(count) +
                                    " log records dropped: the queue to Python's logging was full";
        forward(common::log::Record{Level::Warn, origin, __FILE__, __LINE__, message});
    }

    // Interpreter exit: stop taking records, let those on their way to
    // Python arrive (they need the lock we hold, so release it), then end
    // the forwarding thread, all before finalisation begins.
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
        closed_.store(true);
        const auto deadline = std::chrono::steady_clock::now() + kExitDrainTime;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock lock(drain_mutex_);
            drained_.wait_until(lock, deadline, [this] { return in_flight_.load() == 0; });
        }
        bool done = false;
        {
            std::unique_lock lock(queue_mutex_);
            stopping_ = true;
            queue_ready_.notify_all();
            done = settled_.wait_until(lock, deadline, [this] { return forwarder_done_ || !forwarder_.joinable(); });
        }
        if (forwarder_.joinable()) {
            if (done) {
                forwarder_.join();
            } else {
                // Stuck in a Python handler: it must not take the lock again.
                abandoned_.store(true);
                forwarder_.detach();
            }
        }
        Py_END_ALLOW_THREADS
    }

    PyObject* logging_ = nullptr;
    PyObject* get_logger_ = nullptr;
    PyObject* is_enabled_for_ = nullptr;
    PyObject* make_record_ = nullptr;
    PyObject* handle_ = nullptr;

    LoggerCache cache_;  // the loggers by origin, read without a lock

    std::atomic<bool> closed_{false};  // interpreter exit has begun: drop records
    std::atomic<int> in_flight_{0};
    std::mutex drain_mutex_;  // pairs with drained_ for the exit hook's wait
    std::condition_variable drained_;

    // The hand-off to the forwarding thread. queue_mutex_ guards every member
    // below it; it is held for a push, a swap of the queue or a count, never
    // while Python runs.
    std::mutex queue_mutex_;
    std::deque<QueuedRecord> queue_;
    std::uint64_t dropped_ = 0;      // lost from a full queue, not yet reported
    std::string dropped_origin_;     // origin of the last record lost
    std::uint64_t handed_off_ = 0;   // records queued so far
    std::uint64_t forwarded_ = 0;    // records delivered (or lost) so far
    bool stopping_ = false;          // interpreter exit: end once empty
    bool forwarder_done_ = false;    // the forwarding thread has ended
    std::condition_variable queue_ready_;  // something to forward, or stopping
    std::condition_variable settled_;      // forwarded_ or forwarder_done_ moved
    std::thread forwarder_;                // started on the first hand-off
    std::atomic<bool> abandoned_{false};   // exit gave up waiting for it
};

// Lives for the rest of the process: threads may log until it ends.
LoggingBridge* installed_bridge = nullptr;

PyObject* LoggingBridge::on_exit(PyObject*, PyObject*) {
    if (installed_bridge != nullptr) installed_bridge->stop_forwarding();
    Py_RETURN_NONE;
}

}  // namespace

bool flush_log_records(std::chrono::steady_clock::time_point deadline) {
    return installed_bridge == nullptr || installed_bridge->flush(deadline);
}

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
