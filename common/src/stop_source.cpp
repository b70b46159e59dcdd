#include "common/stop_source.hpp"

#include <algorithm>
#include <thread>

namespace common {

void StopSource::request_stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_.store(true, std::memory_order_release);
    }
    woken_.notify_all();
}

bool StopSource::stop_requested() {
    if (stopped_.load(std::memory_order_acquire)) return true;
    if (check_ && check_()) {
        request_stop();
        return true;
    }
    return false;
}

bool StopSource::sleep_until(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (stop_requested()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return true;
        // Without a check only another thread can stop us: one wait does.
        const auto until = check_ ? std::min(deadline, now + kCheckPeriod) : deadline;
        std::unique_lock lock(mutex_);
        woken_.wait_until(lock, until, [&] { return stopped_.load(std::memory_order_relaxed); });
    }
}

bool sleep_unless_stopped(StopSource* stop, std::chrono::nanoseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    if (stop == nullptr) {
        std::this_thread::sleep_until(deadline);
        return true;
    }
    return stop->sleep_until(deadline);
}

}  // namespace common
