#include "bindings/direct_controller.hpp"

#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings/controller_cell.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/status_types.hpp"
#include "bindings/types.hpp"
#include "common/stop_source.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/error.hpp"

namespace qmc::py {
namespace {

using quorvel::ControllerError;
using quorvel::QuorvelMotorController;
// Empty once close() has released the controller (and with it both ports).
using ControllerCell = PoisonableCell<std::optional<QuorvelMotorController>>;
using qmc::py::LockWait;

constexpr const char* kPoisonedMessage = "Failed to lock motor controller";
constexpr const char* kClosedMessage = "controller is closed";
// A signal handler run during neck_home called the same controller.
constexpr const char* kReenteredMessage =
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

DirectControllerState& state_of(PyObject* self) { return *reinterpret_cast<DirectControllerObject*>(self)->state; }
ControllerCell& cell_of(PyObject* self) { return state_of(self).cell; }

// ---- Failures and results ----------------------------------------------------

// A refused argument (a non-finite position or gain) is the caller's
// mistake; an interrupted operation stopped because a signal handler raised,
// whose exception is already set; everything else the operation reports is a
// bus or controller failure.
std::nullptr_t raise_failure(const ControllerError& error) {
    if (error.is_invalid_argument()) return raise_value_error(error.message());
    if (error.is_interrupted() && PyErr_Occurred() != nullptr) return nullptr;
    return raise_error(error);
}

std::nullptr_t raise_failure(const smartbus::IoError& error) { return raise_failure(ControllerError(smartbus::Error(error))); }

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

PyObject* none() { Py_RETURN_NONE; }

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

PyObject* to_bool_object(bool value) { return bool_object(value); }
PyObject* to_float_object(double value) { return PyFloat_FromDouble(value); }
template <std::size_t N>
PyObject* to_float_list(const std::array<double, N>& values) {
    return float_list(values);
}

PyObject* limits_list(const std::array<std::pair<double, double>, 3>& limits) {
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

// ---- Argument conversion ----------------------------------------------------------

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

// `obj` as a double, or `fallback` when the argument was omitted.
bool to_double_or(PyObject* obj, const char* name, double fallback, double& out) {
    if (obj == nullptr) {
        out = fallback;
        return true;
    }
    return to_double(obj, name, out);
}

// ---- Construction and release ---------------------------------------------------

PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"serialport", "can_bus"};
        static constexpr Signature kSignature{"QuorvelMotorController", kNames, 0};
        PyObject* arg[2];
        if (!bind_arguments(kSignature, args, kwargs, arg)) return nullptr;
        std::optional<std::string> serialport;
        std::string can_bus = "can0";
        if (arg[0] != nullptr && !to_optional_string(arg[0], "serialport", serialport)) return nullptr;
        if (arg[1] != nullptr && !to_string(arg[1], "can_bus", can_bus)) return nullptr;

        auto created = allow_threads([&] { return QuorvelMotorController::create(serialport, can_bus); });
        if (!created) return raise_error(created.error());
        auto state = std::make_unique<DirectControllerState>(std::move(created).value(), serialport, can_bus);

        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) {
            allow_threads([&] { state.reset(); });  // closes both buses
            return nullptr;
        }
        reinterpret_cast<DirectControllerObject*>(self)->state = state.release();
        return self;
    });
}

// No call can be running: each holds a reference to the object. Closing
// the serial port can wait for its output to drain, so the interpreter lock
// is released meanwhile, as around every other wait.
void controller_dealloc(PyObject* self) {
    DirectControllerState* state = reinterpret_cast<DirectControllerObject*>(self)->state;
    allow_threads([state] { delete state; });  // closes the serial port and the CAN socket (if still open)
    free_instance(self);
}

// ---- Lifecycle: close, context manager, repr ----------------------------------

