// The QuorvelPyControlLoop instance and the queueing every method of the
// class shares. control_loop_class.cpp defines the class and most methods;
// control_loop_construction.cpp its construction and release;
// control_loop_raw.cpp the raw access and the health readings.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings/after_fork.hpp"
#include "bindings/convert.hpp"
#include "bindings/method_shapes.hpp"
#include "bindings/python.hpp"
#include "common/stop_source.hpp"
#include "control_loop/control_loop.hpp"

namespace qmc::py::loop_class {

// While a caller waits without the interpreter lock, it comes back this often
// to let Python handle signals (Ctrl-C).
inline constexpr auto kSignalCheckPeriod = common::StopSource::kCheckPeriod;

inline constexpr const char* kChannelClosed = "channel closed";

// What a loop was opened with, for repr.
struct LoopDevices {
    std::optional<std::string> serialport;
    std::string can_bus;
    double period_s = 0.0;  // of the periodic read
};

struct ControlLoopObject {
    PyObject_HEAD
    // Owned; set by tp_new before the object is handed out, freed by dealloc.
    std::shared_ptr<quorvel::QuorvelControlLoop>* loop;
    LoopDevices* devices;  // owned likewise
    ProcessStamp creator;  // the process whose thread runs the loop
    PyObject* recording;   // the recording in progress (owned), or null
};

quorvel::QuorvelControlLoop& loop_of(PyObject* self);

// False in a process forked after the loop was created: the loop thread is
// not there, so the loop must not be touched (not even released).
bool created_here(PyObject* self);
// created_here, or RuntimeError naming the creating process.
bool usable_here(PyObject* self);

// The text of MotorError::CommunicationFailure.
std::string communication_failure_text();

// Queues `command` after its checks. False with an exception set when it was
// refused, when a signal handler raised while waiting for room, or (with
// RuntimeError `closed_text`) when the loop is closing or closed.
bool send_command(PyObject* self, quorvel::MotorCmd command, const std::string& closed_text);

// A command without an answer: None once it is queued.
PyObject* queue_command(PyObject* self, quorvel::MotorCmd command, const std::string& closed_text = kChannelClosed);

// ---- Construction and release (control_loop_construction.cpp) ------------------

PyObject* control_loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
void control_loop_dealloc(PyObject* self);
PyObject* control_loop_repr(PyObject* self);

// ---- Raw access and health readings (control_loop_raw.cpp) ----------------------

// What the methods of the raw access and the health readings do with their
// argument values (their table entries are in control_loop_class.cpp).
PyObject* read_raw_bytes(PyObject* self, std::uint8_t id, std::uint8_t addr, std::uint8_t length);
PyObject* write_raw_bytes(PyObject* self, std::uint8_t id, std::uint8_t addr, std::vector<std::uint8_t>& data);
PyObject* read_pid_gains(PyObject* self, std::uint8_t id);
PyObject* write_pid_gains(PyObject* self, std::uint8_t id, std::uint16_t p, std::uint16_t i, std::uint16_t d);
PyObject* write_raw_packet(PyObject* self, std::vector<std::uint8_t>& data);
PyObject* read_servo_status(PyObject* self);
PyObject* read_neck_status(PyObject* self);

// The refusal a command meets without bus traffic, raised (ValueError for a
// refused argument); true when it may be queued.
bool check_before_queueing(const quorvel::MotorCmd& command);

// ---- Generated motion (control_loop_motion.cpp) -------------------------------------

PyObject* move_to(PyObject* self, PyObject*& target, PyObject*& duration);
PyObject* follow_trajectory(PyObject* self, PyObject*& joint_names, PyObject*& points, PyObject*& times,
                            PyObject*& velocities);
PyObject* stop_motion(PyObject* self);
PyObject* wait_motion(PyObject* self, std::optional<std::chrono::nanoseconds>& timeout);
PyObject* motion_state(PyObject* self);
PyObject* set_motion_limits(PyObject* self, PyObject*& limits);
PyObject* motion_limits(PyObject* self);

}  // namespace qmc::py::loop_class
