// The QuorvelMotorController instance and the way every method of the class
// runs an operation on it (`run`, the act of its method table entries).
// direct_controller.cpp defines the class; direct_controller_operations.cpp
// the operations its methods run beyond the controller's own.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

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
using quorvel::ControllerResult;
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
// A failure that lies with a motor names it, and its device, in a note.
inline std::nullptr_t raise_failure(const ControllerError& error, const BusDevices& devices) {
    if (error.is_invalid_argument()) return raise_value_error(error.message());
    if (error.is_interrupted() && PyErr_Occurred() != nullptr) return nullptr;
    const auto motor = error.motor_at_fault();
    return raise_bus_failure(error.message(), error.os_cause(),
                             motor ? std::span<const quorvel::MotorAtFault>(&*motor, 1)
                                   : std::span<const quorvel::MotorAtFault>(),
                             devices);
}

inline std::nullptr_t raise_failure(const smartbus::IoError& error, const BusDevices& devices) {
    return raise_failure(ControllerError(smartbus::Error(error)), devices);
}

inline BusDevices devices_of(PyObject* self) {
    const DirectControllerState& state = state_of(self);
    return {state.serialport ? std::string_view(*state.serialport) : std::string_view{}, state.can_bus};
}

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

// Runs the operation and turns its outcome into the method's return value:
// None for an operation without a value, `convert(value)` otherwise.
template <class Op, class Convert>
PyObject* call(PyObject* self, Op&& op, Convert&& convert) {
    auto outcome = locked(self, std::forward<Op>(op));
    if (!outcome) return nullptr;
    auto& result = *outcome;
    using R = std::remove_reference_t<decltype(result)>;
    if constexpr (is_result<R>::value) {
        if (!result.ok()) return raise_failure(result.error(), devices_of(self));
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

// The act of a method that runs one controller operation: `Op(controller,
// values...)` with the method's argument values (Op is a member function or
// a function taking the controller first); the method returns
// `Convert(value)` for an operation with a value, None otherwise.
template <auto Op, auto... Convert>
struct Run {
    template <class... T>
    PyObject* operator()(PyObject* self, T&... values) const {
        return call(self, [&](QuorvelMotorController& c) { return std::invoke(Op, c, values...); }, Convert...);
    }
};

template <auto Op, auto... Convert>
inline constexpr Run<Op, Convert...> run{};

inline PyObject* to_bool_object(bool value) { return bool_object(value); }
inline PyObject* to_float_object(double value) { return PyFloat_FromDouble(value); }
template <std::size_t N>
PyObject* to_float_list(const std::array<double, N>& values) {
    return float_list(values);
}

inline PyObject* limits_list(const std::array<std::pair<double, double>, 3>& limits) {
    return sequence_of(limits.size(),
                       [&](std::size_t i) { return Py_BuildValue("(dd)", limits[i].first, limits[i].second); });
}

// The reply to a raw packet, which the method does not pass on.
inline PyObject* reply_dropped(const std::vector<std::uint8_t>&) { return none(); }

// Neck gains in (direct_controller_operations.cpp): a gain goes to the motor
// as a 32-bit float; an optional one is empty when omitted or None (the
// controller's default).
bool to_gain(PyObject* obj, const char* name, float& out);
bool to_optional_gain(PyObject* obj, const char* name, std::optional<float>& out);
template <Name name>
using GainIn = Param<name, float, to_gain>;
template <Name name>
using OptionalGainIn = Param<name, std::optional<float>, to_optional_gain, false>;

// ---- Operations the methods run, beyond the controller's own (direct_controller_operations.cpp) ----

ControllerResult<void> enable_torque_on_ids(QuorvelMotorController& controller, const std::vector<std::uint8_t>& ids);
ControllerResult<void> disable_torque_on_ids(QuorvelMotorController& controller, const std::vector<std::uint8_t>& ids);
ControllerResult<std::array<double, 4>> set_arm_home(QuorvelMotorController& controller,
                                                     const std::optional<double>& verify_tol);

template <std::size_t Joint>
ControllerResult<double> set_neck_joint(QuorvelMotorController& controller, double position) {
    return controller.set_single_neck_joint(Joint, position);
}

std::array<std::pair<double, double>, 3> neck_position_limits(QuorvelMotorController& controller);

// Homing takes seconds: it runs the signal handlers on every cycle and stops
// when one raises, leaving the neck enabled at its last command.
ControllerResult<std::array<double, 3>> neck_home(QuorvelMotorController& controller,
                                                  const std::optional<double>& speed,
                                                  const std::optional<double>& tolerance,
                                                  const std::optional<float>& kp, const std::optional<float>& kd);


}  // namespace qmc::py::direct_class
