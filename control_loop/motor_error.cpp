#include "control_loop/motor_error.hpp"

#include "common/format.hpp"

namespace quorvel {
namespace {

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;

}  // namespace

std::string MotorError::message() const {
    return std::visit(
        overloaded{
            [](const MissingMotors& e) {
                return "Missing motors: " +
                       common::debug_list(e.names, [](const std::string& n) { return common::quoted(n); }) +
                       "!";
            },
            [](const CommunicationFailure&) {
                return std::string("Motor communication error! Check connections and power supply.");
            },
            [](const NoMotorsDetected&) {
                return std::string(
                    "No motors detected. Check if the power supply is connected and turned on!");
            },
            [](const VoltageTimeout& e) {
                return "Voltage did not ramp up to 12V (got " +
                       common::fixed(static_cast<double>(e.lowest_voltage) / 10.0, 1) + "V) within " +
                       common::duration_text(e.limit) + "!";
            },
            [](const PortNotFound& e) {
                return "Check if your USB cable is connected. Could not find port: " + e.path + "!";
            },
            [](const PortOpenFailed& e) {
                return "Could not open serial port: " + e.path +
                       "! Check permissions and if the port is already in use.";
            },
            [](const InvalidArgument& e) { return e.message; },
            [](const Interrupted&) { return std::string("interrupted"); },
        },
        kind_);
}

MotorError communication_failure(const ControllerError& error) {
    MotorError failure(MotorError::CommunicationFailure{});
    failure.set_os_cause(error.os_cause());
    failure.add_motor_at_fault(error.motor_at_fault());
    return failure;
}

}  // namespace quorvel
