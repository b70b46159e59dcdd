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

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>

#include <cinttypes>
#include <cstdio>

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
// How long interpreter exit waits for records on their way to Python; the
// rest are dropped (and counted on stderr): exit must not hang on a slow
// handler.
constexpr auto kExitDrainTime = std::chrono::milliseconds(800);
// Then how long it waits for the forwarding thread to leave the handler it
// is in, so that it is out of Python when finalisation begins.
constexpr auto kExitLeaveTime = std::chrono::milliseconds(200);

// Set on the forwarding thread: it cannot wait for records queued behind
// the one it is delivering (a handler calling close() would wait on itself).
thread_local bool on_forwarding_thread = false;

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

// What delivering records involves besides Python: the Python threads in
// the middle of forwarding one, and the hand-off to the forwarding thread.
// A forked child starts with a fresh one: the parent's forwarding thread
// does not exist there, and the parent's threads may have held its mutexes.
struct Delivery {
    std::atomic<int> in_flight{0};  // Python threads forwarding a record now
    std::mutex drain_mutex;         // pairs with drained for the exit hook's wait
    std::condition_variable drained;

    // `mutex` guards every member below it; it is held for a push, a swap
    // of the queue or a count, never while Python runs.
    std::mutex mutex;
    std::deque<QueuedRecord> queue;
    std::uint64_t dropped = 0;     // lost from a full queue, not yet reported
    std::string dropped_origin;    // origin of the last record lost
    std::uint64_t handed_off = 0;  // records queued so far
    std::uint64_t settled = 0;     // records delivered (or lost and reported) so far
    bool stopping = false;         // interpreter exit: end once empty
    bool done = false;             // the forwarding thread has ended
    std::condition_variable ready;    // something to forward, or stopping
    std::condition_variable settles;  // settled or done moved
    std::thread thread;               // started on the first hand-off
    std::atomic<bool> abandoned{false};  // exit stopped waiting: no more Python

    void settle(std::uint64_t count) {
        {
            std::lock_guard lock(mutex);
            settled += count;
        }
        settles.notify_all();
    }
};

// True while a thread may still take the interpreter lock to deliver.
bool interpreter_open() { return Py_IsInitialized() && !interpreter_finalizing(); }

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
    // Not noexcept: the interpreter may end a Python thread in here (at exit),
    // by an unwinding that must pass (see AllowThreads).
    void write(const common::log::Record& record) override {
        if (!enabled(record.level, record.origin)) return;
        Delivery& delivery = *delivery_.load();
        // Announce the call before the last look at the flag: the exit hook
        // sets the flag before it counts, so one of the two sees the other.
        const InFlight announced(delivery, closed_);
        if (closed_.load() || !interpreter_open()) return;
        if (PyGILState_GetThisThreadState() == nullptr) {
            hand_off(delivery, record);
            return;
        }
        const PyGILState_STATE gil = PyGILState_Ensure();
        SavedException saved;
        try {
            forward(record);
        } catch (abi::__forced_unwind&) {
            throw;
        } catch (...) {
            // Out of memory while building texts: the record is lost.
        }
        saved.restore();
        PyGILState_Release(gil);
    }

    // Waits until every record handed off before the call has reached Python
    // (or been dropped), at most until `deadline`. Without the interpreter
    // lock. On the forwarding thread (a handler) it returns false at once:
    // those records come after the one being handled.
    bool flush(std::chrono::steady_clock::time_point deadline) {
        if (on_forwarding_thread) return false;
        Delivery& delivery = *delivery_.load();
        std::unique_lock lock(delivery.mutex);
        const std::uint64_t target = delivery.handed_off;
        return delivery.settles.wait_until(lock, deadline,
                                           [&] { return delivery.settled >= target || delivery.done; });
    }

    // In a forked child: the parent's forwarding thread and the Python
    // threads that were forwarding are not there. Nothing else runs yet.
    void forget_after_fork() { delivery_.store(new Delivery()); }  // the parent's copy is left as it is

