// Monotonic deadlines for bounded waits.
#pragma once

#include <algorithm>
#include <chrono>

namespace candrive {

using MonotonicClock = std::chrono::steady_clock;

// Now plus `timeout`, saturating instead of overflowing for huge time-outs;
// a negative time-out is an immediate deadline.
inline MonotonicClock::time_point deadline_after(std::chrono::nanoseconds timeout) {
    const MonotonicClock::time_point now = MonotonicClock::now();
    const auto headroom = std::chrono::duration_cast<std::chrono::nanoseconds>(MonotonicClock::time_point::max() - now);
    return now + std::clamp(timeout, std::chrono::nanoseconds::zero(), headroom);
}

}  // namespace candrive
