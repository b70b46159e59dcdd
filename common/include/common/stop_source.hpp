// Asking a long operation to stop early: from another thread (request_stop),
// or through a check that the operation's own thread runs while it waits
// (the Python bindings run the interpreter's signal handlers there, so that
// Ctrl-C ends a homing or a start-up wait).
//
//   common::StopSource stop;                          // stopped by request_stop()
//   common::StopSource stop([] { return ctrl_c(); });  // or by its check
//   if (!common::sleep_unless_stopped(&stop, 100ms)) return interrupted;
//
// Operations take a StopSource* that may be null: null never stops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace common {

class StopSource {
public:
    // Runs on the waiting thread; true means stop (for good).
    using Check = std::function<bool()>;
    // A sleep runs the check at least this often.
    static constexpr std::chrono::milliseconds kCheckPeriod{40};

    StopSource() = default;
    explicit StopSource(Check check) : check_(std::move(check)) {}
    StopSource(const StopSource&) = delete;
    StopSource& operator=(const StopSource&) = delete;

    // Any thread: stops for good and wakes a sleep in progress.
    void request_stop();
    // The operation's thread: true once stopped; runs the check first.
    bool stop_requested();
    // The operation's thread: sleeps until `deadline` (monotonic clock)
    // unless stopped first. True if the whole time passed.
    bool sleep_until(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex mutex_;                  // with woken_, for the sleeps
    std::condition_variable woken_;
    std::atomic<bool> stopped_{false};  // written under mutex_, read anywhere
    Check check_;                       // set once, at construction
};

// Null-tolerant forms: a null source never stops.
inline bool stop_requested(StopSource* stop) { return stop != nullptr && stop->stop_requested(); }
bool sleep_unless_stopped(StopSource* stop, std::chrono::nanoseconds duration);

}  // namespace common
