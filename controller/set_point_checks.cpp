// The checks every operation makes before it sends anything. The control
// loop makes them too, before it queues a command.
#include <cmath>
#include <string>

#include "common/format.hpp"
#include "detail/controller_state.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/feetech_servo.hpp"

namespace quorvel {

namespace detail {

ControllerError non_finite_position(std::string_view context, double position) {
    return ControllerError::invalid_argument(std::string(context) + ": position must be finite, got " +
                                             common::float_display(position));
}

ControllerResult<void> require_finite(std::string_view operation, std::string_view name, double value) {
    if (std::isfinite(value)) return {};
    return common::Err{ControllerError::invalid_argument(std::string(operation) + ": " + std::string(name) +
                                                         " must be finite, got " + common::float_display(value))};
}

TorqueIds split_torque_ids(std::span<const std::uint8_t> ids) {
    TorqueIds split;
    for (std::uint8_t id : ids) {
        const ServoJoint* joint = servo_joint_by_id(id);
        if (joint == nullptr) continue;  // not on the torso: ignored
        (joint->model == ServoModel::SM40BL ? split.arm : split.nose).push_back(id);
    }
    return split;
}

}  // namespace detail

namespace {

std::string context(std::string_view operation, std::string_view joint) {
    return std::string(operation) + "(" + std::string(joint) + ")";
}

// One position per id of `ids`, in order.
template <std::size_t N>
ControllerResult<void> servo_positions(std::string_view operation, const std::array<std::uint8_t, N>& ids,
                                       const std::array<double, N>& positions) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::isfinite(positions[i])) continue;
        return common::Err{detail::non_finite_position(context(operation, servo_joint_by_id(ids[i])->name),
                                                       positions[i])};
    }
    return {};
}

}  // namespace

ControllerResult<void> QuorvelMotorController::check_all_goal_positions(const std::array<double, 7>& positions) {
    return servo_positions("set_all_goal_positions", kServoIds, positions);
}

ControllerResult<void> QuorvelMotorController::check_arms_position(const std::array<double, 4>& positions) {
    return servo_positions("set_arms_position", kArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::check_left_arm_position(const std::array<double, 2>& positions) {
    return servo_positions("set_left_arm_position", kLeftArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::check_right_arm_position(const std::array<double, 2>& positions) {
    return servo_positions("set_right_arm_position", kRightArmIds, positions);
}

ControllerResult<void> QuorvelMotorController::check_nose_position(const std::array<double, 3>& positions) {
    return servo_positions("set_nose_position", kNoseIds, positions);
}

ControllerResult<void> QuorvelMotorController::check_neck_position(const std::array<double, 3>& positions) {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (!std::isfinite(positions[i]))
            return common::Err{detail::non_finite_position(context("set_neck_position", kNeckJoints[i].name),
                                                           positions[i])};
    }
    return {};
}

ControllerResult<void> QuorvelMotorController::check_single_neck_joint(std::size_t index, double position) {
    if (index >= kNeckJoints.size() || std::isfinite(position)) return {};
    return common::Err{
        detail::non_finite_position("set_" + std::string(kNeckJoints[index].name) + "_position", position)};
}

ControllerResult<void> QuorvelMotorController::check_torque_on_ids(std::span<const std::uint8_t> ids) {
    const detail::TorqueIds split = detail::split_torque_ids(ids);
    for (const auto& group : {split.arm, split.nose}) {
        if (group.empty()) continue;
        if (auto fits = smartbus::feetech_servo::check_sync_write_torque_enable(group); !fits)
            return common::Err{ControllerError(std::move(fits).error())};
    }
    return {};
}

}  // namespace quorvel
