// The simulator's one clock: CLOCK_MONOTONIC in seconds, the same clock as
// Python's time.monotonic(), so log time stamps can be compared across both.
#pragma once

#include <time.h>

namespace torso_sim {

inline double monotonic_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace torso_sim
