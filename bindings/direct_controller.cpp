#include "bindings/direct_controller.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/direct_controller_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/types.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace qmc::py {
namespace direct_class {

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

PyObject* is_torque_enabled(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.is_torque_enabled(); }, to_bool_object);
}

PyObject* enable_torque(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.enable_torque(); });
}

PyObject* disable_torque(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.disable_torque(); });
}

PyObject* torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                        bool enable) {
    return ids_in(self, args, nargs, kwnames, function, [&](PyObject* s, std::vector<std::uint8_t>& ids) {
        return call(s, [&](QuorvelMotorController& c) { return c.set_torque_on_ids(ids, enable); });
    });
}

PyObject* enable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return torque_on_ids(self, args, nargs, kwnames, "enable_torque_on_ids", true);
}

PyObject* disable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return torque_on_ids(self, args, nargs, kwnames, "disable_torque_on_ids", false);
}

PyObject* read_all_positions(PyObject* self, PyObject*) {
    return value_out(self, [](QuorvelMotorController& c) { return c.read_all_positions(); }, to_float_list<7>);
}

// A method taking one sequence of exactly N positions; `Setter` is the
// controller operation it runs.
template <std::size_t N, class Setter>
PyObject* positions_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function,
                           const char* parameter, Setter setter) {
    return positions_in<N>(self, args, nargs, kwnames, function, parameter,
                           [&](PyObject* s, std::array<double, N>& positions) {
                               return call(s, [&](QuorvelMotorController& c) { return (c.*setter)(positions); });
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

const ClassParts controller_parts = {
    "quorvel_motor_controller.QuorvelMotorController",
    static_cast<int>(sizeof(DirectControllerObject)),
    "QuorvelMotorController(serialport=None, can_bus=...)\n--\n\n",
    controller_new,
    controller_dealloc,
    controller_repr,
    controller_methods,
};

PyTypeObject* controller_type_cell = nullptr;  // written once, with the interpreter lock held

}  // namespace direct_class

PyTypeObject* direct_controller_type() {
    using namespace direct_class;
    if (controller_type_cell == nullptr) controller_type_cell = create_class(controller_parts);
    return controller_type_cell;
}

}  // namespace qmc::py
