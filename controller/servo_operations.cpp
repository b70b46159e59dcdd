// Arm and nose operations on the serial servo bus. Operations on both groups
// do the arm transaction (SM40BL servos) first and the nose transaction
// (STS3025BL servos) second, and stop at the first error.
#include <algorithm>
#include <cmath>
#include <string>
#include <chrono>
#include <thread>
#include <utility>

#include "detail/controller_state.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/feetech_servo.hpp"
#include "smartbus/registers.hpp"

namespace quorvel {

namespace {

using common::Err;

// A raw packet's reply is whatever arrived within the raw reply window,
// polled in steps.
constexpr auto kRawReplyPollStep = std::chrono::milliseconds(5);

// Converts a serial-bus result into a controller result.
ControllerResult<void> bus(smartbus::Result<void> result) {
    if (!result) return Err{ControllerError(std::move(result).error())};
    return {};
}

// The raw-packet exchange reports every failure as an I/O error.
smartbus::IoError as_io_error(smartbus::Error error) {
    if (const smartbus::IoError* io = error.io()) return *io;
    return smartbus::IoError{smartbus::IoErrorKind::Other, error.message()};
}

namespace servo = smartbus::feetech_servo;

// Where a model keeps its present position, from the register table.
constexpr servo::Register present_position_register(ServoModel model) {
    switch (model) {
        case ServoModel::SM40BL: return servo::kPresentPosition;
        case ServoModel::STS3025BL: return servo::kPresentPosition;
    }
    return {};
}

// One sync read reads one register of every servo it names: it can cover
// both models only while they keep the present position alike, and its
// replies come in the order of its ids, which must be the joint order.
constexpr bool one_sync_read_covers_every_servo() {
    const servo::Register first = present_position_register(kServoJoints[0].model);
    for (std::size_t i = 0; i < kServoJoints.size(); ++i) {
        const servo::Register reg = present_position_register(kServoJoints[i].model);
        if (reg.address != first.address || reg.width != first.width) return false;
        if (kServoIds[i] != kServoJoints[i].id) return false;
    }
    return true;
}
static_assert(one_sync_read_covers_every_servo());

// The failure the two group reads would have met. Where the last arm servo
// is silent, a nose servo's reply now arrives in its place; the arm read
// alone would have met silence there (a retriable time-out).
smartbus::Error as_the_group_reads_fail(smartbus::Error error) {
    const auto asked = error.servo_id();
    const auto answered = error.reply_id();
    const bool nose_answered = answered && std::find(kNoseIds.begin(), kNoseIds.end(), *answered) != kNoseIds.end();
    if (asked && *asked == kArmIds.back() && nose_answered)
        return std::move(smartbus::Error(smartbus::read_timed_out()).set_servo_id(*asked));
    return error;
}

}  // namespace

ControllerResult<void> QuorvelMotorController::State::write_goals(std::span<const std::uint8_t> ids,
                                                                  std::span<const double> positions) {
    return bus(servo::sync_write_goal_position(servo_protocol, *serial_port, ids, positions));
}

ControllerResult<void> QuorvelMotorController::State::write_checked_goals(ControllerResult<void> checked,
                                                                          std::span<const std::uint8_t> ids,
                                                                          std::span<const double> positions) {
    QMC_TRY(checked);  // refused even on a neck-only controller
    QMC_TRY(require_port());
    return write_goals(ids, positions);
}

ControllerResult<void> QuorvelMotorController::State::write_torque(std::span<const std::uint8_t> ids, bool enable) {
    return bus(servo::sync_write_torque_enable(servo_protocol, *serial_port, ids,
                                               std::vector<bool>(ids.size(), enable)));
}

ControllerResult<std::array<double, 7>> QuorvelMotorController::read_all_positions() {
    QMC_TRY(state_->require_port());
    if (state_->position_read == PositionRead::OneSyncRead) {
        // The accessor converts every value alike; an SM40BL applies its
        // offset itself before it reports the present position.
        auto all = servo::sync_read_present_position(state_->servo_protocol, *state_->serial_port, kServoIds);
        if (!all) return Err{ControllerError(as_the_group_reads_fail(std::move(all).error()))};
        return detail::exactly<kServoIds.size()>(all.value(), "read_all_positions");
    }
    return detail::read_arms_then_nose<double>(state_->servo_protocol, *state_->serial_port,
                                               servo::sync_read_present_position, "read_all_positions");
}

ControllerResult<bool> QuorvelMotorController::is_torque_enabled() {
    QMC_TRY(state_->require_port());
    auto on = detail::read_arms_then_nose<bool>(state_->servo_protocol, *state_->serial_port,
                                                servo::sync_read_torque_enable, "is_torque_enabled");
    if (!on) return Err{std::move(on).error()};
    return std::all_of(on->begin(), on->end(), [](bool flag) { return flag; });
}

ControllerResult<void> QuorvelMotorController::enable_torque() {
    QMC_TRY(state_->require_port());
    QMC_TRY(enable_arms(true));
    return enable_nose(true);
}

ControllerResult<void> QuorvelMotorController::disable_torque() {
    QMC_TRY(state_->require_port());
    QMC_TRY(enable_arms(false));
    return enable_nose(false);
}

ControllerResult<void> QuorvelMotorController::enable_arms(bool enable) {
    QMC_TRY(state_->require_port());
    return state_->write_torque(kArmIds, enable);
}

ControllerResult<void> QuorvelMotorController::enable_nose(bool enable) {
    QMC_TRY(state_->require_port());
    return state_->write_torque(kNoseIds, enable);
}

ControllerResult<void> QuorvelMotorController::set_torque_on_ids(std::span<const std::uint8_t> ids, bool enable) {
    const detail::TorqueIds split = detail::split_torque_ids(ids);
    if (split.arm.empty() && split.nose.empty()) return {};  // nothing on the torso to switch
    QMC_TRY(state_->require_port());
    // All or nothing: a write that would be refused stops the call before the first is sent.
    QMC_TRY(check_torque_on_ids(ids));
    if (!split.arm.empty()) QMC_TRY(state_->write_torque(split.arm, enable));
    if (!split.nose.empty()) QMC_TRY(state_->write_torque(split.nose, enable));
    return {};
}

ControllerResult<void> QuorvelMotorController::set_all_goal_positions(const std::array<double, 7>& positions) {
    QMC_TRY(check_all_goal_positions(positions));  // refused even on a neck-only controller
    QMC_TRY(state_->require_port());
    const std::span<const double> all(positions);
    QMC_TRY(state_->write_goals(kArmIds, all.first(kArmIds.size())));
    return state_->write_goals(kNoseIds, all.subspan(kArmIds.size()));
}

ControllerResult<void> QuorvelMotorController::settle_serial_line() {
    QMC_TRY(state_->require_port());
    return bus(smartbus::Protocol::settle_line(*state_->serial_port));
}

ControllerResult<void> QuorvelMotorController::write_goal_positions(std::span<const std::uint8_t> ids,
                                                                   std::span<const double> positions) {
    if (ids.size() != positions.size())
        return Err{ControllerError::invalid_argument("write_goal_positions: " + std::to_string(ids.size()) +
                                                     " ids but " + std::to_string(positions.size()) + " positions")};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (std::isfinite(positions[i])) continue;
        const ServoJoint* joint = servo_joint_by_id(ids[i]);
        return Err{detail::non_finite_position(
            "write_goal_positions(" + (joint ? std::string(joint->name) : "id " + std::to_string(ids[i])) + ")",
            positions[i])};
    }
    QMC_TRY(state_->require_port());
    return state_->write_goals(ids, positions);
}

