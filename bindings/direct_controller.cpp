#include "bindings/direct_controller.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bindings/convert.hpp"
#include "bindings/direct_controller_object.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/method_shapes.hpp"
#include "bindings/status_types.hpp"
#include "bindings/types.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace qmc::py {
namespace direct_class {

// ---- Construction and release ---------------------------------------------------

PyObject* controller_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr const char* kNames[] = {"serialport", "can_bus", "single_sync_read"};
        static constexpr Signature kSignature{"QuorvelMotorController", kNames, 0, 2};
        PyObject* arg[3];
        if (!bind_arguments(kSignature, args, kwargs, arg)) return nullptr;
        std::optional<std::string> serialport;
        std::string can_bus = "can0";
        bool single_sync_read = false;
        if (arg[0] != nullptr && !to_optional_string(arg[0], "serialport", serialport)) return nullptr;
        if (arg[1] != nullptr && !to_string(arg[1], "can_bus", can_bus)) return nullptr;
        if (arg[2] != nullptr && !to_bool(arg[2], "single_sync_read", single_sync_read)) return nullptr;
        const auto position_read =
            single_sync_read ? quorvel::PositionRead::OneSyncRead : quorvel::PositionRead::ArmsThenNose;

        auto created = allow_threads(
            [&] { return QuorvelMotorController::create(serialport, can_bus, {}, position_read); });
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
PyObject* close(PyObject* self) {
    auto outcome = with_cell(self, [](std::optional<QuorvelMotorController>& controller) {
        controller.reset();
        return true;
    });
    if (!outcome) return nullptr;
    state_of(self).closed.store(true);
    return none();
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

// ---- Class ------------------------------------------------------------------------

using C = QuorvelMotorController;

PyMethodDef controller_methods[] = {
    method<"is_torque_enabled", run<&C::is_torque_enabled, to_bool_object>>(
        "is_torque_enabled($self)\n--\n\nIs torque enabled on all motors"),
    method<"enable_torque", run<&C::enable_torque>>("enable_torque($self)\n--\n\nEnable torque on all motors."),
    method<"enable_torque_on_ids", run<enable_torque_on_ids>, IdsIn>(
        "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids"),
    method<"disable_torque", run<&C::disable_torque>>("disable_torque($self)\n--\n\nDisable torque on all motors."),
    method<"disable_torque_on_ids", run<disable_torque_on_ids>, IdsIn>(
        "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids"),
    method<"read_all_positions", run<&C::read_all_positions, to_float_list<7>>>(
        "read_all_positions($self)\n--\n\n"
        "Read all motor positions as a 7-element array.\n"
        "Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"),
    method<"set_all_goal_positions", run<&C::set_all_goal_positions>, PositionsIn<7, "positions">>(
        "set_all_goal_positions($self, positions)\n--\n\n"
        "Set goal positions for all motors (7 values).\n\n"
        "# Arguments\n"
        "* `positions` - Array of 7 goal positions\n"
        "  (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."),
    method<"set_left_arm_position", run<&C::set_left_arm_position>, PositionsIn<2>>(
        "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."),
    method<"set_right_arm_position", run<&C::set_right_arm_position>, PositionsIn<2>>(
        "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."),
    method<"set_arms_position", run<&C::set_arms_position>, PositionsIn<4>>(
        "set_arms_position($self, position)\n--\n\n"
        "Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."),
    method<"set_nose_position", run<&C::set_nose_position>, PositionsIn<3>>(
        "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."),
    method<"set_neck_position", run<&C::set_neck_position, to_float_list<3>>, PositionsIn<3>>(
        "set_neck_position($self, position)\n--\n\n"
        "Set goal positions for the neck (3 values: yaw, pitch, roll). Returns\n"
        "the observed positions reported by the motor replies."),
    method<"set_neck_yaw_position", run<set_neck_joint<0>, to_float_object>, PositionIn>(
        "set_neck_yaw_position($self, position)\n--\n\n"),
    method<"set_neck_pitch_position", run<set_neck_joint<1>, to_float_object>, PositionIn>(
        "set_neck_pitch_position($self, position)\n--\n\n"),
    method<"set_neck_roll_position", run<set_neck_joint<2>, to_float_object>, PositionIn>(
        "set_neck_roll_position($self, position)\n--\n\n"),
    method<"neck_position_limits", run<neck_position_limits, limits_list>>(
        "neck_position_limits($self)\n--\n\n"
        "Hard safety bounds (lower, upper) in rad for each neck joint.\n"
        "Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds\n"
        "before commanding the motor."),
    method<"read_neck_positions", run<&C::read_neck_positions, to_float_list<3>>>(
        "read_neck_positions($self)\n--\n\n"
        "Read the current neck positions (yaw, pitch, roll) via a Damiao\n"
        "feedback request."),
    method<"set_neck_gains", run<&C::set_neck_gains>, IndexIn<"index">, GainIn<"kp">, GainIn<"kd">>(
        "set_neck_gains($self, index, kp, kd)\n--\n\n"
        "Override the MIT impedance gains (kp, kd) for a single neck joint.\n"
        "`index`: 0=yaw, 1=pitch, 2=roll."),
    method<"neck_home", run<neck_home, to_float_list<3>>, Omittable<"speed", double, to_double>,
           Omittable<"tolerance", double, to_double>, OptionalGainIn<"kp">, OptionalGainIn<"kd">>(
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
        "per-joint defaults baked into the controller."),
    method<"enable_neck", run<&C::enable_neck>, SwitchIn>(
        "enable_neck($self, enable)\n--\n\n"
        "Enable or disable the neck motors. On enable, also forces each motor\n"
        "into MIT control mode."),
    method<"is_neck_torque_enabled", run<&C::is_neck_torque_enabled, to_bool_object>>(
        "is_neck_torque_enabled($self)\n--\n\n"
        "Last commanded torque-enable state for the neck (in-memory; the\n"
        "Damiao firmware does not expose a readable enable register)."),
    method<"enable_arms", run<&C::enable_arms>, SwitchIn>(
        "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."),
    method<"set_arm_home", run<set_arm_home, to_float_list<4>>, Omittable<"verify_tol", double, to_double>>(
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
        "or any bus call errors."),
    method<"enable_nose", run<&C::enable_nose>, SwitchIn>(
        "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."),
    method<"write_raw_packet", run<&C::write_raw_packet, reply_dropped>, BytesIn<"data">>(
        "write_raw_packet($self, data)\n--\n\n"
        "Write raw packet data to the serial port.\n"
        "\n"
        "# Arguments\n"
        "* `data` - Byte array of raw packet data to send."),
    method<"close", close>(
        "close($self)\n--\n\n"
        "Release both buses at once (the serial port can then be opened again).\n"
        "Waits for a call in progress on another thread. Idempotent; afterwards\n"
        "every method raises RuntimeError \"controller is closed\"."),
    enter_method(),
    exit_method<close>(
        "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the controller."),
    // Health readings.
    method<"read_servo_status", run<&C::read_servo_status, servo_status_list>>(
        "read_servo_status($self)\n--\n\n"
        "Status of the seven servos (servo order) as ServoStatus values, read with\n"
        "one sync read per servo group over the status registers 56-70."),
    method<"read_neck_status", run<&C::read_neck_status, neck_status_list>>(
        "read_neck_status($self)\n--\n\n"
        "Status of the three neck motors (yaw, pitch, roll) as NeckStatus values,\n"
        "from one feedback request each."),
    method<"probe_servo", run<&C::probe_servo, servo_probe_tuple>, U8In<"id">>(
        "probe_servo($self, id)\n--\n\n"
        "One servo (id 1-7) on its own: (model_number, ServoStatus), from a read of\n"
        "its model number register (3) and one of its status registers. Raises\n"
        "RuntimeError when the servo does not answer. Sends only reads."),
    method<"probe_neck_motor", run<&C::probe_neck_motor, neck_probe_tuple>, IndexIn<"index">>(
        "probe_neck_motor($self, index)\n--\n\n"
        "One neck motor (0=yaw, 1=pitch, 2=roll) on its own: (control_mode,\n"
        "NeckStatus), from a feedback request and a read of its CTRL_MODE register.\n"
        "Raises RuntimeError when the motor does not answer. Sends only requests."),
    kEndOfMethods,
};

const ClassParts controller_parts = {"quorvel_motor_controller.QuorvelMotorController",
                                     static_cast<int>(sizeof(DirectControllerObject)),
                                     "QuorvelMotorController(serialport=None, can_bus=...)\n--\n\n",
                                     controller_new, controller_dealloc, controller_repr, controller_methods};

PyTypeObject* controller_type_cell = nullptr;  // written once, with the interpreter lock held

}  // namespace direct_class

PyTypeObject* direct_controller_type() {
    using namespace direct_class;
    if (controller_type_cell == nullptr) controller_type_cell = create_class(controller_parts);
    return controller_type_cell;
}

}  // namespace qmc::py
