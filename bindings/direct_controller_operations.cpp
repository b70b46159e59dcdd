// The operations the direct controller class's methods run beyond the
// controller's own (homing with Ctrl-C, the defaults of omitted arguments,
// the torque switch on ids), and the conversion of neck gains.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/direct_controller_object.hpp"
#include "bindings/gil.hpp"
#include "common/stop_source.hpp"

namespace qmc::py::direct_class {
namespace {

// A gain goes to the motor as a 32-bit float. A finite value beyond the
// float range becomes the largest float of its sign (the MIT encoding then
// saturates it); NaN and the infinities stay what they are, for the
// controller to refuse.
float narrow_gain(double value) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isfinite(value) && value > kMax) return std::numeric_limits<float>::max();
    if (std::isfinite(value) && value < -kMax) return std::numeric_limits<float>::lowest();
    return static_cast<float>(value);
}

}  // namespace

bool to_gain(PyObject* obj, const char* name, float& out) {
    double value = 0.0;
    if (!to_double(obj, name, value)) return false;
    out = narrow_gain(value);
    return true;
}

bool to_optional_gain(PyObject* obj, const char* name, std::optional<float>& out) {
    if (obj == nullptr || obj == Py_None) {
        out.reset();
        return true;
    }
    float value = 0.0F;
    if (!to_gain(obj, name, value)) return false;
    out = value;
    return true;
}

ControllerResult<void> enable_torque_on_ids(QuorvelMotorController& controller, const std::vector<std::uint8_t>& ids) {
    return controller.set_torque_on_ids(ids, true);
}

ControllerResult<void> disable_torque_on_ids(QuorvelMotorController& controller, const std::vector<std::uint8_t>& ids) {
    return controller.set_torque_on_ids(ids, false);
}

ControllerResult<std::array<double, 4>> set_arm_home(QuorvelMotorController& controller,
                                                     const std::optional<double>& verify_tol) {
    return controller.set_arm_home(verify_tol.value_or(0.05));
}

// Sends nothing, but a poisoned controller refuses it like every other method.
std::array<std::pair<double, double>, 3> neck_position_limits(QuorvelMotorController&) {
    return QuorvelMotorController::neck_position_limits();
}

ControllerResult<std::array<double, 3>> neck_home(QuorvelMotorController& controller,
                                                  const std::optional<double>& speed,
                                                  const std::optional<double>& tolerance,
                                                  const std::optional<float>& kp, const std::optional<float>& kd) {
    common::StopSource stop(signal_handler_raised_unlocked);
    return controller.neck_home(speed.value_or(0.4), tolerance.value_or(0.15), kp, kd, &stop);
}

}  // namespace qmc::py::direct_class
