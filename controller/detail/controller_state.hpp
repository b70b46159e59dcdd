// Internal: the state a QuorvelMotorController owns, and small helpers that
// the controller's source files share. Not part of the public API.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "candrive/damiao/driver.hpp"
#include "candrive/reconnecting_bus.hpp"
#include "controller/controller_error.hpp"
#include "controller/motor_tables.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/protocol_handler.hpp"
#include "smartbus/reconnecting_port.hpp"

namespace quorvel {

struct QuorvelMotorController::State {
    State(std::array<candrive::damiao::Damiao, 3> motors, std::unique_ptr<smartbus::ReconnectingSerialPort> port,
          candrive::ReconnectingCanBus can, std::chrono::milliseconds raw_window)
        : neck_motors(motors), serial_port(std::move(port)), can_transport(std::move(can)),
          raw_reply_window(raw_window) {
        for (std::size_t i = 0; i < kNeckJoints.size(); ++i)
            neck_commands[i] = {0.0F, 0.0F, kNeckJoints[i].default_kp, kNeckJoints[i].default_kd, 0.0F};
    }

    std::array<candrive::damiao::Damiao, 3> neck_motors;  // neck joint order
    smartbus::FeetechProtocolHandler servo_protocol;      // post_delay unset
    // Null: neck-only controller. Both links reopen a lost device by themselves.
    std::unique_ptr<smartbus::ReconnectingSerialPort> serial_port;
    candrive::ReconnectingCanBus can_transport;
    std::chrono::milliseconds raw_reply_window;  // what a raw packet's reply may take
    PositionRead position_read = PositionRead::ArmsThenNose;
    // Template of every MIT frame per joint: the last commanded position and
    // the current gains; velocity and torque stay 0.
    std::array<candrive::damiao::MitCommand, 3> neck_commands{};
    bool neck_torque_enabled = false;

    // The open serial port, or the neck-only error.
    ControllerResult<smartbus::SerialPort*> require_port() {
        if (!serial_port) return common::Err{ControllerError(std::string(kNeckOnlyMessage))};
        return serial_port.get();
    }

    // One sync write to `ids` of their goal positions, or of the same torque
    // switch to each; the serial port must be open.
    ControllerResult<void> write_goals(std::span<const std::uint8_t> ids, std::span<const double> positions);
    ControllerResult<void> write_torque(std::span<const std::uint8_t> ids, bool enable);
    // A setter of one group's goal positions: the refusal of its check (made
    // before anything else), the neck-only error, or write_goals.
    ControllerResult<void> write_checked_goals(ControllerResult<void> checked, std::span<const std::uint8_t> ids,
                                               std::span<const double> positions);
};

namespace detail {

// "<context>: <driver error>" for a transaction with neck joint `index`: a
// transport failure of a system call names the CAN interface it happened on,
// and a missing or bad reply names the motor at fault.
ControllerError neck_failure(std::string context, std::size_t index, const candrive::damiao::Error& error,
                             const candrive::ReconnectingCanBus& bus);

// "<context>: position must be finite, got <value>", an invalid argument.
ControllerError non_finite_position(std::string_view context, double position);
// Refuses a NaN or infinite `value`: "<operation>: <name> must be finite, got <value>".
ControllerResult<void> require_finite(std::string_view operation, std::string_view name, double value);

// The ids of a torque write split by group, order kept; ids that are not on
// the torso are dropped.
struct TorqueIds {
    std::vector<std::uint8_t> arm;   // SM40BL
    std::vector<std::uint8_t> nose;  // STS3025BL
};
TorqueIds split_torque_ids(std::span<const std::uint8_t> ids);

// Copies a register accessor's values into a fixed-size array; the accessors
// promise one value per id, but a broken promise must not run off the end.
template <std::size_t N, class T>
ControllerResult<std::array<T, N>> exactly(const std::vector<T>& values, std::string_view what) {
    if (values.size() != N)
        return common::Err{ControllerError(std::string(what) + ": expected " + std::to_string(N) +
                                           " values, got " + std::to_string(values.size()))};
    std::array<T, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[i] = values[i];
    return out;
}

// A register accessor reading one value per servo of a group.
template <class T>
using ServoGroupRead = smartbus::Result<std::vector<T>> (*)(smartbus::FeetechProtocolHandler&, smartbus::SerialPort&,
                                                            std::span<const std::uint8_t>);

// One sync read of the arm servos and then one of the nose servos, joined in
// servo order; stops at the first error. `what` names the operation in a
// count mismatch.
template <class T>
ControllerResult<std::array<T, 7>> read_arms_then_nose(smartbus::FeetechProtocolHandler& handler,
                                                       smartbus::SerialPort& port, ServoGroupRead<T> read,
                                                       std::string_view what) {
    auto arms = read(handler, port, kArmIds);
    if (!arms) return common::Err{ControllerError(std::move(arms).error())};
    auto nose = read(handler, port, kNoseIds);
    if (!nose) return common::Err{ControllerError(std::move(nose).error())};
    auto arm_values = exactly<kArmIds.size()>(arms.value(), what);
    if (!arm_values) return common::Err{std::move(arm_values).error()};
    auto nose_values = exactly<kNoseIds.size()>(nose.value(), what);
    if (!nose_values) return common::Err{std::move(nose_values).error()};
    std::array<T, 7> all{};
    std::copy(arm_values->begin(), arm_values->end(), all.begin());
    std::copy(nose_values->begin(), nose_values->end(), all.begin() + kArmIds.size());
    return all;
}

}  // namespace detail
}  // namespace quorvel
