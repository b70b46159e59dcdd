// The simulator's one clock: CLOCK_MONOTONIC in seconds, the same clock as
// Python's time.monotonic(), so log time stamps can be compared across both;
// and the bus threads' one wait on it.
#pragma once

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cmath>

namespace torso_sim {

inline double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ppoll until `deadline` (INFINITY: no time limit), `now` being the time it
// is; ppoll's result.
inline int poll_until(pollfd* fds, nfds_t count, double deadline, double now) {
    timespec wait{};
    timespec* timeout = nullptr;
    if (deadline != INFINITY) {
        const double remaining = std::max(deadline - now, 0.0);
        wait.tv_sec = static_cast<time_t>(remaining);
        wait.tv_nsec = static_cast<long>((remaining - static_cast<double>(wait.tv_sec)) * 1e9);
        timeout = &wait;
    }
    return ppoll(fds, count, timeout, nullptr);
}

}  // namespace torso_sim
