// Lending a thread's device waits to other work. The control loop's thread
// drives two independent wires: while it waits for the servo bus (a reply, a
// quiet line, the pause before a retry), its CAN work keeps its schedule.
// The loop installs its work for the thread with LendWaits; the serial port
// and the retry pause run it between slices of their waits. A thread without
// idle work waits as before.
#pragma once

#include <chrono>

#include "common/stop_source.hpp"

namespace common {

class IdleWork {
public:
    virtual ~IdleWork() = default;
    // Runs whatever is due now, on the waiting thread, and returns how long
    // until something else falls due. It must not use the device that is
    // being waited for, and may make the wait run past its deadline (a wait
    // then looks once more without waiting).
    virtual std::chrono::nanoseconds run_due() = 0;
};

// The calling thread's idle work, or null.
IdleWork* current_idle_work();

// Lends the calling thread's waits to `work` for this object's life.
class LendWaits {
public:
    explicit LendWaits(IdleWork& work);
    ~LendWaits();
    LendWaits(const LendWaits&) = delete;
    LendWaits& operator=(const LendWaits&) = delete;

private:
    IdleWork* previous_;
};

// The length of the next slice of a wait that ends at `deadline`: the
// calling thread's idle work runs first, and the slice ends when its next
// work falls due.
std::chrono::nanoseconds next_wait_slice(std::chrono::steady_clock::time_point deadline);

// sleep_unless_stopped until `deadline`, lending the sleep to the calling
// thread's idle work. True if the whole time passed.
bool sleep_lending(StopSource* stop, std::chrono::steady_clock::time_point deadline);

}  // namespace common
