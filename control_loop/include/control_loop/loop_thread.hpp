// The loop thread's body: periodic reads on a fixed schedule, interleaved
// with the queued commands, until a stop is requested and the queue drained.
#pragma once

#include <chrono>
#include <stdexcept>

#include "control_loop/command_queue.hpp"
#include "control_loop/loop_cells.hpp"
#include "control_loop/motor_cmd.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// Ends the loop thread when a cell it depends on is poisoned.
class LoopFault : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Time and chance as the loop body sees them. The loop thread uses the
// monotonic clock, the queue's own deadline wait and a fair coin; a test can
// drive the body with a scripted clock and a fixed choice instead, and check
// its timing exactly.
class LoopEnvironment {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~LoopEnvironment() = default;
    virtual Clock::time_point now() = 0;
    // Waits until a command is queued, the queue is woken or `deadline`
    // passes, as QueueReceiver::wait_until.
    virtual QueueEvent wait_for_command(QueueReceiver<MotorCmd>& commands, Clock::time_point deadline) = 0;
    // Waits until `deadline` (no command can come any more).
    virtual void sleep_until(Clock::time_point deadline) = 0;
    // With a tick due and a command queued: true serves the tick first.
    virtual bool tick_first() = 0;
};

// Runs on the loop thread. Tick k is due at start + k * period; a tick that
// falls due while the loop works is served as soon as it is free, missed
// ticks back to back, never skipped. Between ticks the thread sleeps in the
// queue's deadline wait, so a command wakes it at once. While it waits on
// the serial bus, the neck is still served once per period and commands that
// work on the neck alone run (the commands that touch the servos keep their
// order behind the serial work in progress). Returns once the
// cells' stop source asks and the queue is empty; throws LoopFault (or
// whatever a bus operation throws) on a fault. This one runs with the
// monotonic clock and a fair coin.
void run_loop_body(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
                   const LoopConfig& config);
// The same body in a given environment.
void run_loop_body(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
                   const LoopConfig& config, LoopEnvironment& environment);

}  // namespace quorvel
