// The checks a control loop must pass before its thread starts. Each looks
// at `stop` between its bus transactions and in its pauses, and gives up
// early (with some error) once it asks; the caller tells an interrupted
// check from a failed one by asking `stop` itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "control_loop/loop_cells.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

// Every servo and neck motor answers. No servo answering is
// NoMotorsDetected; otherwise the silent ones are MissingMotors by name.
MotorResult<void> check_presence(QuorvelMotorController& controller,
                                 const std::unordered_map<std::string, std::uint8_t>& names,
                                 common::StopSource* stop = nullptr);

// Waits until every servo reads at least 11.0 V or `timeout` has passed
// (VoltageTimeout), then reboots the servos. Serial controllers only.
MotorResult<void> await_supply_and_reboot(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                          std::chrono::nanoseconds timeout, common::StopSource* stop = nullptr);

// True when torque is on for all seven servos; false on a neck-only loop.
MotorResult<bool> first_torque_state(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                     common::StopSource* stop = nullptr);

}  // namespace quorvel
