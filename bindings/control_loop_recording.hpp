// Recording a control loop to a file (control_loop_recording.cpp).
#pragma once

#include <array>
#include <string>

#include "bindings/python.hpp"
#include "control_loop/control_loop.hpp"
#include "controller/motor_status.hpp"

namespace qmc::py::loop_class {

// Starts the Python writer on the loop's records; false with an exception
// set (a recording in progress, a closed loop, a file that cannot be made).
bool begin_recording(PyObject* self, PyObject* path);
// Finishes the recording in progress, if any; false with an exception set.
bool end_recording(PyObject* self);

PyObject* start_recording(PyObject* self, PyObject*& path);
PyObject* stop_recording(PyObject* self);

// A command refused at the call, for the recording in progress.
void record_refusal(PyObject* self, const std::string& text);
void record_refusal(quorvel::QuorvelControlLoop& loop, const std::string& text);
// Health readings, for the recording in progress.
void record_status(PyObject* self, const std::array<quorvel::ServoStatus, 7>& values);
void record_status(PyObject* self, const std::array<quorvel::NeckStatus, 3>& values);

}  // namespace qmc::py::loop_class
