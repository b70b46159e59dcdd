// Health readings of the servos (status registers) and the neck motors
// (feedback frames). Only reads, pings and feedback requests: nothing here
// moves a motor or writes a register.
#include "controller/motor_status.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "candrive/damiao/registers.hpp"
#include "candrive/damiao/state.hpp"
#include "detail/controller_state.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/feetech_servo.hpp"

namespace quorvel {

namespace {

using common::Err;

constexpr double kTwoPi = 6.283185307179586;

std::string neck_name(std::size_t index) { return std::string(kNeckJoints[index].name); }

}  // namespace

ServoStatus servo_status_from(std::size_t index, const smartbus::feetech_servo::StatusReading& reading) {
    ServoStatus status;
    status.name = std::string(kServoJoints[index].name);
    status.id = kServoJoints[index].id;
    status.position = reading.position;
    status.velocity = reading.velocity;
    status.load = reading.load;
    status.voltage = reading.voltage;
    status.temperature = reading.temperature;
    status.current = reading.current;
    status.moving = reading.moving;
    status.errors = smartbus::feetech_servo::status_flag_names(reading.status);
    return status;
}

std::int64_t turns_off_zero(double position) {
    if (!std::isfinite(position)) return 0;
    return static_cast<std::int64_t>(std::llround(position / kTwoPi));
}

NeckStatus neck_status_from(std::size_t index, const candrive::damiao::MotorState& state) {
    NeckStatus status;
    status.name = neck_name(index);
    status.can_id = kNeckJoints[index].esc_id;
    status.position = static_cast<double>(state.position);
    status.velocity = static_cast<double>(state.velocity);
    status.torque = static_cast<double>(state.torque);
    status.temperature_mos = state.t_mos;
    status.temperature_rotor = state.t_rotor;
    status.enabled = candrive::damiao::state_is_enabled(state.status);
    if (auto fault = candrive::damiao::state_fault_name(state.status)) status.fault = std::string(*fault);
    status.turns_off_zero = turns_off_zero(status.position);
    return status;
}

ControllerResult<std::array<ServoStatus, 7>> QuorvelMotorController::read_servo_status() {
    QMC_TRY(state_->require_port());
    auto readings = detail::read_arms_then_nose<smartbus::feetech_servo::StatusReading>(
        state_->servo_protocol, *state_->serial_port, smartbus::feetech_servo::sync_read_status, "read_servo_status");
    if (!readings) return Err{std::move(readings).error()};
    std::array<ServoStatus, 7> statuses;
    for (std::size_t i = 0; i < statuses.size(); ++i) statuses[i] = servo_status_from(i, (*readings)[i]);
    return statuses;
}

ControllerResult<std::array<NeckStatus, 3>> QuorvelMotorController::read_neck_status() {
    std::array<NeckStatus, 3> statuses;
    for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
        auto reply = state_->neck_motors[i].request_feedback(state_->can_transport);
        if (!reply)
            return Err{detail::neck_failure("read_neck_status(" + neck_name(i) + ")", i, reply.error(),
                                            state_->can_transport)};
        statuses[i] = neck_status_from(i, *reply);
    }
    return statuses;
}

ControllerResult<ServoProbe> QuorvelMotorController::probe_servo(std::uint8_t id) {
    const ServoJoint* joint = servo_joint_by_id(id);
    if (joint == nullptr)
        return Err{ControllerError::invalid_argument("probe_servo: no servo with id " + std::to_string(id) +
                                                     " on the torso (ids 1 to 7)")};
    QMC_TRY(state_->require_port());
    auto& port = *state_->serial_port;
    auto& handler = state_->servo_protocol;

    auto model = smartbus::feetech_servo::read_model_number(handler, port, id);
    if (!model) return Err{ControllerError(std::move(model).error())};
    auto reading = smartbus::feetech_servo::read_status(handler, port, id);
    if (!reading) return Err{ControllerError(std::move(reading).error())};
    const auto index = static_cast<std::size_t>(joint - kServoJoints.data());
    return ServoProbe{*model, servo_status_from(index, *reading)};
}

ControllerResult<NeckProbe> QuorvelMotorController::probe_neck_motor(std::size_t index) {
    if (index >= kNeckJoints.size())
        return Err{ControllerError::invalid_argument("probe_neck_motor: neck index out of range: " +
                                                     std::to_string(index))};
    const auto& motor = state_->neck_motors[index];
    auto reply = motor.request_feedback(state_->can_transport);
    if (!reply)
        return Err{detail::neck_failure("probe_neck_motor(" + neck_name(index) + ")", index, reply.error(),
                                        state_->can_transport)};
    auto mode = motor.read_register(state_->can_transport, candrive::damiao::kCtrlModeRegister);
    if (!mode)
        return Err{detail::neck_failure("probe_neck_motor(" + neck_name(index) + ")", index, mode.error(),
                                        state_->can_transport)};
    return NeckProbe{mode->bits(), neck_status_from(index, *reply)};
}

}  // namespace quorvel
