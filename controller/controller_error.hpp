// The torso controller's error value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/os_cause.hpp"
#include "common/result.hpp"
#include "smartbus/error.hpp"

namespace quorvel {

// Origin of every log record the controller writes.
inline constexpr std::string_view kControllerLogOrigin = "quorvel_motor_controller::controller";

// Text of every servo operation attempted on a controller built without a serial port.
inline constexpr std::string_view kNeckOnlyMessage = "serial port not configured (neck-only controller)";

// An operation's failure: its display text, plus the serial-bus error it came
// from when it came from the servo bus (so callers can apply retry rules).
class ControllerError {
public:
    explicit ControllerError(std::string message);
    // Keeps the serial-bus error; the text is its display text.
    ControllerError(smartbus::Error serial);  // NOLINT(google-explicit-constructor): used by QMC_TRY

    // A refused argument (for example a non-finite neck position); nothing was sent.
    static ControllerError invalid_argument(std::string message);
    // The operation stopped early because its stop source asked it to
    // ("<operation>: interrupted").
    static ControllerError interrupted(std::string_view operation);

    const std::string& message() const { return message_; }
    // Null unless the error came from the servo bus.
    const smartbus::Error* serial() const { return serial_ ? &*serial_ : nullptr; }
    // True for a serial I/O error of the timed-out or interrupted kind: the
    // only errors the control loop retries.
    bool is_timed_out_or_interrupted() const;
    // True when the caller's argument was refused before any bus traffic
    // (the Python face raises ValueError for these).
    bool is_invalid_argument() const { return invalid_argument_; }
    bool is_interrupted() const { return interrupted_; }

    // The system call failure behind the error (error number and the serial
    // path or CAN interface it concerned), when there was one. A serial-bus
    // error brings its own.
    const common::OsCause* os_cause() const { return os_cause_ ? &*os_cause_ : nullptr; }
    ControllerError& set_os_cause(std::optional<common::OsCause> cause) {
        os_cause_ = std::move(cause);
        return *this;
    }

private:
    std::string message_;
    std::optional<smartbus::Error> serial_;
    std::optional<common::OsCause> os_cause_;
    bool invalid_argument_ = false;
    bool interrupted_ = false;
};

template <class T>
using ControllerResult = common::Result<T, ControllerError>;

}  // namespace quorvel