private:
    // Counts a Python thread in write(); the last one out while exit waits wakes it.
    class InFlight {
    public:
        InFlight(Delivery& delivery, const std::atomic<bool>& closed) : delivery_(delivery), closed_(closed) {
            delivery_.in_flight.fetch_add(1);
        }
        ~InFlight() {
            if (delivery_.in_flight.fetch_sub(1) == 1 && closed_.load()) {
                std::lock_guard lock(delivery_.drain_mutex);
                delivery_.drained.notify_all();
            }
        }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;

    private:
        Delivery& delivery_;
        const std::atomic<bool>& closed_;
    };

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
    void hand_off(Delivery& delivery, const common::log::Record& record) noexcept {
        try {
            QueuedRecord copy(record);
            {
                std::lock_guard lock(delivery.mutex);
                if (delivery.done) return;
                if (!delivery.thread.joinable() && !start_forwarder(delivery)) return;
                if (delivery.queue.size() >= kQueueCapacity) {
                    delivery.dropped_origin = std::move(delivery.queue.front().origin);
                    delivery.queue.pop_front();
                    ++delivery.dropped;
                }
                delivery.queue.push_back(std::move(copy));
                ++delivery.handed_off;
            }
            delivery.ready.notify_one();
        } catch (...) {
            // Out of memory: the record is lost.
        }
    }

    // delivery.mutex held. The forwarding thread takes no signals: they
    // belong to the program's own threads.
    bool start_forwarder(Delivery& delivery) {
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        try {
            delivery.thread = std::thread([this, &delivery] { forward_queued(delivery); });
        } catch (const std::system_error&) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return delivery.thread.joinable();
    }

    // The forwarding thread: takes what is queued, in order, and hands it to
    // Python under the interpreter lock; ends once stopping and empty, or at
    // once when exit has stopped waiting for it (never entering Python again).
    // Not noexcept: if finalisation begins while it is in a handler, the
    // interpreter ends it by an unwinding that must pass.
    void forward_queued(Delivery& delivery) {
        on_forwarding_thread = true;
        for (;;) {
            std::deque<QueuedRecord> batch;
            std::uint64_t dropped = 0;
            std::string dropped_origin;
            {
                std::unique_lock lock(delivery.mutex);
                delivery.ready.wait(lock, [&] {
                    return !delivery.queue.empty() || delivery.dropped != 0 || delivery.stopping;
                });
                if (delivery.queue.empty() && delivery.dropped == 0) break;  // stopping, all delivered
                batch.swap(delivery.queue);
                dropped = std::exchange(delivery.dropped, 0);
                dropped_origin = std::move(delivery.dropped_origin);
            }
            if (delivery.abandoned.load() || !interpreter_open()) break;
            std::size_t forwarded = 0;  // of the batch, each settled as it goes
            const PyGILState_STATE gil = PyGILState_Ensure();
            try {
                if (dropped != 0) report_dropped(dropped, dropped_origin);
                for (const QueuedRecord& record : batch) {
                    if (delivery.abandoned.load()) break;
                    forward(record.view());
                    ++forwarded;
                    delivery.settle(1);
                }
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
                // Out of memory while building texts: the rest of the batch is lost.
            }
            PyGILState_Release(gil);
            if (delivery.abandoned.load()) break;  // what is left, exit counts as dropped
            // The records lost from a full queue (reported now) and any a fault cut short.
            delivery.settle(dropped + (batch.size() - forwarded));
        }
        {
            std::lock_guard lock(delivery.mutex);
            delivery.done = true;
        }
        delivery.settles.notify_all();
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

    // Waits at most kExitDrainTime for the records on their way to Python,
    // then (if some are left) tells the forwarding thread to stop, gives it
    // kExitLeaveTime to leave the handler it is in, and says on stderr how
    // many records were dropped. Exit never waits longer for this module.
    void stop_forwarding() {
        note_exit_thread();
        closed_.store(true);
        Delivery& delivery = *delivery_.load();
        const auto deadline = std::chrono::steady_clock::now() + kExitDrainTime;
        std::uint64_t dropped = 0;
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock lock(delivery.drain_mutex);
            delivery.drained.wait_until(lock, deadline, [&] { return delivery.in_flight.load() == 0; });
        }
        {
            std::unique_lock lock(delivery.mutex);
            delivery.stopping = true;
            delivery.ready.notify_all();
            const auto finished = [&] { return delivery.done || !delivery.thread.joinable(); };
            if (!delivery.settles.wait_until(lock, deadline, finished)) {
                delivery.abandoned.store(true);
                (void)delivery.settles.wait_until(lock, deadline + kExitLeaveTime, finished);
                dropped = delivery.handed_off - delivery.settled;
            }
        }
        if (delivery.thread.joinable()) {
            if (delivery.done) {
                delivery.thread.join();  // it has left its loop: returns at once
            } else {
                delivery.thread.detach();  // still in a handler; it never enters Python again
            }
        }
        Py_END_ALLOW_THREADS
        if (dropped != 0) {
            std::fprintf(stderr,
                         "quorvel_motor_controller: %" PRIu64
                         " log records dropped at exit: Python's logging did not take them within %.1f s\n",
                         dropped, std::chrono::duration<double>(kExitDrainTime).count());
        }
    }

    PyObject* logging_ = nullptr;
    PyObject* get_logger_ = nullptr;
    PyObject* is_enabled_for_ = nullptr;
    PyObject* make_record_ = nullptr;
    PyObject* handle_ = nullptr;

    LoggerCache cache_;  // the loggers by origin, read without a lock

    std::atomic<bool> closed_{false};  // interpreter exit has begun: drop records
    // This process's delivery state (replaced in a forked child; never freed:
    // threads may hold it until the process ends).
    std::atomic<Delivery*> delivery_{new Delivery()};
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

void forget_log_forwarding_after_fork() {
    if (installed_bridge != nullptr) installed_bridge->forget_after_fork();
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
