// The torso controller's error value.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The motor a failed transaction lies with: it did not answer, or what it
// sent was not a valid reply. Failures of a port, an interface or an
// argument have none.
struct MotorAtFault {
    enum class Bus : std::uint8_t { Serial, Can };
    Bus bus;
    std::uint16_t id;        // servo id, or the neck motor's command id on the CAN bus
    std::string_view joint;  // empty for a servo id that is not on the torso
    // False: nothing came from it in time (or another motor answered in its
    // place); true: it answered, but not with a valid reply.
    bool answered;
    // What was wrong with the reply, or who answered instead; may be empty.
    std::string detail;

    friend bool operator==(const MotorAtFault&, const MotorAtFault&) = default;
};

// "servo 7 (nose_right) on /dev/ttyUSB0 did not answer: check ...": the
// motor, the device it hangs on (serial path or CAN interface) and the fix.
std::string describe_motor_at_fault(const MotorAtFault& motor, std::string_view device);

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

    // The motor the failure lies with, when it lies with one: the servo the
    // serial-bus error names, or the neck motor set by set_neck_motor_at_fault.
    std::optional<MotorAtFault> motor_at_fault() const;
    // Marks neck joint `index` (0 to 2) as the motor at fault.
    ControllerError& set_neck_motor_at_fault(std::size_t index, bool answered, std::string detail);

private:
    std::string message_;
    std::optional<smartbus::Error> serial_;
    std::optional<common::OsCause> os_cause_;
    std::optional<MotorAtFault> neck_motor_at_fault_;
    bool invalid_argument_ = false;
    bool interrupted_ = false;
};

template <class T>
using ControllerResult = common::Result<T, ControllerError>;

}  // namespace quorvel