// Releases the controller, closing the serial port (and its lock) and the CAN
// socket. A call in progress on another thread ends first: close waits for
// the mutex like any call, without the interpreter lock. Idempotent.
PyObject* close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto outcome = with_cell(self, [](std::optional<QuorvelMotorController>& controller) {
            controller.reset();
            return true;
        });
        if (!outcome) return nullptr;
        state_of(self).closed.store(true);
        return none();
    });
}

PyObject* enter_context(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Closes the controller; returns None, so an exception raised in the block
// goes on (close's own failure, if any, is chained to it).
PyObject* exit_context(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) return raise_type_error("__exit__ expected 3 arguments, got " + std::to_string(nargs));
        return close(self, nullptr);
    });
}

// QuorvelMotorController(serialport='/dev/ttyUSB0', can_bus='can0', closed=False)
PyObject* controller_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const DirectControllerState& state = state_of(self);
        PyObject* port = state.serialport ? PyUnicode_DecodeFSDefault(state.serialport->c_str()) : Py_NewRef(Py_None);
        PyObject* bus = PyUnicode_DecodeFSDefault(state.can_bus.c_str());
        PyObject* text = port != nullptr && bus != nullptr
                             ? PyUnicode_FromFormat("QuorvelMotorController(serialport=%R, can_bus=%R, closed=%s)",
                                                    port, bus, state.closed.load() ? "True" : "False")
                             : nullptr;
        Py_XDECREF(port);
        Py_XDECREF(bus);
        return text;
    });
}

// ---- Methods ----------------------------------------------------------------------

using Args = PyObject* const*;

PyObject* is_torque_enabled(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.is_torque_enabled(); }, to_bool_object);
    });
}

PyObject* enable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.enable_torque(); });
    });
}

PyObject* disable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.disable_torque(); });
    });
}

PyObject* torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                        bool enable) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"ids"};
        const Signature signature{function, kNames, 1};
        PyObject* arg[1];
        if (!bind_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
        std::vector<std::uint8_t> ids;
        if (!to_byte_list(arg[0], "ids", ids)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.set_torque_on_ids(ids, enable); });
    });
}

PyObject* enable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return torque_on_ids(self, args, nargs, kwnames, "enable_torque_on_ids", true);
}

PyObject* disable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return torque_on_ids(self, args, nargs, kwnames, "disable_torque_on_ids", false);
}

PyObject* read_all_positions(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.read_all_positions(); }, to_float_list<7>);
    });
}

// A method taking one sequence of exactly N positions; `Setter` is the
// controller operation it runs.
template <std::size_t N, class Setter>
PyObject* positions_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                           const char* parameter, Setter setter) {
    return guarded([&]() -> PyObject* {
        const char* const names[] = {parameter};
        const Signature signature{function, names, 1};
        PyObject* arg[1];
        if (!bind_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
        std::array<double, N> positions{};
        if (!to_float_array(arg[0], parameter, positions)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return (c.*setter)(positions); });
    });
}

PyObject* set_all_goal_positions(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<7>(self, args, nargs, kwnames, "set_all_goal_positions", "positions",
                               &QuorvelMotorController::set_all_goal_positions);
}

PyObject* set_left_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<2>(self, args, nargs, kwnames, "set_left_arm_position", "position",
                               &QuorvelMotorController::set_left_arm_position);
}

PyObject* set_right_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<2>(self, args, nargs, kwnames, "set_right_arm_position", "position",
                               &QuorvelMotorController::set_right_arm_position);
}

PyObject* set_arms_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<4>(self, args, nargs, kwnames, "set_arms_position", "position",
                               &QuorvelMotorController::set_arms_position);
}

PyObject* set_nose_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<3>(self, args, nargs, kwnames, "set_nose_position", "position",
                               &QuorvelMotorController::set_nose_position);
}

PyObject* set_neck_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"position"};
        static constexpr Signature kSignature{"set_neck_position", kNames, 1};
        PyObject* arg[1];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        std::array<double, 3> positions{};
        if (!to_float_array(arg[0], "position", positions)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.set_neck_position(positions); },
                    to_float_list<3>);
    });
}

