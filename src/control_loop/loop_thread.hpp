// The loop thread's body: periodic reads on a fixed schedule, interleaved
// with the queued commands, until a stop is requested and the queue drained.
#pragma once

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

// Runs on the loop thread. Tick k is due at start + k * period; a tick that
// falls due while the loop works is served as soon as it is free, missed
// ticks back to back, never skipped. Between ticks the thread sleeps in the
// queue's deadline wait, so a command wakes it at once. Returns once
// `stop_requested` is seen and the queue is empty; throws LoopFault (or
// whatever a bus operation throws) on a fault.
void run_loop_body(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
                   const LoopConfig& config);

}  // namespace quorvel
