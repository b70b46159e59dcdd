#include "bindings/control_loop_class.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/control_loop_object.hpp"
#include "bindings/live_loops.hpp"
#include "bindings/logging_bridge.hpp"
#include "bindings/method_shapes.hpp"
#include "bindings/records_types.hpp"
#include "bindings/status_types.hpp"
#include "bindings/types.hpp"
#include "common/format.hpp"
#include "common/stop_source.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/handle_commands.hpp"
#include "control_loop/realtime.hpp"

namespace qmc::py {
namespace loop_class {

using quorvel::MotorCmd;
using quorvel::MotorError;
using quorvel::QuorvelControlLoop;
using quorvel::SendError;
namespace cmd = quorvel::motor_cmd;
using namespace std::chrono_literals;

// How long close() waits for the loop thread's last log records to reach Python.
constexpr auto kLogFlushTime = 2s;

std::string communication_failure_text() { return MotorError(MotorError::CommunicationFailure{}).message(); }

// ---- The instance -------------------------------------------------------------


QuorvelControlLoop& loop_of(PyObject* self) { return **reinterpret_cast<ControlLoopObject*>(self)->loop; }

PyObject* none() { Py_RETURN_NONE; }


// Queues `command`, waiting for room without the interpreter lock when the
// queue is full and running the signal handlers meanwhile.
Queued enqueue(PyObject* self, MotorCmd& command) {
    QuorvelControlLoop& loop = loop_of(self);
    auto refused = loop.try_send_command(command);  // the usual case: room at once
    while (refused == SendError::Full || refused == SendError::Timeout) {
        refused = allow_threads(
            [&] { return loop.send_command_until(command, std::chrono::steady_clock::now() + kSignalCheckPeriod); });
        if (refused == SendError::Timeout && PyErr_CheckSignals() < 0) return Queued::SignalRaised;
    }
    return refused ? Queued::Closed : Queued::Done;
}

// A command the controller would refuse without any bus traffic is refused
// here, before it is queued: ValueError for a refused argument (a NaN
// position), RuntimeError with the controller's text otherwise.
bool check_before_queueing(const MotorCmd& command) {
    auto checked = quorvel::check_command(command);
    if (checked) return true;
    if (checked.error().is_invalid_argument())
        raise_value_error(checked.error().message());
    else
        raise_runtime_error(checked.error().message());
    return false;
}

// Queues `command` after its checks. False with an exception set when it was
// refused, when a signal handler raised while waiting for room, or (with
// RuntimeError `closed_text`) when the loop is closing or closed.
bool send_command(PyObject* self, MotorCmd command, const std::string& closed_text) {
    if (!check_before_queueing(command)) return false;
    switch (enqueue(self, command)) {
        case Queued::Done: return true;
        case Queued::SignalRaised: return false;
        case Queued::Closed: break;
    }
    raise_runtime_error(closed_text);
    return false;
}

// A command without an answer: None once it is queued.
PyObject* queue_command(PyObject* self, MotorCmd command, const std::string& closed_text) {
    if (!send_command(self, std::move(command), closed_text)) return nullptr;
    return none();
}


// ---- Methods ------------------------------------------------------------------------

// Waits for the queued commands in slices, running the signal handlers in
// between. Interrupted, the loop goes on closing by itself; a later close()
// (or the object's release) waits for the rest.
PyObject* close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        QuorvelControlLoop& loop = loop_of(self);
        while (!allow_threads(
            [&] { return loop.close_until(std::chrono::steady_clock::now() + kSignalCheckPeriod); })) {
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        // The loop thread's last records reach Python before close() returns.
        allow_threads([&] { (void)flush_log_records(std::chrono::steady_clock::now() + kLogFlushTime); });
        return none();
    });
}

// ---- Context manager ----------------------------------------------------------------

PyObject* enter_context(PyObject* self, PyObject*) { return Py_NewRef(self); }

// Closes the loop; returns None, so an exception raised in the block goes on.
PyObject* exit_context(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject* {
        if (nargs != 3) return raise_type_error("__exit__ expected 3 arguments, got " + std::to_string(nargs));
        return close(self, nullptr);
    });
}

// The dict lists the servos in servo-vector order (by id, 1 to 7).
PyObject* get_motor_name_id(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const auto& names = loop_of(self).motor_name_ids();
        std::vector<std::pair<std::string, std::uint8_t>> ordered(names.begin(), names.end());
        std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        PyObject* map = PyDict_New();
        if (map == nullptr) return nullptr;
        for (const auto& [name, id] : ordered) {
            PyObject* value = PyLong_FromUnsignedLong(id);
            const int stored = value != nullptr ? PyDict_SetItemString(map, name.c_str(), value) : -1;
            Py_XDECREF(value);
            if (stored < 0) {
                Py_DECREF(map);
                return nullptr;
            }
        }
        return map;
    });
}