PyObject* single_neck_joint(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                            std::size_t index) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"position"};
        const Signature signature{function, kNames, 1};
        PyObject* arg[1];
        if (!bind_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
        double position = 0.0;
        if (!to_double(arg[0], "position", position)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.set_single_neck_joint(index, position); },
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
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController&) { return QuorvelMotorController::neck_position_limits(); },
                    limits_list);
    });
}

PyObject* read_neck_positions(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.read_neck_positions(); }, to_float_list<3>);
    });
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

// A method taking one bool; `Switch` is the controller operation it runs.
template <class Switch>
PyObject* switch_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                        Switch operation) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"enable"};
        const Signature signature{function, kNames, 1};
        PyObject* arg[1];
        if (!bind_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
        bool enable = false;
        if (!to_bool(arg[0], "enable", enable)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return (c.*operation)(enable); });
    });
}

PyObject* enable_neck(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method(self, args, nargs, kwnames, "enable_neck", &QuorvelMotorController::enable_neck);
}

PyObject* is_neck_torque_enabled(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.is_neck_torque_enabled(); }, to_bool_object);
    });
}

PyObject* enable_arms(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method(self, args, nargs, kwnames, "enable_arms", &QuorvelMotorController::enable_arms);
}

PyObject* set_arm_home(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"verify_tol"};
        static constexpr Signature kSignature{"set_arm_home", kNames, 0};
        PyObject* arg[1];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        double verify_tol = 0.0;
        if (!to_double_or(arg[0], "verify_tol", 0.05, verify_tol)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.set_arm_home(verify_tol); }, to_float_list<4>);
    });
}

PyObject* enable_nose(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method(self, args, nargs, kwnames, "enable_nose", &QuorvelMotorController::enable_nose);
}

PyObject* write_raw_packet(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"data"};
        static constexpr Signature kSignature{"write_raw_packet", kNames, 1};
        PyObject* arg[1];
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg)) return nullptr;
        std::vector<std::uint8_t> data;
        if (!to_bytes(arg[0], "data", data)) return nullptr;
        // The reply the controller collects is not passed on.
        return call(self, [&](QuorvelMotorController& c) { return c.write_raw_packet(data); },
                    [](const std::vector<std::uint8_t>&) { return none(); });
    });
}

// ---- Health readings (status_types.cpp holds the value classes) -------------------

PyObject* read_servo_status(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.read_servo_status(); }, servo_status_list);
    });
}

PyObject* read_neck_status(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        return call(self, [](QuorvelMotorController& c) { return c.read_neck_status(); }, neck_status_list);
    });
}

PyObject* probe_servo(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"id"};
        static constexpr Signature kSignature{"probe_servo", kNames, 1};
        PyObject* arg[1];
        std::uint8_t id = 0;
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg) || !to_u8(arg[0], "id", id)) return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.probe_servo(id); }, servo_probe_tuple);
    });
}

PyObject* probe_neck_motor(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"index"};
        static constexpr Signature kSignature{"probe_neck_motor", kNames, 1};
        PyObject* arg[1];
        std::size_t index = 0;
        if (!bind_arguments(kSignature, args, nargs, kwnames, arg) || !to_index(arg[0], "index", index))
            return nullptr;
        return call(self, [&](QuorvelMotorController& c) { return c.probe_neck_motor(index); }, neck_probe_tuple);
    });
}

// ---- Class ------------------------------------------------------------------------

