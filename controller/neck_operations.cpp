// Neck operations on the three Damiao motors (MIT mode) over the CAN bus.
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/log.hpp"
#include "detail/controller_state.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

namespace {

using candrive::damiao::ControlCommand;
using common::Err;
using common::log::Level;

constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr auto kMitMode = static_cast<std::uint8_t>(ControlCommand::Mode::Mit);

std::string joint_name(std::size_t index) { return std::string(kNeckJoints[index].name); }

ControllerError index_out_of_range(std::size_t index) {
    return ControllerError("neck index out of range: " + std::to_string(index));
}

// A position must survive narrowing to the 32-bit float of the MIT frame.
bool sendable(double position) { return std::isfinite(static_cast<float>(position)); }

}  // namespace

namespace detail {

ControllerError neck_failure(std::string context, std::size_t index, const candrive::damiao::Error& error,
                             const candrive::ReconnectingCanBus& bus) {
    using Kind = candrive::damiao::Error::Kind;
    ControllerError failure(std::move(context) + ": " + error.message());
    switch (error.kind()) {
        case Kind::Transport: {
            const candrive::CanError& transport = *error.transport_error();
            failure.set_os_cause(common::os_cause(transport.os_error(), bus.name()));
            if (transport.kind() == candrive::CanError::Kind::Timeout) failure.set_neck_motor_at_fault(index, false, "");
            break;
        }
        case Kind::UnexpectedReply:
        case Kind::ControlModeMismatch:
        case Kind::ShortFeedback: failure.set_neck_motor_at_fault(index, true, error.message()); break;
        case Kind::UnknownRegister:
        case Kind::ReadOnlyRegister:
        case Kind::TypeMismatch: break;  // the request was at fault, not the motor
    }
    return failure;
}

}  // namespace detail

double QuorvelMotorController::clamp_neck_position(std::size_t index, double position) {
    if (index >= kNeckBounds.size()) return position;
    const auto [lower, upper] = kNeckBounds[index];
    double clamped = position;
    if (clamped < lower) clamped = lower;
    if (clamped > upper) clamped = upper;
    if (std::abs(clamped - position) > kEpsilon) {
        QMC_LOG(Level::Warn, kControllerLogOrigin,
                joint_name(index) + " requested position " + common::fixed(position, 4) +
                    " rad out of safe range [" + common::fixed(lower, 4) + ", " + common::fixed(upper, 4) +
                    "]; clamped to " + common::fixed(clamped, 4));
    }
    return clamped;
}

std::array<std::pair<double, double>, 3> QuorvelMotorController::neck_position_limits() {
    std::array<std::pair<double, double>, 3> limits{};
    for (std::size_t i = 0; i < kNeckBounds.size(); ++i) limits[i] = {kNeckBounds[i].lower, kNeckBounds[i].upper};
    return limits;
}

bool QuorvelMotorController::is_neck_torque_enabled() const { return state_->neck_torque_enabled; }

ControllerResult<void> QuorvelMotorController::enable_neck(bool enable) {
    auto& bus = state_->can_transport;
    for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
        const auto& motor = state_->neck_motors[i];
        if (enable) {
            if (auto mode = motor.ensure_control_mode(bus, kMitMode); !mode)
                return Err{detail::neck_failure(joint_name(i) + ": ensure MIT mode failed", i, mode.error(), bus)};
            if (auto enabled = motor.enable(bus); !enabled)
                return Err{detail::neck_failure(joint_name(i) + ": enable failed", i, enabled.error(), bus)};
        } else {
            if (auto disabled = motor.disable(bus); !disabled)
                return Err{detail::neck_failure(joint_name(i) + ": disable failed", i, disabled.error(), bus)};
        }
    }
    state_->neck_torque_enabled = enable;
    return {};
}

ControllerResult<void> QuorvelMotorController::set_neck_gains(std::size_t index, float kp, float kd) {
    if (index >= kNeckJoints.size()) return Err{index_out_of_range(index)};
    // A NaN or infinity has no MIT encoding; finite values are limited by it when sent.
    QMC_TRY(detail::require_finite("set_neck_gains", "kp", kp));
    QMC_TRY(detail::require_finite("set_neck_gains", "kd", kd));
    state_->neck_commands[index].kp = kp;
    state_->neck_commands[index].kd = kd;
    return {};
}

