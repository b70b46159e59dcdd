#include "controller/controller_error.hpp"

#include <utility>

#include "controller/motor_tables.hpp"

namespace quorvel {

ControllerError::ControllerError(std::string message) : message_(std::move(message)) {}

ControllerError::ControllerError(smartbus::Error serial)
    : message_(serial.message()),
      os_cause_(serial.os_cause() ? std::optional<common::OsCause>(*serial.os_cause()) : std::nullopt) {
    serial_ = std::move(serial);
}

ControllerError ControllerError::invalid_argument(std::string message) {
    ControllerError error(std::move(message));
    error.invalid_argument_ = true;
    return error;
}

ControllerError ControllerError::interrupted(std::string_view operation) {
    ControllerError error(std::string(operation) + ": interrupted");
    error.interrupted_ = true;
    return error;
}

std::optional<MotorAtFault> ControllerError::motor_at_fault() const {
    if (neck_motor_at_fault_) return neck_motor_at_fault_;
    if (!serial_ || !serial_->servo_id()) return std::nullopt;
    const std::uint8_t id = *serial_->servo_id();
    const ServoJoint* joint = servo_joint_by_id(id);
    MotorAtFault motor{MotorAtFault::Bus::Serial, id, joint != nullptr ? joint->name : std::string_view{}, false, ""};
    if (const auto other = serial_->reply_id())
        motor.detail = "servo " + std::to_string(*other) + " answered in its place";
    else if (!serial_->is_timed_out())
        motor = {motor.bus, motor.id, motor.joint, true, serial_->message()};
    return motor;
}

ControllerError& ControllerError::set_neck_motor_at_fault(std::size_t index, bool answered, std::string detail) {
    if (index < kNeckJoints.size()) {
        const NeckJoint& joint = kNeckJoints[index];
        neck_motor_at_fault_ = MotorAtFault{MotorAtFault::Bus::Can, joint.esc_id, joint.name, answered, std::move(detail)};
    }
    return *this;
}

std::string describe_motor_at_fault(const MotorAtFault& motor, std::string_view device) {
    const bool servo = motor.bus == MotorAtFault::Bus::Serial;
    std::string text = servo ? "servo " + std::to_string(motor.id) : "neck motor";
    if (!motor.joint.empty()) text += servo ? " (" + std::string(motor.joint) + ")" : " " + std::string(motor.joint);
    if (!servo) text += " (CAN id " + std::to_string(motor.id) + ")";
    text += " on " + std::string(device);
    text += motor.answered ? " sent no valid reply" : " did not answer";
    if (!motor.detail.empty()) text += " (" + motor.detail + ")";
    // The usual cause of each, as the fix to try first.
    if (servo)
        text += motor.answered
                    ? ": check its cable and id, and that no other program uses " + std::string(device)
                    : ": check that servo's power and its cable (a loose link also silences the servos after it)";
    else
        text += ": check its power and CAN wiring (120 ohm at each end of the bus) and that " + std::string(device) +
                " is up at 1 Mbit/s";
    return text;
}

bool ControllerError::is_timed_out_or_interrupted() const {
    return serial_.has_value() && serial_->is_timed_out_or_interrupted();
}

}  // namespace quorvel
