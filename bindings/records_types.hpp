// The Python classes QuorvelTorsoPosition and ControlLoopStats, and the
// conversions other classes use to pass these values to and from Python.
#pragma once

#include "bindings/python.hpp"
#include "control_loop/records.hpp"

namespace qmc::py {

// The class objects, created on first call (borrowed references that live
// for the rest of the process; null with an exception set on failure).
PyTypeObject* torso_position_type();
PyTypeObject* control_loop_stats_type();

// A new Python QuorvelTorsoPosition holding a copy of `value`.
PyObject* make_torso_position(const quorvel::QuorvelTorsoPosition& value);
// Copies the value out of a Python QuorvelTorsoPosition; TypeError naming
// the argument for any other object.
bool to_torso_position(PyObject* obj, const char* name, quorvel::QuorvelTorsoPosition& out);

// A new Python ControlLoopStats taking over `stats`.
PyObject* make_control_loop_stats(quorvel::ControlLoopStats stats);

}  // namespace qmc::py