ControllerResult<std::array<double, 3>> QuorvelMotorController::command_neck_mit(
    const std::array<double, 3>& positions, std::string_view label) {
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (!sendable(positions[i]))
            return Err{detail::non_finite_position(std::string(label) + "(" + joint_name(i) + ")", positions[i])};
    }
    std::array<double, 3> observed{};
    for (std::size_t i = 0; i < positions.size(); ++i) {
        // The record keeps the last commanded position, also when the send fails.
        auto& command = state_->neck_commands[i];
        command.position = static_cast<float>(positions[i]);
        auto reply = state_->neck_motors[i].control(state_->can_transport, ControlCommand::Mit(command));
        if (!reply)
            return Err{
                detail::neck_failure(std::string(label) + "(" + joint_name(i) + ")", i, reply.error(), state_->can_transport)};
        observed[i] = static_cast<double>(reply->position);
    }
    return observed;
}

ControllerResult<std::array<double, 3>> QuorvelMotorController::set_neck_position(
    const std::array<double, 3>& positions) {
    QMC_TRY(check_neck_position(positions));
    std::array<double, 3> clamped{};
    for (std::size_t i = 0; i < positions.size(); ++i) clamped[i] = clamp_neck_position(i, positions[i]);
    return command_neck_mit(clamped, "set_neck_position");
}

ControllerResult<double> QuorvelMotorController::set_single_neck_joint(std::size_t index, double position) {
    if (index >= kNeckJoints.size()) return Err{index_out_of_range(index)};
    QMC_TRY(check_single_neck_joint(index, position));
    const std::string context = "set_" + joint_name(index) + "_position";

    auto& command = state_->neck_commands[index];
    command.position = static_cast<float>(clamp_neck_position(index, position));
    auto reply = state_->neck_motors[index].control(state_->can_transport, ControlCommand::Mit(command));
    if (!reply) return Err{detail::neck_failure(context, index, reply.error(), state_->can_transport)};
    return static_cast<double>(reply->position);
}

ControllerResult<std::array<double, 3>> QuorvelMotorController::read_neck_positions() {
    return finish_neck_feedback(start_neck_feedback());
}

candrive::damiao::PendingFeedback QuorvelMotorController::start_neck_feedback() {
    return candrive::damiao::start_feedback_requests(state_->can_transport, state_->neck_motors);
}

candrive::damiao::PendingFeedback QuorvelMotorController::start_neck_exchange(
    const std::array<std::optional<NeckSetPoint>, 3>& set_points) {
    std::array<std::optional<ControlCommand>, 3> commands;
    for (std::size_t i = 0; i < set_points.size(); ++i) {
        const auto& set_point = set_points[i];
        if (!set_point || !sendable(set_point->position) || !sendable(set_point->velocity)) continue;
        auto& record = state_->neck_commands[i];
        record.position = static_cast<float>(set_point->position);
        // The feed-forward is this command's only: a later step goal holds still.
        candrive::damiao::MitCommand command = record;
        command.velocity = static_cast<float>(set_point->velocity);
        commands[i] = ControlCommand::Mit(command);
    }
    return candrive::damiao::start_feedback_requests(state_->can_transport, state_->neck_motors, commands);
}

ControllerResult<std::array<double, 3>> QuorvelMotorController::finish_neck_feedback(
    candrive::damiao::PendingFeedback&& pending) {
    auto replies = candrive::damiao::finish_feedback_requests(state_->can_transport, std::move(pending));
    std::array<double, 3> positions{};
    for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
        if (i >= replies.size() || !replies[i])
            return Err{i < replies.size()
                           ? detail::neck_failure("read_neck_positions(" + joint_name(i) + ")", i,
                                                  replies[i].error(), state_->can_transport)
                           : ControllerError("read_neck_positions(" + joint_name(i) + "): no request was sent")};
        positions[i] = static_cast<double>(replies[i]->position);
    }
    return positions;
}

}  // namespace quorvel