ControllerResult<void> QuorvelMotorController::set_arms_position(const std::array<double, 4>& positions) {
    return state_->write_checked_goals(check_arms_position(positions), kArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::set_left_arm_position(const std::array<double, 2>& positions) {
    return state_->write_checked_goals(check_left_arm_position(positions), kLeftArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::set_right_arm_position(const std::array<double, 2>& positions) {
    return state_->write_checked_goals(check_right_arm_position(positions), kRightArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::set_nose_position(const std::array<double, 3>& positions) {
    return state_->write_checked_goals(check_nose_position(positions), kNoseIds, positions);
}

common::Result<std::vector<std::uint8_t>, smartbus::IoError> QuorvelMotorController::write_raw_packet(
    std::span<const std::uint8_t> data) {
    if (!state_->serial_port)
        return Err{smartbus::IoError{smartbus::IoErrorKind::Unsupported, std::string(kNeckOnlyMessage)}};
    smartbus::SerialPort& port = *state_->serial_port;

    // Sent as given: no framing or checksum. Stale input is cleared first, as
    // for every packet, so that a late answer is not taken for this one's.
    if (auto settled = smartbus::Protocol::settle_line(port); !settled)
        return Err{as_io_error(std::move(settled).error())};
    if (auto written = port.write_all(data); !written) {
        port.set_unsettled(true);
        return Err{as_io_error(std::move(written).error())};
    }
    if (auto flushed = port.flush(); !flushed) return Err{as_io_error(std::move(flushed).error())};
    auto waiting = port.bytes_to_read();
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        if (!waiting) return Err{as_io_error(std::move(waiting).error())};
        if (*waiting > 0) {
            // Whatever has arrived by now is the reply; later bytes are
            // drained by the next transaction.
            std::vector<std::uint8_t> reply(*waiting);
            if (auto read = port.read_exact(reply); !read) return Err{as_io_error(std::move(read).error())};
            return reply;
        }
        if (std::chrono::steady_clock::now() - start >= state_->raw_reply_window) {
            port.set_unsettled(true);  // the answer may still be on its way
            return std::vector<std::uint8_t>{};
        }
        std::this_thread::sleep_for(kRawReplyPollStep);
        waiting = port.bytes_to_read();
    }
}

ControllerResult<std::vector<std::uint8_t>> QuorvelMotorController::read_raw_bytes(std::uint8_t id,
                                                                                   std::uint8_t address,
                                                                                   std::uint8_t length) {
    QMC_TRY(state_->require_port());
    auto bytes = state_->servo_protocol.read(*state_->serial_port, id, address, length);
    if (!bytes) return Err{ControllerError(std::move(bytes).error())};
    return std::move(bytes).value();
}

ControllerResult<void> QuorvelMotorController::write_raw_bytes(std::uint8_t id, std::uint8_t address,
                                                               std::span<const std::uint8_t> data) {
    QMC_TRY(state_->require_port());
    return bus(state_->servo_protocol.write(*state_->serial_port, id, address, data));
}

}  // namespace quorvel