PyObject* get_last_position(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto position = loop_of(self).get_last_position();
        if (!position) return raise_error(position.error());
        return make_torso_position(position.value());
    });
}

PyObject* set_all_goal_positions(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return one_argument_method<quorvel::QuorvelTorsoPosition>(
        self, args, nargs, kwnames, "set_all_goal_positions", "positions", to_torso_position,
        [](PyObject* s, quorvel::QuorvelTorsoPosition& positions) {
            return queue_command(s, cmd::SetAllGoalPositions{positions});
        });
}

// A method taking one sequence of exactly N positions, queued as `Command`.
template <class Command, std::size_t N>
PyObject* positions_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return positions_in<N>(self, args, nargs, kwnames, function, "position",
                           [](PyObject* s, std::array<double, N>& position) {
                               return queue_command(s, Command{position});
                           });
}

PyObject* set_left_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetLeftArmPosition, 2>(self, args, nargs, kwnames, "set_left_arm_position");
}

PyObject* set_right_arm_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetRightArmPosition, 2>(self, args, nargs, kwnames, "set_right_arm_position");
}

PyObject* set_arms_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetArmsPosition, 4>(self, args, nargs, kwnames, "set_arms_position");
}

PyObject* set_nose_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetNosePosition, 3>(self, args, nargs, kwnames, "set_nose_position");
}

PyObject* set_neck_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return positions_method<cmd::SetNeckPosition, 3>(self, args, nargs, kwnames, "set_neck_position");
}

// One neck joint's set-point, queued as `Command`.
template <class Command>
PyObject* neck_joint_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return position_in(self, args, nargs, kwnames, function,
                       [](PyObject* s, double position) { return queue_command(s, Command{position}); });
}

PyObject* set_neck_yaw_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckYawPosition>(self, args, nargs, kwnames, "set_neck_yaw_position");
}

PyObject* set_neck_pitch_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckPitchPosition>(self, args, nargs, kwnames, "set_neck_pitch_position");
}

PyObject* set_neck_roll_position(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return neck_joint_method<cmd::SetNeckRollPosition>(self, args, nargs, kwnames, "set_neck_roll_position");
}

// A method taking one bool, queued as `Command`.
template <class Command>
PyObject* switch_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return switch_in(self, args, nargs, kwnames, function,
                     [](PyObject* s, bool enable) { return queue_command(s, Command{enable}); });
}

PyObject* enable_neck(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableNeck>(self, args, nargs, kwnames, "enable_neck");
}

PyObject* enable_arms(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableArms>(self, args, nargs, kwnames, "enable_arms");
}

PyObject* enable_nose(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return switch_method<cmd::EnableNose>(self, args, nargs, kwnames, "enable_nose");
}

PyObject* is_torque_enabled(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto enabled = loop_of(self).is_torque_enabled();
        if (!enabled) return raise_error(enabled.error());
        return bool_object(enabled.value());
    });
}

PyObject* enable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return queue_command(self, cmd::EnableTorque{}); });
}

PyObject* disable_torque(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return queue_command(self, cmd::DisableTorque{}); });
}

// A method taking a list of servo ids, queued as `Command`.
template <class Command>
PyObject* ids_method(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames, const char* function) {
    return ids_in(self, args, nargs, kwnames, function, [](PyObject* s, std::vector<std::uint8_t>& ids) {
        return queue_command(s, Command{std::move(ids)});
    });
}

PyObject* enable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return ids_method<cmd::EnableTorqueOnIds>(self, args, nargs, kwnames, "enable_torque_on_ids");
}

PyObject* disable_torque_on_ids(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    return ids_method<cmd::DisableTorqueOnIds>(self, args, nargs, kwnames, "disable_torque_on_ids");
}

PyObject* get_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        auto stats = loop_of(self).get_stats();
        if (!stats) return none();
        return make_control_loop_stats(std::move(*stats));
    });
}

// ---- Class ------------------------------------------------------------------------

