// The control loop's error value. Its display texts are what a Python user
// sees when a loop cannot start or a cached read failed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <optional>
#include <variant>
#include <vector>

#include "common/os_cause.hpp"
#include "controller/controller_error.hpp"

namespace quorvel {

class MotorError {
public:
    // Motors that did not answer, by joint name.
    struct MissingMotors {
        std::vector<std::string> names;
        friend bool operator==(const MissingMotors&, const MissingMotors&) = default;
    };
    struct CommunicationFailure {
        friend bool operator==(const CommunicationFailure&, const CommunicationFailure&) = default;
    };
    struct NoMotorsDetected {
        friend bool operator==(const NoMotorsDetected&, const NoMotorsDetected&) = default;
    };
    // The supply voltage stayed below 12 V for the whole time limit.
    struct VoltageTimeout {
        std::uint8_t lowest_voltage;  // tenths of a volt
        std::chrono::nanoseconds limit;
        friend bool operator==(const VoltageTimeout&, const VoltageTimeout&) = default;
    };
    struct PortNotFound {
        std::string path;
        friend bool operator==(const PortNotFound&, const PortNotFound&) = default;
    };
    // `path` is empty when no serial port was requested.
    struct PortOpenFailed {
        std::string path;
        friend bool operator==(const PortOpenFailed&, const PortOpenFailed&) = default;
    };

    // A refused argument, with the whole text; nothing was queued or sent.
    struct InvalidArgument {
        std::string message;
        friend bool operator==(const InvalidArgument&, const InvalidArgument&) = default;
    };
    // The caller's stop source ended a wait for the loop ("interrupted").
    struct Interrupted {
        friend bool operator==(const Interrupted&, const Interrupted&) = default;
    };

    using Kind = std::variant<MissingMotors, CommunicationFailure, NoMotorsDetected,
                              VoltageTimeout, PortNotFound, PortOpenFailed, InvalidArgument, Interrupted>;

    template <class K, class = std::enable_if_t<std::is_constructible_v<Kind, K&&>>>
    MotorError(K&& kind) : kind_(std::forward<K>(kind)) {}

    const Kind& kind() const { return kind_; }
    template <class K>
    bool is() const { return std::holds_alternative<K>(kind_); }

    // The display text, e.g. "Missing motors: [\"neck_roll\"]!".
    std::string message() const;

    // The system call failure behind the error, naming the serial path or CAN
    // interface, when there was one (not part of the display text: a CAN bus
    // that cannot be opened still reads as PortOpenFailed).
    const common::OsCause* os_cause() const { return os_cause_ ? &*os_cause_ : nullptr; }
    MotorError& set_os_cause(const common::OsCause* cause) {
        os_cause_ = cause ? std::optional<common::OsCause>(*cause) : std::nullopt;
        return *this;
    }

    // The motors a failed read lies with (the first of each bus whose reply
    // was missing or not valid), when known; not part of the display text.
    const std::vector<MotorAtFault>& motors_at_fault() const { return motors_at_fault_; }
    MotorError& add_motor_at_fault(std::optional<MotorAtFault> motor) {
        if (motor) motors_at_fault_.push_back(std::move(*motor));
        return *this;
    }

    friend bool operator==(const MotorError&, const MotorError&) = default;

private:
    Kind kind_;
    std::optional<common::OsCause> os_cause_;
    std::vector<MotorAtFault> motors_at_fault_;
};

// CommunicationFailure for a failed bus operation, keeping what the
// controller's error knows of the device and the motor behind it.
MotorError communication_failure(const ControllerError& error);

}  // namespace quorvel
