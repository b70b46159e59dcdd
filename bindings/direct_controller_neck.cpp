// The direct controller class's neck methods: positions, limits, gains,
// homing and the enable switch.
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>

#include "bindings/convert.hpp"
#include "bindings/direct_controller_object.hpp"
#include "bindings/errors.hpp"

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

}  // namespace

PyObject* set_neck_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_in<3>(self, args, nargs, kwnames, "set_neck_position", "position",
                           [](PyObject* s, std::array<double, 3>& positions) {
                               return call(s, [&](QuorvelMotorController& c) { return c.set_neck_position(positions); },
                                           to_float_list<3>);
                           });
}

PyObject* single_neck_joint(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                            std::size_t index) {
    return position_in(self, args, nargs, kwnames, function, [&](PyObject* s, double position) {
        return call(s, [&](QuorvelMotorController& c) { return c.set_single_neck_joint(index, position); },
                    to_float_object);
    });
}

PyObject* set_neck_yaw_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return single_neck_joint(self, args, nargs, kwnames, "set_neck_yaw_position", 0);
}

PyObject* set_neck_pitch_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return single_neck_joint(self, args, nargs, kwnames, "set_neck_pitch_position", 1);
}

PyObject* set_neck_roll_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return single_neck_joint(self, args, nargs, kwnames, "set_neck_roll_position", 2);
}

// Sends nothing, but a poisoned controller refuses it like every other method.
PyObject* neck_position_limits(PyObject* self, PyObject*) {
    return value_out(
        self, [](QuorvelMotorController&) { return QuorvelMotorController::neck_position_limits(); }, limits_list);
}

PyObject* read_neck_positions(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.read_neck_positions(); }, to_float_list<3>);
}

PyObject* set_neck_gains(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"index", "kp", "kd"};
        static constexpr Signature kSignature{"set_neck_gains", kNames, 3};
        PyObject* arg[3];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        std::size_t index = 0;
        float kp = 0.0F;
        float kd = 0.0F;
        if (!to_index(arg[0], "index", index) || !to_gain(arg[1], "kp", kp) || !to_gain(arg[2], "kd", kd))
            return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.set_neck_gains(index, kp, kd); });
    });
}

PyObject* neck_home(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"speed", "tolerance", "kp", "kd"};
        static constexpr Signature kSignature{"neck_home", kNames, 0};
        PyObject* arg[4];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        double speed = 0.0;
        double tolerance = 0.0;
        std::optional<float> kp;
        std::optional<float> kd;
        if (!to_double_or(arg[0], "speed", 0.4, speed) || !to_double_or(arg[1], "tolerance", 0.15, tolerance) ||
            !to_optional_gain(arg[2], "kp", kp) || !to_optional_gain(arg[3], "kd", kd))
            return nullptr;
        // Homing takes seconds: it runs the signal handlers on every cycle
        // and stops when one raises, leaving the neck enabled at its last command.
        return call(
            self,
            [&](QuorvelMotorController& c) {
                common::StopSource stop(signal_handler_raised_unlocked);
                return c.neck_home(speed, tolerance, kp, kd, &stop);
            },
            to_float_list<3>);
    });
}

PyObject* enable_neck(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method(self, args, nargs, kwnames, "enable_neck", &QuorvelMotorController::enable_neck);
}

PyObject* is_neck_torque_enabled(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.is_neck_torque_enabled(); }, to_bool_object);
}

}  // namespace qmc::py::direct_class