template <class F>
PyCFunction method(F function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kNoArgs = METH_NOARGS;
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef control_loop_methods[] = {
    {"close", method(close), kNoArgs, "close($self)\n--\n\nClose the control loop and release resources."},
    {"get_motor_name_id", method(get_motor_name_id), kNoArgs,
     "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."},
    {"get_last_position", method(get_last_position), kNoArgs,
     "get_last_position($self)\n--\n\nGet the last successfully read motor positions."},
    {"set_all_goal_positions", method(set_all_goal_positions), kArgs,
     "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors."},
    {"set_left_arm_position", method(set_left_arm_position), kArgs,
     "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."},
    {"set_right_arm_position", method(set_right_arm_position), kArgs,
     "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."},
    {"set_arms_position", method(set_arms_position), kArgs,
     "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values)."},
    {"set_nose_position", method(set_nose_position), kArgs,
     "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."},
    {"set_neck_position", method(set_neck_position), kArgs,
     "set_neck_position($self, position)\n--\n\nSet goal positions for the neck (3 values: yaw, pitch, roll)."},
    {"set_neck_yaw_position", method(set_neck_yaw_position), kArgs, "set_neck_yaw_position($self, position)\n--\n\n"},
    {"set_neck_pitch_position", method(set_neck_pitch_position), kArgs,
     "set_neck_pitch_position($self, position)\n--\n\n"},
    {"set_neck_roll_position", method(set_neck_roll_position), kArgs,
     "set_neck_roll_position($self, position)\n--\n\n"},
    {"enable_neck", method(enable_neck), kArgs, "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors."},
    {"is_torque_enabled", method(is_torque_enabled), kNoArgs,
     "is_torque_enabled($self)\n--\n\nCheck torque enabled status."},
    {"enable_torque", method(enable_torque), kNoArgs, "enable_torque($self)\n--\n\nEnable torque on all motors."},
    {"enable_torque_on_ids", method(enable_torque_on_ids), kArgs,
     "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids."},
    {"disable_torque", method(disable_torque), kNoArgs,
     "disable_torque($self)\n--\n\nDisable torque on all motors."},
    {"disable_torque_on_ids", method(disable_torque_on_ids), kArgs,
     "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids."},
    {"enable_arms", method(enable_arms), kArgs, "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."},
    {"enable_nose", method(enable_nose), kArgs, "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."},
    {"get_stats", method(get_stats), kNoArgs,
     "get_stats($self)\n--\n\nGet the latest control loop statistics, if available."},
    {"async_read_raw_bytes", method(async_read_raw_bytes), kArgs,
     "async_read_raw_bytes($self, id, addr, length)\n--\n\nPerform an asynchronous raw read of motor bytes."},
    {"async_write_raw_bytes", method(async_write_raw_bytes), kArgs,
     "async_write_raw_bytes($self, id, addr, data)\n--\n\nPerform an asynchronous raw write of motor bytes."},
    {"async_read_pid_gains", method(async_read_pid_gains), kArgs,
     "async_read_pid_gains($self, id)\n--\n\nRead PID gains for a given motor id. Returns (P, I, D)."},
    {"async_write_pid_gains", method(async_write_pid_gains), kArgs,
     "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."},
    {"write_raw_packet", method(write_raw_packet), kArgs, "write_raw_packet($self, data)\n--\n\n"},
    {"__enter__", method(enter_context), kNoArgs, "__enter__($self, /)\n--\n\nReturn self."},
    {"__exit__", method(exit_context), METH_FASTCALL,
     "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the control loop."},
    // Health readings.
    {"async_read_servo_status", method(async_read_servo_status), METH_NOARGS,
     "async_read_servo_status($self)\n--\n\nQueue a read of the seven servos' status registers and wait for the\n"
     "ServoStatus values (servo order)."},
    {"async_read_neck_status", method(async_read_neck_status), METH_NOARGS,
     "async_read_neck_status($self)\n--\n\nQueue a feedback request to each neck motor and wait for the NeckStatus\n"
     "values (yaw, pitch, roll)."},
    {nullptr, nullptr, 0, nullptr},
};

const ClassParts control_loop_parts = {
    "quorvel_motor_controller.QuorvelPyControlLoop",
    static_cast<int>(sizeof(ControlLoopObject)),
    "QuorvelPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
    "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n",
    control_loop_new,
    control_loop_dealloc,
    control_loop_repr,
    control_loop_methods,
};

PyTypeObject* control_loop_type_cell = nullptr;  // written once, with the interpreter lock held

}  // namespace loop_class

PyTypeObject* control_loop_type() {
    using namespace loop_class;
    if (control_loop_type_cell == nullptr) {
        if (!register_live_loops_exit_hook()) return nullptr;
        control_loop_type_cell = create_class(control_loop_parts);
    }
    return control_loop_type_cell;
}

}  // namespace qmc::py
