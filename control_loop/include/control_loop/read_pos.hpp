// One reading of all ten joints for the control loop.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "control_loop/loop_cells.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// The seven servo positions (retried per with_retry; zeros on a neck-only
// controller) and the three neck positions (one attempt), stamped with the
// wall clock after both reads. Any failure is CommunicationFailure. The
// retries end early once `stop` asks.
// With neck set points, each joint that has one is commanded instead of
// asked for feedback, and the command's reply is its reading.
// The servo half: the seven positions under with_retry (zeros on a
// neck-only controller).
ControllerResult<std::array<double, 7>> read_servo_positions(QuorvelMotorController& controller,
                                                             std::uint64_t allowed_retries,
                                                             common::StopSource* stop = nullptr);
// A reading from its two halves, failures as read_pos reports them.
MotorResult<QuorvelTorsoPosition> combine_reading(ControllerResult<std::array<double, 7>> servos,
                                                  const ControllerResult<std::array<double, 3>>& neck);

MotorResult<QuorvelTorsoPosition> read_pos(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                           common::StopSource* stop = nullptr,
                                           const std::array<std::optional<NeckSetPoint>, 3>& neck_set_points = {});

}  // namespace quorvel
