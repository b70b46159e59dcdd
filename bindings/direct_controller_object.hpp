// The QuorvelMotorController instance and the way every method of the class
// runs an operation on it. direct_controller.cpp defines the class and most
// methods; direct_controller_neck.cpp the neck's; direct_controller_health.cpp
// the health readings.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "bindings/controller_cell.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/method_shapes.hpp"
#include "bindings/python.hpp"
#include "common/stop_source.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/error.hpp"

namespace qmc::py::direct_class {

using quorvel::ControllerError;
using quorvel::QuorvelMotorController;
// Empty once close() has released the controller (and with it both ports).
using ControllerCell = PoisonableCell<std::optional<QuorvelMotorController>>;

inline constexpr const char* kPoisonedMessage = "Failed to lock motor controller";
inline constexpr const char* kClosedMessage = "controller is closed";
// A signal handler run during neck_home called the same controller.
inline constexpr const char* kReenteredMessage =
    "motor controller is busy in a call on this thread (called from a signal handler during neck_home?)";

// What an instance owns: the controller behind its mutex, and what it was
// opened with (for repr, which never waits for the mutex).
struct DirectControllerState {
    DirectControllerState(QuorvelMotorController controller, std::optional<std::string> port, std::string bus)
        : cell(std::make_optional(std::move(controller))), serialport(std::move(port)), can_bus(std::move(bus)) {}

    ControllerCell cell;
    const std::optional<std::string> serialport;
    const std::string can_bus;
    std::atomic<bool> closed{false};  // set once close() has released the controller
};

struct DirectControllerObject {
    PyObject_HEAD
    // Owned; set by tp_new before the object is handed out, freed by dealloc.
    DirectControllerState* state;
};

inline DirectControllerState& state_of(PyObject* self) { return *reinterpret_cast<DirectControllerObject*>(self)->state; }
inline ControllerCell& cell_of(PyObject* self) { return state_of(self).cell; }

// ---- Failures and results ----------------------------------------------------

// A refused argument (a non-finite position or gain) is the caller's
// mistake; an interrupted operation stopped because a signal handler raised,
// whose exception is already set; everything else the operation reports is a
// bus or controller failure.
inline std::nullptr_t raise_failure(const ControllerError& error) {
    if (error.is_invalid_argument()) return raise_value_error(error.message());
    if (error.is_interrupted() && PyErr_Occurred() != nullptr) return nullptr;
    return raise_error(error);
}

inline std::nullptr_t raise_failure(const smartbus::IoError& error) { return raise_failure(ControllerError(smartbus::Error(error))); }

template <class R>
struct is_result : std::false_type {};
template <class T, class E>
struct is_result<common::Result<T, E>> : std::true_type {};

// Runs `op(cell content)` with the interpreter lock released, both while it
// waits for the controller mutex and while the operation talks to the buses
// or sleeps, so other Python threads (and native threads that log) keep
// going. While another thread holds the controller (a homing can take many
// seconds), the wait comes back every StopSource::kCheckPeriod to run the
// signal handlers, so Ctrl-C ends it. Returns the operation's outcome, or
// nothing with an exception set: RuntimeError when an earlier fault poisoned
// the mutex, or what a signal handler raised. A C++ exception escaping `op`
// poisons the mutex and propagates (the call guard turns it into PanicException).
template <class Op>
auto with_cell(PyObject* self, Op&& op) {
    ControllerCell& cell = cell_of(self);
    for (;;) {
        LockWait wait = LockWait::Busy;
        auto outcome =
            allow_threads([&] { return cell.with_lock_for(common::StopSource::kCheckPeriod, wait, op); });
        switch (wait) {
            case LockWait::Locked:
                if (!outcome) raise_runtime_error(kPoisonedMessage);
                return outcome;
            case LockWait::HeldByThisThread:
                raise_runtime_error(kReenteredMessage);
                return outcome;
            case LockWait::Busy:
                if (PyErr_CheckSignals() < 0) return outcome;  // empty, with the handler's exception
                break;
        }
    }
}

// with_cell for an operation on the open controller: after close() it raises
// RuntimeError "controller is closed" and returns nothing.
template <class Op>
auto locked(PyObject* self, Op&& op) {
    using R = std::invoke_result_t<Op&, QuorvelMotorController&>;
    auto outcome = with_cell(self, [&](std::optional<QuorvelMotorController>& controller) -> std::optional<R> {
        if (!controller) return std::nullopt;
        return op(*controller);
    });
    std::optional<R> result;
    if (!outcome) return result;
    if (!*outcome) {
        raise_runtime_error(kClosedMessage);
        return result;
    }
    result.emplace(std::move(**outcome));
    return result;
}

inline PyObject* none() { Py_RETURN_NONE; }

// Runs the operation and turns its outcome into the method's return value:
// None for an operation without a value, `convert(value)` otherwise.
template <class Op, class Convert>
PyObject* call(PyObject* self, Op&& op, Convert&& convert) {
    auto outcome = locked(self, std::forward<Op>(op));
    if (!outcome) return nullptr;
    auto& result = *outcome;
    using R = std::remove_reference_t<decltype(result)>;
    if constexpr (is_result<R>::value) {
        if (!result.ok()) return raise_failure(result.error());
        if constexpr (std::is_void_v<typename R::value_type>) {
            return none();
        } else {
            return convert(result.value());
        }
    } else {
        return convert(result);
    }
}

template <class Op>
PyObject* call(PyObject* self, Op&& op) {
    return call(self, std::forward<Op>(op), [](const auto&) { return none(); });
}

// Value out: a method whose whole body is one call of the controller
// operation `op` (with `convert` for its value, when it has one), inside the
// call guard.
template <class Op, class... Convert>
PyObject* value_out(PyObject* self, Op&& op, Convert&&... convert) {
    return guarded([&]() -> PyObject* { return call(self, std::forward<Op>(op), std::forward<Convert>(convert)...); });
}

inline PyObject* to_bool_object(bool value) { return bool_object(value); }
inline PyObject* to_float_object(double value) { return PyFloat_FromDouble(value); }
template <std::size_t N>
PyObject* to_float_list(const std::array<double, N>& values) {
    return float_list(values);
}

inline PyObject* limits_list(const std::array<std::pair<double, double>, 3>& limits) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(limits.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < limits.size(); ++i) {
        PyObject* pair = Py_BuildValue("(dd)", limits[i].first, limits[i].second);
        if (pair == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pair);
    }
    return list;
}

// `obj` as a double, or `fallback` when the argument was omitted.
inline bool to_double_or(PyObject* obj, const char* name, double fallback, double& out) {
    if (obj == nullptr) {
        out = fallback;
        return true;
    }
    return to_double(obj, name, out);
}


// A method taking one bool; `Switch` is the controller operation it runs.
template <class Switch>
PyObject* switch_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                        Switch operation) {
    return switch_in(self, args, nargs, kwnames, function, [&](PyObject* s, bool enable) {
        return call(s, [&](QuorvelMotorController& c) { return (c.*operation)(enable); });
    });
}

// ---- The neck (direct_controller_neck.cpp) ----------------------------------------

FastMethod set_neck_position, set_neck_yaw_position, set_neck_pitch_position, set_neck_roll_position, set_neck_gains,
    neck_home, enable_neck;
NoArgsMethod neck_position_limits, read_neck_positions, is_neck_torque_enabled;


// ---- Health readings (direct_controller_health.cpp) --------------------------------

NoArgsMethod read_servo_status, read_neck_status;
FastMethod probe_servo, probe_neck_motor;

}  // namespace qmc::py::direct_class
