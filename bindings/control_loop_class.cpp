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
#include <string_view>
#include <utility>
#include <vector>

#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/control_loop_object.hpp"
#include "bindings/control_loop_recording.hpp"
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

bool created_here(PyObject* self) {
    return in_creating_process(reinterpret_cast<ControlLoopObject*>(self)->creator);
}

bool usable_here(PyObject* self) {
    if (created_here(self)) return true;
    raise_runtime_error("control loop belongs to the parent process (pid " +
                        std::to_string(reinterpret_cast<ControlLoopObject*>(self)->creator.pid) +
                        "); create a new loop after fork");
    return false;
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

// Queues `command` after its checks, waiting for room without the
// interpreter lock when the queue is full and running the signal handlers
// meanwhile. False with an exception set when it was refused, when a signal
// handler raised while waiting for room, when the loop belongs to the parent
// process, or (with RuntimeError `closed_text`) when the loop is closing or closed.
bool send_command(PyObject* self, MotorCmd command, const std::string& closed_text) {
    if (!check_before_queueing(command)) {
        if (auto checked = quorvel::check_command(command); !checked) record_refusal(self, checked.error().message());
        return false;
    }
    if (!usable_here(self)) return false;
    QuorvelControlLoop& loop = loop_of(self);
    std::optional<quorvel::RequestFailure> failure;
    // The usual case: room at once, without releasing the interpreter lock.
    if (const auto refused = loop.try_send_command(command); refused == SendError::Full)
        failure = until_signal([&](common::StopSource* stop) { return loop.send_command_unless_stopped(command, stop); });
    else if (refused)
        failure = quorvel::RequestFailure::Closed;
    if (!failure) return true;
    if (*failure != quorvel::RequestFailure::Stopped) raise_runtime_error(closed_text);
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
// In a forked child there is nothing to close: the loop runs in the parent.
PyObject* close(PyObject* self) {
    if (!created_here(self)) return none();
    QuorvelControlLoop& loop = loop_of(self);
    while (!allow_threads([&] { return loop.close_until(std::chrono::steady_clock::now() + kSignalCheckPeriod); })) {
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    // The loop thread's last records reach Python before close() returns.
    allow_threads([&] { (void)flush_log_records(std::chrono::steady_clock::now() + kLogFlushTime); });
    // The recording ends with the loop's last records.
    if (!end_recording(self)) return nullptr;
    return none();
}

// The dict lists the servos in servo-vector order (by id, 1 to 7).
PyObject* get_motor_name_id(PyObject* self) {
    if (!usable_here(self)) return nullptr;
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
}

// A failed reading names the motors that did not answer in a note.
PyObject* get_last_position(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    auto position = loop_of(self).get_last_position();
    if (!position) {
        const MotorError& error = position.error();
        const LoopDevices& devices = *reinterpret_cast<ControlLoopObject*>(self)->devices;
        return raise_bus_failure(
            error.message(), error.os_cause(), error.motors_at_fault(),
            {devices.serialport ? std::string_view(*devices.serialport) : std::string_view{}, devices.can_bus});
    }
    return make_torso_position(position.value());
}

// `after` of wait_for_position: None, or a reading's time stamp (seconds).
bool to_optional_stamp(PyObject* obj, const char* name, std::optional<double>& out) {
    if (obj == nullptr || obj == Py_None) return true;
    double stamp = 0.0;
    if (!to_double(obj, name, stamp)) return false;
    if (std::isnan(stamp)) {
        raise_value_error(std::string("argument '") + name + "': a time stamp must not be NaN");
        return false;
    }
    out = stamp;
    return true;
}

// Waits without the interpreter lock, running the signal handlers every
// kSignalCheckPeriod as the loop's other long waits do. None on time-out.
PyObject* wait_for_position(PyObject* self, std::optional<double>& after,
                            std::optional<std::chrono::nanoseconds>& timeout) {
    if (!usable_here(self)) return nullptr;
    QuorvelControlLoop& loop = loop_of(self);
    const auto deadline =
        timeout ? std::chrono::steady_clock::now() + *timeout : std::chrono::steady_clock::time_point::max();
    auto reading = until_signal([&](common::StopSource* stop) { return loop.wait_for_position(after, deadline, stop); });
    if (reading) return make_torso_position(reading.value());
    switch (reading.error()) {
        case quorvel::FeedEnd::ReadFailed: return raise_runtime_error(communication_failure_text());
        case quorvel::FeedEnd::TimedOut: return none();
        case quorvel::FeedEnd::Stopped: return nullptr;  // the signal handler's exception is set
        case quorvel::FeedEnd::Closed: break;
    }
    return raise_runtime_error(kChannelClosed);
}

PyObject* is_torque_enabled(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    auto enabled = loop_of(self).is_torque_enabled();
    if (!enabled) return raise_error(enabled.error());
    return bool_object(enabled.value());
}

PyObject* get_stats(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    auto stats = loop_of(self).get_stats();
    if (!stats) return none();
    return make_control_loop_stats(std::move(*stats));
}

// The act of a method that queues one command made of `Fixed` (the joint of
// a single-joint command) and its argument values: None once it is queued.
template <class Command, auto... Fixed>
struct Queue {
    template <class... T>
    PyObject* operator()(PyObject* self, T&... values) const {
        return queue_command(self, Command{Fixed..., std::move(values)...});
    }
};

template <class Command, auto... Fixed>
inline constexpr Queue<Command, Fixed...> queue{};

// The three single-joint neck setters: yaw 0, pitch 1, roll 2.
template <std::size_t Joint>
inline constexpr auto queue_neck_joint = queue<cmd::SetNeckJointPosition, Joint>;

// ---- Class ------------------------------------------------------------------------

// A parameter taken as the object itself (borrowed), for methods that look
// at its shape themselves.
bool as_object(PyObject* obj, const char*, PyObject*& out) {
    out = obj;
    return true;
}

// wait_motion's time-out: None, seconds as a number (as threading's waits
// take it) or a timedelta (as the loop's other durations).
bool to_wait_timeout(PyObject* obj, const char* name, std::optional<std::chrono::nanoseconds>& out) {
    if (obj == nullptr || obj == Py_None || !PyNumber_Check(obj)) return to_optional_duration(obj == nullptr ? Py_None : obj, name, out);
    double seconds = 0.0;
    if (!to_double(obj, name, seconds)) return false;
    if (!(seconds >= 0.0) || !std::isfinite(seconds)) {
        raise_value_error(std::string("argument '") + name + "': a time-out must be finite and not negative, got " +
                          std::to_string(seconds));
        return false;
    }
    out = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(std::min(seconds, 1e9)));
    return true;
}

// An optional object parameter: null when omitted.
template <Name name>
using ObjectIn = Param<name, PyObject*, as_object, false>;

// move_to's duration is keyword-only.
PyObject* move_to_keyword_only(PyObject* self, Args args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1)
        return guarded([&]() -> PyObject* {
            return raise_type_error("move_to() takes 1 positional argument but " + std::to_string(nargs) +
                                    " were given");
        });
    return fast_method<"move_to", move_to, Param<"target", PyObject*, as_object>, ObjectIn<"duration">>(
        self, args, nargs, kwnames);
}

using TorsoPositionIn = Param<"positions", quorvel::QuorvelTorsoPosition, to_torso_position>;

PyMethodDef control_loop_methods[] = {
    method<"close", close>("close($self)\n--\n\nClose the control loop and release resources."),
    method<"get_motor_name_id", get_motor_name_id>(
        "get_motor_name_id($self)\n--\n\nGet the id/name motors used in this controller."),
    method<"get_last_position", get_last_position>(
        "get_last_position($self)\n--\n\nGet the last successfully read motor positions."),
    method<"set_all_goal_positions", queue<cmd::SetAllGoalPositions>, TorsoPositionIn>(
        "set_all_goal_positions($self, positions)\n--\n\nSet goal positions for all motors."),
    method<"set_left_arm_position", queue<cmd::SetLeftArmPosition>, PositionsIn<2>>(
        "set_left_arm_position($self, position)\n--\n\nSet goal positions for the left arm (2 values: pitch, yaw)."),
    method<"set_right_arm_position", queue<cmd::SetRightArmPosition>, PositionsIn<2>>(
        "set_right_arm_position($self, position)\n--\n\nSet goal positions for the right arm (2 values: pitch, yaw)."),
    method<"set_arms_position", queue<cmd::SetArmsPosition>, PositionsIn<4>>(
        "set_arms_position($self, position)\n--\n\nSet goal positions for both arms (4 values)."),
    method<"set_nose_position", queue<cmd::SetNosePosition>, PositionsIn<3>>(
        "set_nose_position($self, position)\n--\n\nSet goal positions for the nose (3 values)."),
    method<"set_neck_position", queue<cmd::SetNeckPosition>, PositionsIn<3>>(
        "set_neck_position($self, position)\n--\n\nSet goal positions for the neck (3 values: yaw, pitch, roll)."),
    method<"set_neck_yaw_position", queue_neck_joint<0>, PositionIn>(
        "set_neck_yaw_position($self, position)\n--\n\n"),
    method<"set_neck_pitch_position", queue_neck_joint<1>, PositionIn>(
        "set_neck_pitch_position($self, position)\n--\n\n"),
    method<"set_neck_roll_position", queue_neck_joint<2>, PositionIn>(
        "set_neck_roll_position($self, position)\n--\n\n"),
    method<"enable_neck", queue<cmd::EnableNeck>, SwitchIn>(
        "enable_neck($self, enable)\n--\n\nEnable or disable the neck motors."),
    method<"is_torque_enabled", is_torque_enabled>("is_torque_enabled($self)\n--\n\nCheck torque enabled status."),
    method<"enable_torque", queue<cmd::EnableTorque>>("enable_torque($self)\n--\n\nEnable torque on all motors."),
    method<"enable_torque_on_ids", queue<cmd::EnableTorqueOnIds>, IdsIn>(
        "enable_torque_on_ids($self, ids)\n--\n\nEnable torque on ids."),
    method<"disable_torque", queue<cmd::DisableTorque>>("disable_torque($self)\n--\n\nDisable torque on all motors."),
    method<"disable_torque_on_ids", queue<cmd::DisableTorqueOnIds>, IdsIn>(
        "disable_torque_on_ids($self, ids)\n--\n\nDisable torque on ids."),
    method<"enable_arms", queue<cmd::EnableArms>, SwitchIn>(
        "enable_arms($self, enable)\n--\n\nEnable or disable the arm motors."),
    method<"enable_nose", queue<cmd::EnableNose>, SwitchIn>(
        "enable_nose($self, enable)\n--\n\nEnable or disable the nose motors."),
    method<"get_stats", get_stats>("get_stats($self)\n--\n\nGet the latest control loop statistics, if available."),
    method<"async_read_raw_bytes", read_raw_bytes, U8In<"id">, U8In<"addr">, U8In<"length">>(
        "async_read_raw_bytes($self, id, addr, length)\n--\n\nPerform an asynchronous raw read of motor bytes."),
    method<"async_write_raw_bytes", write_raw_bytes, U8In<"id">, U8In<"addr">, ByteListIn<"data">>(
        "async_write_raw_bytes($self, id, addr, data)\n--\n\nPerform an asynchronous raw write of motor bytes."),
    method<"async_read_pid_gains", read_pid_gains, U8In<"id">>(
        "async_read_pid_gains($self, id)\n--\n\nRead PID gains for a given motor id. Returns (P, I, D)."),
    method<"async_write_pid_gains", write_pid_gains, U8In<"id">, U16In<"p">, U16In<"i">, U16In<"d">>(
        "async_write_pid_gains($self, id, p, i, d)\n--\n\nWrite PID gains for a given motor id."),
    method<"write_raw_packet", write_raw_packet, BytesIn<"data">>("write_raw_packet($self, data)\n--\n\n"),
    enter_method(),
    exit_method<close>(
        "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\nClose the control loop."),
    // Recording.
    method<"start_recording", start_recording, Param<"path", PyObject*, as_object>>(
        "start_recording($self, path)\n--\n\n"
        "Record every tick, reading, command, set point and event of the loop to an\n"
        "MCAP file at path (ROS 2 message encoding) until stop_recording() or close()."),
    method<"stop_recording", stop_recording>(
        "stop_recording($self)\n--\n\nFinish the recording in progress, if any."),
    // Health readings.
    method<"async_read_servo_status", read_servo_status>(
        "async_read_servo_status($self)\n--\n\nQueue a read of the seven servos' status registers and wait for the\n"
        "ServoStatus values (servo order)."),
    method<"async_read_neck_status", read_neck_status>(
        "async_read_neck_status($self)\n--\n\nQueue a feedback request to each neck motor and wait for the NeckStatus\n"
        "values (yaw, pitch, roll)."),
    // Generated motion.
    {"move_to", as_c_function(move_to_keyword_only), METH_FASTCALL | METH_KEYWORDS,
        "move_to($self, target, *, duration=None)\n--\n\n"
        "Move the named joints to their targets (a mapping from joint name to radians,\n"
        "or a QuorvelTorsoPosition for all ten), with limited velocity, acceleration\n"
        "and jerk, all arriving together; with duration, taking at least that long.\n"
        "Returns at once; a new target replaces the present one smoothly."},
    method<"follow_trajectory", follow_trajectory, Param<"joint_names", PyObject*, as_object>,
           Param<"points", PyObject*, as_object>, Param<"times", PyObject*, as_object>,
           ObjectIn<"velocities">>(
        "follow_trajectory($self, joint_names, points, times, velocities=None)\n--\n\n"
        "Follow timed waypoints: points[k] holds one position per named joint, reached\n"
        "times[k] seconds after the call. Returns once the loop has accepted it;\n"
        "ValueError when it would exceed a joint's limit."),
    method<"stop_motion", stop_motion>(
        "stop_motion($self)\n--\n\nBring every joint under motion to rest as fast as its limits allow."),
    method<"wait_motion", wait_motion, Param<"timeout", std::optional<std::chrono::nanoseconds>, to_wait_timeout, false>>(
        "wait_motion($self, timeout=None)\n--\n\n"
        "Wait until no motion is active: True then (at once when none is), False when\n"
        "timeout (seconds or a timedelta) passed first. Ctrl-C ends the wait."),
    method<"motion_state", motion_state>(
        "motion_state($self)\n--\n\nThe loop's generated motion as a MotionState."),
    method<"set_motion_limits", set_motion_limits, Param<"limits", PyObject*, as_object>>(
        "set_motion_limits($self, limits)\n--\n\n"
        "Change the motion limits of the named joints: a mapping from joint name to\n"
        "(max_velocity, max_acceleration, max_jerk)."),
    method<"motion_limits", motion_limits>(
        "motion_limits($self)\n--\n\n"
        "The motion limits of every joint: name -> (max_velocity, max_acceleration, max_jerk)."),
    // Every reading once.
    method<"wait_for_position", wait_for_position, Param<"after", std::optional<double>, to_optional_stamp, false>,
           Param<"timeout", std::optional<std::chrono::nanoseconds>, to_wait_timeout, false>>(
        "wait_for_position($self, after=None, timeout=None)\n--\n\n"
        "Wait for the first reading newer than the time stamp after (None: the next\n"
        "reading) and return it as a QuorvelTorsoPosition. Pass the timestamp of the\n"
        "reading you last processed to see every reading once. None when timeout\n"
        "(seconds or a timedelta) passed first; RuntimeError when that reading failed\n"
        "or the loop is closed. Ctrl-C ends the wait."),
    kEndOfMethods,
};

const ClassParts control_loop_parts = {"quorvel_motor_controller.QuorvelPyControlLoop",
                                       static_cast<int>(sizeof(ControlLoopObject)),
                                       "QuorvelPyControlLoop(serialport, read_position_loop_period, can_bus=..., "
                                       "allowed_retries=5, stats_pub_period=None, voltage_rampup_timeout=...)\n--\n\n",
                                       control_loop_new, control_loop_dealloc, control_loop_repr,
                                       control_loop_methods};

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
