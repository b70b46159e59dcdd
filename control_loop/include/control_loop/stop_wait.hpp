// A bounded wait that a stop source can end, for waits it cannot wake (a
// queue's condition variable): the wait runs in slices, and the stop is
// looked at between them. The Python bindings' stop source runs the
// interpreter's signal handlers there, so Ctrl-C ends a wait for the loop.
#pragma once

#include <algorithm>
#include <chrono>

#include "common/stop_source.hpp"

namespace quorvel {

enum class WaitEnd {
    Done,      // the wait ended by itself
    TimedOut,  // the deadline passed first
    Stopped,   // the stop source asked first
};

// Calls `wait(until)`, a wait that returns true once it is done and false
// when `until` passed first, in slices of at most StopSource::kCheckPeriod
// up to `deadline` (time_point::max(): no limit). `stop` (may be null) is
// looked at after each slice that ended undone, never before the first, so
// a wait that is done at once costs no check.
template <class Wait>
WaitEnd wait_unless_stopped(std::chrono::steady_clock::time_point deadline, common::StopSource* stop, Wait&& wait) {
    for (;;) {
        const auto slice_end = std::chrono::steady_clock::now() + common::StopSource::kCheckPeriod;
        if (wait(std::min(deadline, slice_end))) return WaitEnd::Done;
        if (std::chrono::steady_clock::now() >= deadline) return WaitEnd::TimedOut;
        if (common::stop_requested(stop)) return WaitEnd::Stopped;
    }
}

}  // namespace quorvel
