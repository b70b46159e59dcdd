// quorvel_torso_sim: the record types (struct sequences: tuples with named
// fields) and the conversions of what the simulator returns.
#include "sim_module.hpp"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace torso_sim_py {
namespace {

PyTypeObject* serial_log_entry_type = nullptr;
PyTypeObject* can_log_entry_type = nullptr;
PyTypeObject* neck_motor_state_type = nullptr;
PyTypeObject* servo_goal_entry_type = nullptr;
PyTypeObject* neck_command_entry_type = nullptr;

PyStructSequence_Field serial_log_entry_fields[] = {
    {"time", "CLOCK_MONOTONIC seconds (comparable with time.monotonic())"},
    {"bytes", "the bytes received, as bytes"},
    {"parsed", "True for a whole instruction packet, False for a chunk that did not parse"},
    {nullptr, nullptr}};
PyStructSequence_Desc serial_log_entry_desc = {
    "quorvel_torso_sim.SerialLogEntry", "One packet (or unparsed chunk) the host sent on the serial line.",
    serial_log_entry_fields, 3};

PyStructSequence_Field can_log_entry_fields[] = {
    {"time", "CLOCK_MONOTONIC seconds (comparable with time.monotonic())"},
    {"id", "identifier value (11 or 29 bits, flags stripped)"},
    {"extended", "True for a 29-bit identifier"},
    {"fd", "True for a CAN FD frame"},
    {"data", "payload as bytes"},
    {nullptr, nullptr}};
PyStructSequence_Desc can_log_entry_desc = {"quorvel_torso_sim.CanLogEntry",
                                            "One CAN frame a node sent on the virtual bus.", can_log_entry_fields, 5};

PyStructSequence_Field neck_motor_state_fields[] = {
    {"enabled", "motor enabled"},
    {"ctrl_mode", "CTRL_MODE register (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS)"},
    {"position", "rad, multi-turn"},
    {"velocity", "rad/s"},
    {"commanded_position", "last position set-point received, rad"},
    {"kp", "stiffness of the last MIT frame"},
    {"kd", "damping of the last MIT frame"},
    {nullptr, nullptr}};
PyStructSequence_Desc neck_motor_state_desc = {"quorvel_torso_sim.NeckMotorState",
                                               "What a neck motor is doing, seen from inside the motor.",
                                               neck_motor_state_fields, 7};

PyStructSequence_Field servo_goal_entry_fields[] = {
    {"time", "CLOCK_MONOTONIC seconds the servo took the goal (the time of the packet's SerialLogEntry)"},
    {"goal", "goal position in rad, as servo_goal() reports it"},
    {"steps", "goal register as the servo reads it, 2048 = 0 rad, 4096 per turn"},
    {nullptr, nullptr}};
PyStructSequence_Desc servo_goal_entry_desc = {
    "quorvel_torso_sim.ServoGoalEntry", "One goal position a servo took from a write or sync write.",
    servo_goal_entry_fields, 3};

PyStructSequence_Field neck_command_entry_fields[] = {
    {"time", "CLOCK_MONOTONIC seconds the motor took the command"},
    {"position", "position set point, rad"},
    {"velocity", "velocity set point, rad/s"},
    {"kp", "stiffness"},
    {"kd", "damping"},
    {"torque", "feed-forward torque, N m"},
    {nullptr, nullptr}};
PyStructSequence_Desc neck_command_entry_desc = {
    "quorvel_torso_sim.NeckCommandEntry", "One MIT command a neck motor acted on, as the motor decoded it.",
    neck_command_entry_fields, 6};

PyObject* bytes_of(const std::vector<std::uint8_t>& v) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()), static_cast<Py_ssize_t>(v.size()));
}

// Fills a struct sequence from new references; consumes them even on failure.
PyObject* make_record(PyTypeObject* type, std::initializer_list<PyObject*> items) {
    PyObject* record = PyStructSequence_New(type);
    Py_ssize_t i = 0;
    bool ok = record != nullptr;
    for (PyObject* item : items) {
        if (!item) ok = false;
        if (ok) {
            PyStructSequence_SetItem(record, i, item);
        } else {
            Py_XDECREF(item);
        }
        ++i;
    }
    if (!ok) {
        Py_XDECREF(record);
        return nullptr;
    }
    return record;
}

PyObject* record_of(const torso_sim::SerialLogEntry& e) {
    return make_record(serial_log_entry_type, {PyFloat_FromDouble(e.time), bytes_of(e.bytes), PyBool_FromLong(e.parsed)});
}

PyObject* record_of(const torso_sim::CanLogEntry& e) {
    return make_record(can_log_entry_type, {PyFloat_FromDouble(e.time), PyLong_FromUnsignedLong(e.id),
                                            PyBool_FromLong(e.extended), PyBool_FromLong(e.fd), bytes_of(e.data)});
}

PyObject* record_of(const torso_sim::ServoGoalEntry& e) {
    return make_record(servo_goal_entry_type,
                       {PyFloat_FromDouble(e.time), PyFloat_FromDouble(e.goal), PyLong_FromLong(e.steps)});
}

PyObject* record_of(const torso_sim::NeckCommandEntry& e) {
    return make_record(neck_command_entry_type,
                       {PyFloat_FromDouble(e.time), PyFloat_FromDouble(e.position), PyFloat_FromDouble(e.velocity),
                        PyFloat_FromDouble(e.kp), PyFloat_FromDouble(e.kd), PyFloat_FromDouble(e.torque)});
}

// A list of records, oldest entry first.
template <class Entry>
PyObject* list_of(const std::vector<Entry>& entries) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PyObject* record = record_of(entries[i]);
        if (!record) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), record);
    }
    return list;
}

}  // namespace

PyObject* to_python(bool v) { return PyBool_FromLong(v); }
PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
PyObject* to_python(std::uint8_t v) { return PyLong_FromUnsignedLong(v); }
PyObject* to_python(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }

PyObject* to_python(const torso_sim::NeckMotorState& s) {
    return make_record(neck_motor_state_type,
                       {PyBool_FromLong(s.enabled), PyLong_FromUnsignedLong(s.ctrl_mode), PyFloat_FromDouble(s.position),
                        PyFloat_FromDouble(s.velocity), PyFloat_FromDouble(s.commanded_position),
                        PyFloat_FromDouble(s.kp), PyFloat_FromDouble(s.kd)});
}

PyObject* to_python(const std::vector<torso_sim::SerialLogEntry>& entries) { return list_of(entries); }
PyObject* to_python(const std::vector<torso_sim::CanLogEntry>& entries) { return list_of(entries); }
PyObject* to_python(const std::vector<torso_sim::ServoGoalEntry>& entries) { return list_of(entries); }
PyObject* to_python(const std::vector<torso_sim::NeckCommandEntry>& entries) { return list_of(entries); }

bool add_record_types(PyObject* module) {
    const auto add_type = [module](PyTypeObject*& type, PyStructSequence_Desc& desc, const char* name) {
        if (!type) type = PyStructSequence_NewType(&desc);
        return type && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
    };
    return add_type(serial_log_entry_type, serial_log_entry_desc, "SerialLogEntry") &&
           add_type(can_log_entry_type, can_log_entry_desc, "CanLogEntry") &&
           add_type(neck_motor_state_type, neck_motor_state_desc, "NeckMotorState") &&
           add_type(servo_goal_entry_type, servo_goal_entry_desc, "ServoGoalEntry") &&
           add_type(neck_command_entry_type, neck_command_entry_desc, "NeckCommandEntry");
}

}  // namespace torso_sim_py
