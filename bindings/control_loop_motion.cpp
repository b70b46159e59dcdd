// The generated-motion methods of QuorvelPyControlLoop: targets and
// trajectories are checked here, before anything is queued, and planned on
// the loop thread.
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bindings/control_loop_object.hpp"
#include "bindings/control_loop_recording.hpp"
#include "bindings/convert.hpp"
#include "bindings/errors.hpp"
#include "bindings/gil.hpp"
#include "bindings/records_types.hpp"
#include "bindings/status_types.hpp"
#include "bindings/types.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/handle_commands.hpp"

namespace qmc::py::loop_class {
namespace {

using quorvel::kFirstNeckJoint;
using quorvel::kMotionJoints;
using quorvel::MotionJoints;
using quorvel::MotorCmd;
using quorvel::RequestFailure;
namespace cmd = quorvel::motor_cmd;

// The joint of a name, or ValueError naming the name.
std::optional<std::size_t> joint_named(PyObject* key, const char* label) {
    std::string name;
    if (!to_string(key, "joint name", name)) return std::nullopt;
    if (auto joint = quorvel::motion_joint_index(name)) return joint;
    raise_value_error(std::string(label) + ": unknown joint '" + name + "'");
    return std::nullopt;
}

// Iterates a mapping's items: `each(key, value)` until one refuses.
template <class Each>
bool for_each_item(PyObject* mapping, const char* label, Each&& each) {
    if (!PyMapping_Check(mapping) || PySequence_Check(mapping)) {
        raise_type_error(std::string(label) + ": expected a mapping from joint names, got " + Py_TYPE(mapping)->tp_name);
        return false;
    }
    PyObject* items = PyMapping_Items(mapping);
    if (items == nullptr) return false;
    bool ok = true;
    const Py_ssize_t n = PyList_GET_SIZE(items);
    for (Py_ssize_t i = 0; ok && i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items, i);
        ok = PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 && each(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
    }
    Py_DECREF(items);
    return ok;
}

// Checks made with the loop's published state, then queued: None.
PyObject* queue_motion(PyObject* self, MotorCmd command) {
    quorvel::QuorvelControlLoop& loop = loop_of(self);
    std::optional<RequestFailure> failure =
        until_signal([&](common::StopSource* stop) { return loop.send_motion_command(command, stop); });
    if (!failure) return none();
    if (*failure != RequestFailure::Stopped) return raise_runtime_error(kChannelClosed);
    return nullptr;
}

// True with an exception set when the motion may not start (or a signal
// handler raised while the torque commands queued before it were awaited).
bool refused_start(quorvel::QuorvelControlLoop& loop, const char* label, MotionJoints joints) {
    auto started =
        until_signal([&](common::StopSource* stop) { return loop.check_motion_start(label, joints, stop); });
    if (PyErr_Occurred() != nullptr) return true;
    if (started) return false;
    record_refusal(loop, started.error().message());
    raise_runtime_error(started.error().message());
    return true;
}

PyObject* limits_tuple(const quorvel::motion::JointLimits& l) {
    return Py_BuildValue("(ddd)", l.max_velocity, l.max_acceleration, l.max_jerk);
}

// A sequence of sequences of floats, one row per waypoint.
bool to_rows(PyObject* obj, const char* name, std::vector<std::vector<double>>& rows) {
    PyObject* fast = PySequence_Fast(obj, (std::string("argument '") + name + "': expected a sequence").c_str());
    if (fast == nullptr) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    rows.resize(static_cast<std::size_t>(n));
    bool ok = true;
    for (Py_ssize_t k = 0; ok && k < n; ++k)
        ok = to_float_vector(PySequence_Fast_GET_ITEM(fast, k), name, rows[static_cast<std::size_t>(k)]);
    Py_DECREF(fast);
    return ok;
}

}  // namespace

PyObject* move_to(PyObject* self, PyObject*& target, PyObject*& duration) {
    if (!usable_here(self)) return nullptr;
    cmd::MoveTo move;
    PyTypeObject* position_type = torso_position_type();
    if (position_type == nullptr) return nullptr;
    if (PyObject_TypeCheck(target, position_type)) {
        quorvel::QuorvelTorsoPosition position;
        if (!to_torso_position(target, "target", position)) return nullptr;
        move.targets = quorvel::motion_joint_positions(position);
        move.joints.set();
    } else {
        const bool converted = for_each_item(target, "move_to", [&](PyObject* key, PyObject* value) {
            const auto joint = joint_named(key, "move_to");
            if (!joint) return false;
            move.joints.set(*joint);
            return to_double(value, "target", move.targets[*joint]);
        });
        if (!converted) return nullptr;
    }
    if (duration != nullptr && duration != Py_None && !to_double(duration, "duration", move.min_duration))
        return nullptr;
    if (!check_before_queueing(move)) return nullptr;
    // As set_neck_position: clamped to the neck's safety bounds, with a warning.
    for (std::size_t j = kFirstNeckJoint; j < kMotionJoints; ++j)
        if (move.joints[j])
            move.targets[j] = quorvel::QuorvelMotorController::clamp_neck_position(j - kFirstNeckJoint, move.targets[j]);
    if (refused_start(loop_of(self), "move_to", move.joints)) return nullptr;
    return queue_motion(self, std::move(move));
}

PyObject* follow_trajectory(PyObject* self, PyObject*& joint_names, PyObject*& points, PyObject*& times,
                            PyObject*& velocities) {
    if (!usable_here(self)) return nullptr;
    quorvel::motion::Trajectory trajectory;
    {
        PyObject* fast = PySequence_Fast(joint_names, "argument 'joint_names': expected a sequence of joint names");
        if (fast == nullptr) return nullptr;
        bool ok = true;
        for (Py_ssize_t i = 0; ok && i < PySequence_Fast_GET_SIZE(fast); ++i) {
            const auto joint = joint_named(PySequence_Fast_GET_ITEM(fast, i), "follow_trajectory");
            ok = joint.has_value();
            if (ok) trajectory.joints.push_back(*joint);
        }
        Py_DECREF(fast);
        if (!ok) return nullptr;
    }
    if (!to_rows(points, "points", trajectory.positions) || !to_float_vector(times, "times", trajectory.times))
        return nullptr;
    if (velocities != nullptr && velocities != Py_None && !to_rows(velocities, "velocities", trajectory.velocities))
        return nullptr;
    if (auto checked = quorvel::check_trajectory(trajectory); !checked) {
        if (checked.error().is_invalid_argument()) return raise_value_error(checked.error().message());
        return raise_runtime_error(checked.error().message());
    }
    MotionJoints joints;
    for (const std::size_t j : trajectory.joints) joints.set(j);
    for (auto& row : trajectory.positions)
        for (std::size_t i = 0; i < row.size(); ++i)
            if (trajectory.joints[i] >= kFirstNeckJoint)
                row[i] = quorvel::QuorvelMotorController::clamp_neck_position(trajectory.joints[i] - kFirstNeckJoint,
                                                                              row[i]);
    quorvel::QuorvelControlLoop& loop = loop_of(self);
    if (refused_start(loop, "follow_trajectory", joints)) return nullptr;
    auto answer = until_signal(
        [&](common::StopSource* stop) { return loop.follow_trajectory(std::move(trajectory), stop); });
    if (!answer) {
        if (answer.error() == RequestFailure::Stopped) return nullptr;
        return raise_runtime_error(answer.error() == RequestFailure::Closed ? kChannelClosed
                                                                            : communication_failure_text());
    }
    if (const auto& refusal = answer.value()) {
        record_refusal(loop, refusal->message);
        return refusal->bad_input ? raise_value_error(refusal->message) : raise_runtime_error(refusal->message);
    }
    return none();
}

PyObject* stop_motion(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    return queue_motion(self, cmd::StopMotion{});
}

PyObject* wait_motion(PyObject* self, std::optional<std::chrono::nanoseconds>& timeout) {
    if (!usable_here(self)) return nullptr;
    quorvel::QuorvelControlLoop& loop = loop_of(self);
    const auto deadline = timeout ? std::chrono::steady_clock::now() + *timeout : std::chrono::steady_clock::time_point::max();
    const quorvel::WaitEnd end = until_signal([&](common::StopSource* stop) { return loop.wait_motion_until(deadline, stop); });
    if (end == quorvel::WaitEnd::Stopped) return nullptr;
    return bool_object(end == quorvel::WaitEnd::Done);
}

PyObject* motion_state(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    const quorvel::MotionSnapshot snapshot = loop_of(self).motion_state();
    MotionStateValue value;
    value.active = snapshot.active.any();
    value.time_left = snapshot.time_left;
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!snapshot.active[j]) continue;
        const std::string name(quorvel::motion_joint_name(j));
        const auto& sp = snapshot.set_points[j];
        value.target.emplace_back(name, snapshot.targets[j]);
        value.set_points.emplace_back(name, std::array<double, 3>{sp.position, sp.velocity, sp.acceleration});
    }
    return make_motion_state(value);
}

PyObject* set_motion_limits(PyObject* self, PyObject*& limits) {
    if (!usable_here(self)) return nullptr;
    cmd::SetMotionLimits set;
    const bool converted = for_each_item(limits, "set_motion_limits", [&](PyObject* key, PyObject* value) {
        const auto joint = joint_named(key, "set_motion_limits");
        if (!joint) return false;
        std::array<double, 3> three{};
        if (!to_float_array<3>(value, "limits", three)) return false;
        set.joints.set(*joint);
        set.limits[*joint] = {three[0], three[1], three[2]};
        return true;
    });
    if (!converted || !check_before_queueing(set)) return nullptr;
    return queue_motion(self, std::move(set));
}

PyObject* motion_limits(PyObject* self) {
    if (!usable_here(self)) return nullptr;
    const quorvel::MotionLimitTable table = loop_of(self).motion_limits();
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        PyObject* item = limits_tuple(table[j]);
        const bool stored =
            item != nullptr && PyDict_SetItemString(dict, std::string(quorvel::motion_joint_name(j)).c_str(), item) == 0;
        Py_XDECREF(item);
        if (!stored) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

}  // namespace qmc::py::loop_class
