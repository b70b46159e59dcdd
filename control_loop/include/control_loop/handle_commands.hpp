// Execution of one queued command on the loop thread.
#pragma once

#include <cstdint>

#include "control_loop/loop_cells.hpp"
#include "control_loop/motion_runner.hpp"
#include "control_loop/motor_cmd.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// Runs `command`'s bus operations and returns the first failure. Only the
// torque commands change `last_torque` (after full success), and only the
// commands with a reply channel report anything back. The command's reply
// channel is answered or released before this returns. Retries end early
// once `stop` asks.
// With `motion` (the loop's, at loop time `now` in seconds), the step setters
// first end the motion of the joints they name, torque writes keep its torque
// state, and the motion commands run; without, motion commands do nothing.
ControllerResult<void> handle_commands(QuorvelMotorController& controller, SharedCell<MotorResult<bool>>& last_torque,
                                       MotorCmd command, std::uint64_t allowed_retries,
                                       common::StopSource* stop = nullptr, MotionRunner* motion = nullptr,
                                       double now = 0.0);

// Whether `command` works on the neck alone: CAN traffic only, and no
// servo's motion (a stop while only neck joints move). Such a command may
// run while the serial side is busy. `active`: the joints under motion.
bool only_neck_work(const MotorCmd& command, MotionJoints active);

// The refusal `command` would meet when executed that the controller decides
// without any bus traffic (a NaN position, too many ids for one packet), so a
// caller can refuse it before queueing it. Invalid arguments are marked so.
ControllerResult<void> check_command(const MotorCmd& command);
// check_command of a FollowTrajectory: its shape and values (not its limits).
ControllerResult<void> check_trajectory(const motion::Trajectory& trajectory);

}  // namespace quorvel