template <class F>
PyCFunction method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef controller_methods[] = {
    {"is_torque_enabled", method(is_torque_enabled), kNoArgs,
     "is_torque_enabled($self)\n--\n\nIs torque enabled on all motors"},
    {"enable_torque", method(enable_torque), kNoArgs, "enable_torque($self)\n--\n\nEnable torque on all motors."},
    {"enable_torque_on_ids", method(enable_torque_on_ids), kArgs,
     "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids"},
    {"disable_torque", method(disable_torque), kNoArgs,
     "disable_torque($self)\n--\n\nDisable torque on all motors."},
    {"disable_torque_on_ids", method(disable_torque_on_ids), kArgs,
     "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids"},
    {"read_all_positions", method(read_all_positions), kNoArgs,
     "read_all_positions($self)\n--\n\n"
     "Read all motor positions as a 7-element array.\n"
     "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"},
    {"set_all_goal_positions", method(set_all_goal_positions), kArgs,
     "set_all_goal_positions($self, positions)\n--\n\n"
     "Set goal positions for all motors (7 values).\n\n"
     "# Arguments\n"
     "* `positions` - Array of 7 goal positions\n"
     "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."},
    {"set_left_arm_position", method(set_left_arm_position), kArgs,
     "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."},
    {"set_right_arm_position", method(set_right_arm_position), kArgs,
     "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."},
    {"set_arms_position", method(set_arms_position), kArgs,
     "set_arms_position($self, position)\n--\n\n"
     "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."},
    {"set_nose_position", method(set_nose_position), kArgs,
     "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."},
    {"set_neck_position", method(set_neck_position), kArgs,
     "set_neck_position($self, position)\n--\n\n"
     "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
     "the observed positions reported by the motor replies."},
    {"set_neck_yaw_position", method(set_neck_yaw_position), kArgs, "set_neck_yaw_position($self, position)\n--\n\n"},
    {"set_neck_pitch_position", method(set_neck_pitch_position), kArgs,
     "set_neck_pitch_position($self, position)\n--\n\n"},
    {"set_neck_roll_position", method(set_neck_roll_position), kArgs,
     "set_neck_roll_position($self, position)\n--\n\n"},
    {"neck_position_limits", method(neck_position_limits), kNoArgs,
     "neck_position_limits($self)\n--\n\n"
     "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
     "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
     "before commanding the motor."},
    {"read_neck_positions", method(read_neck_positions), kNoArgs,
     "read_neck_positions($self)\n--\n\n"
     "Read the current neck positions (yaw, pitch, roll) via a Damiao\n"
     "feedback request."},
    {"set_neck_gains", method(set_neck_gains), kArgs,
     "set_neck_gains($self, index, kp, kd)\n--\n\n"
     "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
     "`index`: 0=yaw, 1=pitch, 2=roll."},
    {"neck_home", method(neck_home), kArgs,
     "neck_home($self, speed=0.4, tolerance=0.15, kp=None, kd=None)\n--\n\n"
     "Home the 3 neck joints to the nearest physical zero.\n"
     "\n"
     "Snaps each goal to the nearest multiple of 2\u03c0 of the joint's current\n"
     "reported position \u2014 after a power cycle the Damiao multi-turn counter\n"
     "resets, so commanding \"go to 0\" naively could spin the head a full\n"
     "turn. Rounding keeps travel within \u00b1\u03c0 and lands at a physically\n"
     "equivalent zero.\n"
     "\n"
     "Enables neck torque if it isn't already (does **not** disable on\n"
     "exit \u2014 caller owns torque lifecycle). Ramps at `speed` rad/s on a\n"
     "10 ms cycle and returns the observed positions once every joint is\n"
     "within `tolerance` rad of its goal. Raises on timeout.\n"
     "\n"
     "`kp` / `kd`: optional overrides applied to all three joints for the\n"
     "duration of homing (and left in place afterwards). `None` keeps the\n"
     "per-joint defaults baked into the controller."},
    {"enable_neck", method(enable_neck), kArgs,
     "enable_neck($self, enable)\n--\n\n"
     "Enable or disable the neck motors. On enable, also forces each motor\n"
     "into MIT control mode."},
    {"is_neck_torque_enabled", method(is_neck_torque_enabled), kNoArgs,
     "is_neck_torque_enabled($self)\n--\n\n"
     "Last commanded torque-enable state for the neck (in-memory; the\n"
     "Damiao firmware does not expose a readable enable register)."},
    {"enable_arms", method(enable_arms), kArgs, "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."},
    {"set_arm_home", method(set_arm_home), kArgs,
     "set_arm_home($self, verify_tol=0.05)\n--\n\n"
     "Make the current physical arm pose the new \"radian zero\" by rewriting\n"
     "each Feetech arm motor's Position Offset EEPROM register (0x1F).\n"
     "Persistent across power cycles.\n"
     "\n"
     "Disables arm torque, reads the current present_position + offset for\n"
     "every arm motor, computes a new offset equal to the recovered absolute\n"
     "encoder position (so future `present_position` reads of this pose come\n"
     "back as 0 rad and `goal_position = 0` writes leave the arm where it\n"
     "sits now), unlocks EEPROM, writes the offset, re-locks, and verifies\n"
     "by reading present_position back. Caller owns torque lifecycle \u2014 arms\n"
     "are left **torque-off** on exit.\n"
     "\n"
     "Returns the observed post-write `present_position` (rad) for the four\n"
     "joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises\n"
     "`RuntimeError` when verification fails (within `verify_tol` rad of 0)\n"
     "or any bus call errors."},
    {"enable_nose", method(enable_nose), kArgs, "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."},
    {"write_raw_packet", method(write_raw_packet), kArgs,
     "write_raw_packet($self, data)\n--\n\n"
     "Write raw packet data to the serial port.\n"
     "\n"
     "# Arguments\n"
     "* `data` - Byte array of raw packet data to send."},
    {"close", method(close), kNoArgs,
     "close($self)\n--\n\n"
     "Release both buses at once (the serial port can then be opened again).\n"
     "Waits for a call in progress on another thread. Idempotent; afterwards\n"
     "every method raises RuntimeError \"controller is closed\"."},
    {"__enter__", method(enter_context), kNoArgs, "__enter__($self, /)\n--\n\nReturn self."},
    {"__exit__", method(exit_context), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the controller."},
    // Health readings.
    {"read_servo_status", method(read_servo_status), kNoArgs,
     "read_servo_status($self)\n--\n\n"
     "Status of the seven servos (servo order) as ServoStatus values, read with\n"
     "one sync read per servo group over the status registers 56-70."},
    {"read_neck_status", method(read_neck_status), kNoArgs,
     "read_neck_status($self)\n--\n\n"
     "Status of the three neck motors (yaw, pitch, roll) as NeckStatus values,\n"
     "from one feedback request each."},
    {"probe_servo", method(probe_servo), kArgs,
     "probe_servo($self, id)\n--\n\n"
     "One servo (id 1-7) on its own: (model_number, ServoStatus), from a read of\n"
     "its model number register (3) and one of its status registers. Raises\n"
     "RuntimeError when the servo does not answer. Sends only reads."},
    {"probe_neck_motor", method(probe_neck_motor), kArgs,
     "probe_neck_motor($self, index)\n--\n\n"
     "One neck motor (0=yaw, 1=pitch, 2=roll) on its own: (control_mode,\n"
     "NeckStatus), from a feedback request and a read of its CTRL_MODE register.\n"
     "Raises RuntimeError when the motor does not answer. Sends only requests."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot controller_slots[] = {
    {Py_tp_doc, const_cast<char*>("QuorvelMotorController(serialport=None, can_bus=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(controller_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(controller_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(controller_repr)},
    {Py_tp_methods, controller_methods},
    {0, nullptr},
};

PyType_Spec controller_spec = {
    "quorvel_motor_controller.QuorvelMotorController",
    static_cast<int>(sizeof(DirectControllerObject)),
    0,
    kClassFlags,
    controller_slots,
};

PyTypeObject* controller_type_cell = nullptr;  // written once, with the interpreter lock held

}  // namespace

PyTypeObject* direct_controller_type() {
    if (controller_type_cell == nullptr) controller_type_cell = create_type(controller_spec);
    return controller_type_cell;
}

}  // namespace qmc::py
