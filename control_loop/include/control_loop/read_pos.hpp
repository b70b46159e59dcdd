// One reading of all ten joints for the control loop.
#pragma once

#include <cstdint>

#include "control_loop/loop_cells.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// The seven servo positions (retried per with_retry; zeros on a neck-only
// controller) and the three neck positions (one attempt), stamped with the
// wall clock after both reads. Any failure is CommunicationFailure. The
// retries end early once `stop` asks.
MotorResult<QuorvelTorsoPosition> read_pos(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                           common::StopSource* stop = nullptr);

}  // namespace quorvel
