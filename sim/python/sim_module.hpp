// quorvel_torso_sim: what the parts of the TorsoSim class share. The class and
// the module are defined in torso_sim_module.cpp and the record types in
// records.cpp; the methods that drive the servos, the neck and the injected
// faults each have a file of their own (their shapes are in
// method_shapes.hpp) and hand their rows of the method table over through the
// functions below.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <vector>

#include "torso_sim/torso_sim.hpp"

namespace torso_sim_py {

using torso_sim::TorsoSim;

struct SimObject {
    PyObject_HEAD
    TorsoSim* sim;   // owned; null once closed
};

// The simulator, or null with RuntimeError "the simulator is closed" set.
TorsoSim* live(SimObject* self);
// Seconds to microseconds; ValueError unless finite and 0 to 1e6.
bool seconds_to_micros(double seconds, std::chrono::microseconds& out);
// IndexError unless 0 (yaw), 1 (pitch) or 2 (roll).
bool neck_index(int index);

// What the simulator returns, as Python objects (new references, or null
// with an exception set).
PyObject* to_python(bool v);
PyObject* to_python(double v);
PyObject* to_python(std::uint8_t v);
PyObject* to_python(std::uint32_t v);
PyObject* to_python(const torso_sim::NeckMotorState& state);
PyObject* to_python(const std::vector<torso_sim::SerialLogEntry>& entries);
PyObject* to_python(const std::vector<torso_sim::CanLogEntry>& entries);
PyObject* to_python(const std::vector<torso_sim::ServoGoalEntry>& entries);
PyObject* to_python(const std::vector<torso_sim::NeckCommandEntry>& entries);

// Adds SerialLogEntry, CanLogEntry, NeckMotorState, ServoGoalEntry and
// NeckCommandEntry to the module.
bool add_record_types(PyObject* module);

// Rows of the method table, without the sentinel.
std::span<const PyMethodDef> servo_methods();
std::span<const PyMethodDef> neck_methods();
std::span<const PyMethodDef> fault_methods();

}  // namespace torso_sim_py

#define SIM_OR_FAIL(self)                                                          \
    TorsoSim* sim = ::torso_sim_py::live(reinterpret_cast<::torso_sim_py::SimObject*>(self)); \
    if (!sim) return nullptr
