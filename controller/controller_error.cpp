#include "controller/controller_error.hpp"

#include <utility>

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

bool ControllerError::is_timed_out_or_interrupted() const {
    return serial_.has_value() && serial_->is_timed_out_or_interrupted();
}

}  // namespace quorvel
