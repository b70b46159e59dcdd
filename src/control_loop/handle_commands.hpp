// Execution of one queued command on the loop thread.
#pragma once

#include <cstdint>

#include "control_loop/loop_cells.hpp"
#include "control_loop/motor_cmd.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// Runs `command`'s bus operations and returns the first failure. Only the
// torque commands change `last_torque` (after full success), and only the two
// commands with a reply channel report anything back. The command's reply
// channel is answered or released before this returns.
ControllerResult<void> handle_commands(QuorvelMotorController& controller, SharedCell<MotorResult<bool>>& last_torque,
                                       MotorCmd command, std::uint64_t allowed_retries);

}  // namespace quorvel
