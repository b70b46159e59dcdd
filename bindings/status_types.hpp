// The Python value classes ServoStatus and NeckStatus: immutable health
// readings of one servo or one neck motor, with repr, ==, hash and as_dict().
#pragma once

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "bindings/python.hpp"
#include "controller/motor_status.hpp"

namespace qmc::py {

// What motion_state() returns: the loop's last published motion, with the
// joints under motion in the group's order.
struct MotionStateValue {
    bool active = false;
    std::vector<std::pair<std::string, double>> target;                     // name -> rad
    double time_left = 0.0;                                                  // s
    std::vector<std::pair<std::string, std::array<double, 3>>> set_points;  // name -> (p, v, a)

    friend bool operator==(const MotionStateValue&, const MotionStateValue&) = default;
};

// The class objects, created on first call (borrowed references that live
// for the rest of the process; null with an exception set on failure).
PyTypeObject* servo_status_type();
PyTypeObject* neck_status_type();

// New Python values (null with an exception set on failure).
PyObject* make_servo_status(const quorvel::ServoStatus& value);
PyObject* make_neck_status(const quorvel::NeckStatus& value);
PyObject* servo_status_list(const std::array<quorvel::ServoStatus, 7>& values);
PyObject* neck_status_list(const std::array<quorvel::NeckStatus, 3>& values);
// (model_number, ServoStatus) and (control_mode, NeckStatus).
PyObject* servo_probe_tuple(const quorvel::ServoProbe& probe);
PyObject* neck_probe_tuple(const quorvel::NeckProbe& probe);

PyTypeObject* motion_state_type();
PyObject* make_motion_state(const MotionStateValue& value);

}  // namespace qmc::py
