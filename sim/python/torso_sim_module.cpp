// quorvel_torso_sim: the virtual torso as a Python class.
//
// A thin layer over torso_sim::TorsoSim. The simulator's own threads never
// touch the interpreter; calls that wait for them (start, close) release the
// interpreter lock while they do.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "torso_sim/torso_sim.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

namespace {

using torso_sim::TorsoSim;

// ---- record types (struct sequences: tuples with named fields)

PyTypeObject* serial_log_entry_type = nullptr;
PyTypeObject* can_log_entry_type = nullptr;
PyTypeObject* neck_motor_state_type = nullptr;

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

// ---- the TorsoSim class

struct SimObject {
    PyObject_HEAD
    TorsoSim* sim;   // owned; null once closed
};

void stop(SimObject* self) {
    TorsoSim* sim = self->sim;
    self->sim = nullptr;
    if (!sim) return;
    Py_BEGIN_ALLOW_THREADS
    delete sim;   // joins the bus threads
    Py_END_ALLOW_THREADS
}

TorsoSim* live(SimObject* self) {
    if (!self->sim) PyErr_SetString(PyExc_RuntimeError, "the simulator is closed");
    return self->sim;
}

bool seconds_to_micros(double seconds, std::chrono::microseconds& out) {
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e6) {
        PyErr_SetString(PyExc_ValueError, "duration must be a finite number of seconds, 0 to 1e6");
        return false;
    }
    out = std::chrono::microseconds(static_cast<std::int64_t>(std::llround(seconds * 1e6)));
    return true;
}

bool neck_index(int index) {
    if (index < 0 || index > 2) {
        PyErr_SetString(PyExc_IndexError, "neck index must be 0 (yaw), 1 (pitch) or 2 (roll)");
        return false;
    }
    return true;
}

PyObject* sim_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"neck_ctrl_mode",     "neck_positions",    "reboot_silence",
                                     "wire",               "usb_latency_ms",    "servo_latency_us",
                                     "can_turnaround_us",  nullptr};
    unsigned long mode = 1;
    PyObject* positions = nullptr;
    double reboot_silence = 0.020;
    int wire = 0;
    double usb_latency_ms = 0.0, servo_latency_us = 20.0, can_turnaround_us = 50.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|kOd$pddd:TorsoSim", const_cast<char**>(keywords), &mode,
                                     &positions, &reboot_silence, &wire, &usb_latency_ms, &servo_latency_us,
                                     &can_turnaround_us))
        return nullptr;
    torso_sim::Options options;
    options.wire.enabled = wire != 0;
    if (!seconds_to_micros(usb_latency_ms * 1e-3, options.wire.usb_latency) ||
        !seconds_to_micros(servo_latency_us * 1e-6, options.wire.servo_latency) ||
        !seconds_to_micros(can_turnaround_us * 1e-6, options.wire.can_turnaround))
        return nullptr;
    if (mode > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "neck_ctrl_mode must fit in 32 bits");
        return nullptr;
    }
    options.neck_ctrl_mode = static_cast<std::uint32_t>(mode);
    if (positions && positions != Py_None) {
        PyObject* seq = PySequence_Fast(positions, "neck_positions must be a sequence of 3 floats");
        if (!seq) return nullptr;
        if (PySequence_Fast_GET_SIZE(seq) != 3) {
            Py_DECREF(seq);
            PyErr_SetString(PyExc_ValueError, "neck_positions must hold 3 values (yaw, pitch, roll)");
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < 3; ++i) {
            const double p = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i));
            if (p == -1.0 && PyErr_Occurred()) {
                Py_DECREF(seq);
                return nullptr;
            }
            options.neck_positions[static_cast<std::size_t>(i)] = p;
        }
        Py_DECREF(seq);
    }
    std::chrono::microseconds silence{};
    if (!seconds_to_micros(reboot_silence, silence)) return nullptr;
    options.reboot_silence = std::chrono::duration_cast<std::chrono::milliseconds>(silence);

    auto* self = reinterpret_cast<SimObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    std::unique_ptr<TorsoSim> sim;
    std::string error;
    Py_BEGIN_ALLOW_THREADS
    sim = TorsoSim::start(options, &error);
    Py_END_ALLOW_THREADS
    if (!sim) {
        Py_DECREF(self);
        PyErr_Format(PyExc_OSError, "cannot start the torso simulator: %s", error.c_str());
        return nullptr;
    }
    self->sim = sim.release();
    return reinterpret_cast<PyObject*>(self);
}

void sim_dealloc(PyObject* obj) {
    auto* self = reinterpret_cast<SimObject*>(obj);
    stop(self);
    PyTypeObject* type = Py_TYPE(obj);
    type->tp_free(obj);
    Py_DECREF(type);
}

#define SIM_OR_FAIL(self)                                 \
    TorsoSim* sim = live(reinterpret_cast<SimObject*>(self)); \
    if (!sim) return nullptr

PyObject* sim_close(PyObject* self, PyObject*) {
    stop(reinterpret_cast<SimObject*>(self));
    Py_RETURN_NONE;
}

PyObject* sim_enter(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    Py_INCREF(self);
    return self;
}

PyObject* sim_exit(PyObject* self, PyObject*) {
    stop(reinterpret_cast<SimObject*>(self));
    Py_RETURN_FALSE;
}

PyObject* sim_get_serial_path(PyObject* self, void*) {
    SIM_OR_FAIL(self);
    return PyUnicode_FromString(sim->serial_path().c_str());
}

PyObject* sim_get_can_bus(PyObject* self, void*) {
    SIM_OR_FAIL(self);
    return PyUnicode_FromString(sim->can_bus().c_str());
}

PyObject* sim_get_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<SimObject*>(self)->sim == nullptr); }

// ---- servos

PyObject* sim_set_servo_silent(PyObject* self, PyObject* args) {
    unsigned char id;
    int silent;
    if (!PyArg_ParseTuple(args, "bp:set_servo_silent", &id, &silent)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_silent(id, silent != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_servo_position(PyObject* self, PyObject* args) {
    unsigned char id;
    double radians;
    if (!PyArg_ParseTuple(args, "bd:set_servo_position", &id, &radians)) return nullptr;
    if (!std::isfinite(radians)) {
        PyErr_SetString(PyExc_ValueError, "position must be finite");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_servo_position(id, radians);
    Py_RETURN_NONE;
}

template <class T, T (TorsoSim::*Getter)(std::uint8_t) const>
PyObject* servo_getter(PyObject* self, PyObject* arg, PyObject* (*convert)(T)) {
    const long id = PyLong_AsLong(arg);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (id < 0 || id > 255) {
        PyErr_SetString(PyExc_OverflowError, "servo id must be 0 to 255");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    return convert((sim->*Getter)(static_cast<std::uint8_t>(id)));
}

PyObject* float_of(double v) { return PyFloat_FromDouble(v); }
PyObject* bool_of(bool v) { return PyBool_FromLong(v); }
PyObject* int_of(std::uint32_t v) { return PyLong_FromUnsignedLong(v); }

PyObject* sim_servo_position(PyObject* self, PyObject* arg) {
    return servo_getter<double, &TorsoSim::servo_position>(self, arg, float_of);
}
PyObject* sim_servo_goal(PyObject* self, PyObject* arg) {
    return servo_getter<double, &TorsoSim::servo_goal>(self, arg, float_of);
}
PyObject* sim_servo_torque(PyObject* self, PyObject* arg) {
    return servo_getter<bool, &TorsoSim::servo_torque>(self, arg, bool_of);
}
PyObject* sim_servo_offset(PyObject* self, PyObject* arg) {
    return servo_getter<double, &TorsoSim::servo_offset>(self, arg, float_of);
}
PyObject* sim_servo_reboot_count(PyObject* self, PyObject* arg) {
    return servo_getter<std::uint32_t, &TorsoSim::servo_reboot_count>(self, arg, int_of);
}

PyObject* sim_set_servo_torque(PyObject* self, PyObject* args) {
    unsigned char id;
    int on;
    if (!PyArg_ParseTuple(args, "bp:set_servo_torque", &id, &on)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_torque(id, on != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_servo_offset(PyObject* self, PyObject* args) {
    unsigned char id;
    double radians;
    if (!PyArg_ParseTuple(args, "bd:set_servo_offset", &id, &radians)) return nullptr;
    if (!std::isfinite(radians)) {
        PyErr_SetString(PyExc_ValueError, "offset must be finite");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_servo_offset(id, radians);
    Py_RETURN_NONE;
}

PyObject* sim_servo_register(PyObject* self, PyObject* args) {
    unsigned char id, address;
    if (!PyArg_ParseTuple(args, "bb:servo_register", &id, &address)) return nullptr;
    SIM_OR_FAIL(self);
    return PyLong_FromLong(sim->servo_register(id, address));
}

PyObject* sim_set_servo_register(PyObject* self, PyObject* args) {
    unsigned char id, address, value;
    if (!PyArg_ParseTuple(args, "bbb:set_servo_register", &id, &address, &value)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_register(id, address, value);
    Py_RETURN_NONE;
}

PyObject* sim_set_voltage(PyObject* self, PyObject* args) {
    unsigned char tenths;
    if (!PyArg_ParseTuple(args, "b:set_voltage", &tenths)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_voltage(tenths);
    Py_RETURN_NONE;
}

PyObject* sim_set_voltage_ramp(PyObject* self, PyObject* args) {
    unsigned char from, to;
    double over;
    if (!PyArg_ParseTuple(args, "bbd:set_voltage_ramp", &from, &to, &over)) return nullptr;
    std::chrono::microseconds duration{};
    if (!seconds_to_micros(over, duration)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_voltage_ramp(from, to, std::chrono::duration_cast<std::chrono::milliseconds>(duration));
    Py_RETURN_NONE;
}

PyObject* sim_set_servo_speed(PyObject* self, PyObject* args) {
    double speed;
    if (!PyArg_ParseTuple(args, "d:set_servo_speed", &speed)) return nullptr;
    if (!std::isfinite(speed) || speed < 0) {
        PyErr_SetString(PyExc_ValueError, "speed must be a finite number >= 0");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_servo_speed(speed);
    Py_RETURN_NONE;
}

PyObject* sim_set_reboot_silence(PyObject* self, PyObject* args) {
    double seconds;
    if (!PyArg_ParseTuple(args, "d:set_reboot_silence", &seconds)) return nullptr;
    std::chrono::microseconds duration{};
    if (!seconds_to_micros(seconds, duration)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_reboot_silence(std::chrono::duration_cast<std::chrono::milliseconds>(duration));
    Py_RETURN_NONE;
}

PyObject* sim_set_corrupt_checksum(PyObject* self, PyObject* args) {
    unsigned char id;
    int corrupt;
    if (!PyArg_ParseTuple(args, "bp:set_corrupt_checksum", &id, &corrupt)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_corrupt_checksum(id, corrupt != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_reply_id_override(PyObject* self, PyObject* args) {
    unsigned char id;
    PyObject* reply_as;
    if (!PyArg_ParseTuple(args, "bO:set_reply_id_override", &id, &reply_as)) return nullptr;
    std::optional<std::uint8_t> value;
    if (reply_as != Py_None) {
        const long v = PyLong_AsLong(reply_as);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        if (v < 0 || v > 255) {
            PyErr_SetString(PyExc_OverflowError, "reply_as must be 0 to 255 or None");
            return nullptr;
        }
        value = static_cast<std::uint8_t>(v);
    }
    SIM_OR_FAIL(self);
    sim->set_reply_id_override(id, value);
    Py_RETURN_NONE;
}

PyObject* sim_set_garbage_before_reply(PyObject* self, PyObject* args) {
    unsigned char id;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "bn:set_garbage_before_reply", &id, &n)) return nullptr;
    if (n < 0 || n > 4096) {
        PyErr_SetString(PyExc_ValueError, "n_bytes must be 0 to 4096");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_garbage_before_reply(id, static_cast<std::size_t>(n));
    Py_RETURN_NONE;
}

PyObject* sim_set_reply_delay(PyObject* self, PyObject* args) {
    double seconds;
    if (!PyArg_ParseTuple(args, "d:set_reply_delay", &seconds)) return nullptr;
    std::chrono::microseconds delay{};
    if (!seconds_to_micros(seconds, delay)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_reply_delay(delay);
    Py_RETURN_NONE;
}

PyObject* sim_set_servo_reply_delay(PyObject* self, PyObject* args) {
    unsigned char id;
    double seconds;
    if (!PyArg_ParseTuple(args, "bd:set_servo_reply_delay", &id, &seconds)) return nullptr;
    std::chrono::microseconds delay{};
    if (!seconds_to_micros(seconds, delay)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_reply_delay(id, delay);
    Py_RETURN_NONE;
}

// ---- neck

PyObject* sim_set_neck_silent(PyObject* self, PyObject* args) {
    int index, silent;
    if (!PyArg_ParseTuple(args, "ip:set_neck_silent", &index, &silent) || !neck_index(index)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_silent(index, silent != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_position(PyObject* self, PyObject* args) {
    int index;
    double radians;
    if (!PyArg_ParseTuple(args, "id:set_neck_position", &index, &radians) || !neck_index(index)) return nullptr;
    if (!std::isfinite(radians)) {
        PyErr_SetString(PyExc_ValueError, "position must be finite");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_neck_position(index, radians);
    Py_RETURN_NONE;
}

PyObject* sim_neck_position(PyObject* self, PyObject* arg) {
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (!neck_index(static_cast<int>(index)) || index != static_cast<int>(index)) return nullptr;
    SIM_OR_FAIL(self);
    return PyFloat_FromDouble(sim->neck_position(static_cast<int>(index)));
}

PyObject* sim_neck_state(PyObject* self, PyObject* arg) {
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (!neck_index(static_cast<int>(index)) || index != static_cast<int>(index)) return nullptr;
    SIM_OR_FAIL(self);
    const torso_sim::NeckMotorState s = sim->neck_state(static_cast<int>(index));
    return make_record(neck_motor_state_type,
                       {PyBool_FromLong(s.enabled), PyLong_FromUnsignedLong(s.ctrl_mode), PyFloat_FromDouble(s.position),
                        PyFloat_FromDouble(s.velocity), PyFloat_FromDouble(s.commanded_position),
                        PyFloat_FromDouble(s.kp), PyFloat_FromDouble(s.kd)});
}

PyObject* sim_set_neck_ctrl_mode(PyObject* self, PyObject* args) {
    int index;
    unsigned long mode;
    if (!PyArg_ParseTuple(args, "ik:set_neck_ctrl_mode", &index, &mode) || !neck_index(index)) return nullptr;
    if (mode > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "mode must fit in 32 bits");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_neck_ctrl_mode(index, static_cast<std::uint32_t>(mode));
    Py_RETURN_NONE;
}

PyObject* sim_neck_register(PyObject* self, PyObject* args) {
    int index;
    unsigned char reg;
    if (!PyArg_ParseTuple(args, "ib:neck_register", &index, &reg) || !neck_index(index)) return nullptr;
    SIM_OR_FAIL(self);
    return PyLong_FromUnsignedLong(sim->neck_register(index, reg));
}

PyObject* sim_set_neck_dynamics(PyObject* self, PyObject* args) {
    int spring_damper;
    if (!PyArg_ParseTuple(args, "p:set_neck_dynamics", &spring_damper)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_dynamics(spring_damper != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_mode_write_sticks(PyObject* self, PyObject* args) {
    int sticks;
    if (!PyArg_ParseTuple(args, "p:set_mode_write_sticks", &sticks)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_mode_write_sticks(sticks != 0);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_reply_delay(PyObject* self, PyObject* args) {
    double seconds;
    if (!PyArg_ParseTuple(args, "d:set_neck_reply_delay", &seconds)) return nullptr;
    std::chrono::microseconds delay{};
    if (!seconds_to_micros(seconds, delay)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_reply_delay(delay);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_motor_reply_delay(PyObject* self, PyObject* args) {
    int index;
    double seconds;
    if (!PyArg_ParseTuple(args, "id:set_neck_motor_reply_delay", &index, &seconds) || !neck_index(index))
        return nullptr;
    std::chrono::microseconds delay{};
    if (!seconds_to_micros(seconds, delay)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_motor_reply_delay(index, delay);
    Py_RETURN_NONE;
}

// An optional small integer argument: None, or a value in [0, highest].
bool optional_int(PyObject* arg, long highest, const char* what, std::optional<long>& out) {
    out.reset();
    if (arg == Py_None) return true;
    const long v = PyLong_AsLong(arg);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > highest) {
        PyErr_Format(PyExc_ValueError, "%s must be 0 to %ld or None", what, highest);
        return false;
    }
    out = v;
    return true;
}

PyObject* sim_set_neck_answered_by(PyObject* self, PyObject* args) {
    int index;
    PyObject* by;
    if (!PyArg_ParseTuple(args, "iO:set_neck_answered_by", &index, &by) || !neck_index(index)) return nullptr;
    std::optional<long> other;
    if (!optional_int(by, 2, "by", other)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_answered_by(index, other ? std::optional<int>(static_cast<int>(*other)) : std::nullopt);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_register_reply_as(PyObject* self, PyObject* args) {
    int index;
    PyObject* reg;
    if (!PyArg_ParseTuple(args, "iO:set_neck_register_reply_as", &index, &reg) || !neck_index(index)) return nullptr;
    std::optional<long> named;
    if (!optional_int(reg, 255, "reg", named)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_register_reply_as(
        index, named ? std::optional<std::uint8_t>(static_cast<std::uint8_t>(*named)) : std::nullopt);
    Py_RETURN_NONE;
}

PyObject* sim_send_can_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"id", "data", "extended", "fd", nullptr};
    unsigned long id;
    Py_buffer data;
    int extended = 0, fd = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ky*|pp:send_can_frame", const_cast<char**>(keywords), &id, &data,
                                     &extended, &fd))
        return nullptr;
    std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(data.buf),
                                    static_cast<const std::uint8_t*>(data.buf) + data.len);
    PyBuffer_Release(&data);
    const std::size_t most = fd ? 64 : 8;
    if (bytes.size() > most || id > (extended ? 0x1FFFFFFFul : 0x7FFul)) {
        PyErr_SetString(PyExc_ValueError, "id or data too large for the frame's kind");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    bool sent;
    Py_BEGIN_ALLOW_THREADS
    sent = sim->send_can_frame(static_cast<std::uint32_t>(id), bytes, extended != 0, fd != 0);
    Py_END_ALLOW_THREADS
    if (!sent) {
        PyErr_SetString(PyExc_OSError, "the virtual CAN bus cannot be reached");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* sim_reset_faults(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    sim->reset_faults();
    Py_RETURN_NONE;
}

// ---- health: temperatures, supplies and fault codes

PyObject* sim_set_servo_temperature(PyObject* self, PyObject* args) {
    unsigned char id;
    int celsius;
    if (!PyArg_ParseTuple(args, "bi:set_servo_temperature", &id, &celsius)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_temperature(id, celsius);
    Py_RETURN_NONE;
}

PyObject* sim_set_servo_fault_bits(PyObject* self, PyObject* args) {
    unsigned char id, bits;
    if (!PyArg_ParseTuple(args, "bb:set_servo_fault_bits", &id, &bits)) return nullptr;
    SIM_OR_FAIL(self);
    sim->set_servo_fault_bits(id, bits);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_temperatures(PyObject* self, PyObject* args) {
    int index, mos, rotor;
    if (!PyArg_ParseTuple(args, "iii:set_neck_temperatures", &index, &mos, &rotor) || !neck_index(index))
        return nullptr;
    SIM_OR_FAIL(self);
    sim->set_neck_temperatures(index, mos, rotor);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_supply_voltage(PyObject* self, PyObject* args) {
    double volts;
    if (!PyArg_ParseTuple(args, "d:set_neck_supply_voltage", &volts)) return nullptr;
    if (!std::isfinite(volts)) {
        PyErr_SetString(PyExc_ValueError, "voltage must be finite");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_neck_supply_voltage(volts);
    Py_RETURN_NONE;
}

PyObject* sim_set_neck_fault(PyObject* self, PyObject* args) {
    int index, code;
    if (!PyArg_ParseTuple(args, "ii:set_neck_fault", &index, &code) || !neck_index(index)) return nullptr;
    if (code < 0 || code > 15) {
        PyErr_SetString(PyExc_ValueError, "state code must be 0 to 15");
        return nullptr;
    }
    SIM_OR_FAIL(self);
    sim->set_neck_fault(index, static_cast<std::uint8_t>(code));
    Py_RETURN_NONE;
}

PyObject* sim_neck_state_code(PyObject* self, PyObject* arg) {
    const long index = PyLong_AsLong(arg);
    if (index == -1 && PyErr_Occurred()) return nullptr;
    if (!neck_index(static_cast<int>(index)) || index != static_cast<int>(index)) return nullptr;
    SIM_OR_FAIL(self);
    return PyLong_FromLong(sim->neck_state_code(static_cast<int>(index)));
}

// ---- logs

PyObject* sim_serial_log(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    const auto entries = sim->serial_log();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        PyObject* record = make_record(serial_log_entry_type,
                                       {PyFloat_FromDouble(e.time), bytes_of(e.bytes), PyBool_FromLong(e.parsed)});
        if (!record) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), record);
    }
    return list;
}

PyObject* sim_can_log(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    const auto entries = sim->can_log();
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(entries.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        PyObject* record = make_record(can_log_entry_type,
                                       {PyFloat_FromDouble(e.time), PyLong_FromUnsignedLong(e.id),
                                        PyBool_FromLong(e.extended), PyBool_FromLong(e.fd), bytes_of(e.data)});
        if (!record) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), record);
    }
    return list;
}

PyObject* sim_clear_logs(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    sim->clear_logs();
    Py_RETURN_NONE;
}

// ---- type and module definitions

PyMethodDef sim_methods[] = {
    {"close", sim_close, METH_NOARGS,
     "close($self, /)\n--\n\nStop the simulator: its threads end, the pty and the bus socket close and the temporary "
     "directory goes away. A second call does nothing."},
    {"__enter__", sim_enter, METH_NOARGS, "Return self."},
    {"__exit__", sim_exit, METH_VARARGS, "Close the simulator."},
    {"set_servo_silent", sim_set_servo_silent, METH_VARARGS,
     "set_servo_silent($self, id, silent, /)\n--\n\nA silent servo (ids 1-7) neither answers nor acts, as if unplugged."},
    {"set_servo_position", sim_set_servo_position, METH_VARARGS,
     "set_servo_position($self, id, radians, /)\n--\n\nPut the shaft where the servo reports `radians` (wrapped into one "
     "turn); the goal follows, so nothing moves."},
    {"servo_position", sim_servo_position, METH_O,
     "servo_position($self, id, /)\n--\n\nPresent position in rad, as the servo reports it."},
    {"servo_goal", sim_servo_goal, METH_O, "servo_goal($self, id, /)\n--\n\nGoal position register in rad."},
    {"servo_torque", sim_servo_torque, METH_O, "servo_torque($self, id, /)\n--\n\nTorque enable register as a bool."},
    {"set_servo_torque", sim_set_servo_torque, METH_VARARGS, "set_servo_torque($self, id, on, /)\n--\n\nSet torque enable."},
    {"servo_offset", sim_servo_offset, METH_O,
     "servo_offset($self, id, /)\n--\n\nSM40BL position offset in rad (0 for the STS3025BL nose servos)."},
    {"set_servo_offset", sim_set_servo_offset, METH_VARARGS,
     "set_servo_offset($self, id, radians, /)\n--\n\nRewrite an SM40BL offset, ignoring the EEPROM lock. The shaft stays "
     "still; the reported position becomes encoder - offset."},
    {"servo_register", sim_servo_register, METH_VARARGS,
     "servo_register($self, id, address, /)\n--\n\nOne register byte as the bus would read it."},
    {"set_servo_register", sim_set_servo_register, METH_VARARGS,
     "set_servo_register($self, id, address, value, /)\n--\n\nWrite one register byte as the bus would, ignoring the EEPROM "
     "lock. Present position (56-57) and voltage (62) are measured, not settable."},
    {"set_voltage", sim_set_voltage, METH_VARARGS,
     "set_voltage($self, tenths_of_volt, /)\n--\n\nFixed supply voltage of all servos (default 120 = 12.0 V)."},
    {"set_voltage_ramp", sim_set_voltage_ramp, METH_VARARGS,
     "set_voltage_ramp($self, start, end, over, /)\n--\n\nSupply voltage moving linearly from `start` to `end` (tenths of a "
     "volt) over `over` seconds, starting now."},
    {"set_servo_speed", sim_set_servo_speed, METH_VARARGS,
     "set_servo_speed($self, radians_per_second, /)\n--\n\nHow fast shafts travel to their goals; 0 (default) = at once."},
    {"set_reboot_silence", sim_set_reboot_silence, METH_VARARGS,
     "set_reboot_silence($self, seconds, /)\n--\n\nHow long a servo stays silent after answering a reboot (default 0.02)."},
    {"servo_reboot_count", sim_servo_reboot_count, METH_O,
     "servo_reboot_count($self, id, /)\n--\n\nNumber of reboot instructions the servo has obeyed."},
    {"set_corrupt_checksum", sim_set_corrupt_checksum, METH_VARARGS,
     "set_corrupt_checksum($self, id, corrupt, /)\n--\n\nThe servo's replies carry a wrong checksum."},
    {"set_reply_id_override", sim_set_reply_id_override, METH_VARARGS,
     "set_reply_id_override($self, id, reply_as, /)\n--\n\nThe servo answers with id `reply_as` (None restores its own)."},
    {"set_garbage_before_reply", sim_set_garbage_before_reply, METH_VARARGS,
     "set_garbage_before_reply($self, id, n_bytes, /)\n--\n\n`n_bytes` noise bytes (never 0xFF) precede each reply."},
    {"set_reply_delay", sim_set_reply_delay, METH_VARARGS,
     "set_reply_delay($self, seconds, /)\n--\n\nDelay between receiving a packet and answering it, for all servos."},
    {"set_servo_reply_delay", sim_set_servo_reply_delay, METH_VARARGS,
     "set_servo_reply_delay($self, id, seconds, /)\n--\n\nThis servo answers that much later still (on top of "
     "set_reply_delay); the replies after it in a sync read wait for it."},
    {"set_neck_silent", sim_set_neck_silent, METH_VARARGS,
     "set_neck_silent($self, index, silent, /)\n--\n\nNeck motor 0-2 (CAN id 1-3) neither answers nor acts."},
    {"set_neck_position", sim_set_neck_position, METH_VARARGS,
     "set_neck_position($self, index, radians, /)\n--\n\nPut the motor's shaft here, at rest (multi-turn values allowed)."},
    {"neck_position", sim_neck_position, METH_O, "neck_position($self, index, /)\n--\n\nMotor position in rad."},
    {"neck_state", sim_neck_state, METH_O, "neck_state($self, index, /)\n--\n\nNeckMotorState of motor 0-2."},
    {"set_neck_ctrl_mode", sim_set_neck_ctrl_mode, METH_VARARGS,
     "set_neck_ctrl_mode($self, index, mode, /)\n--\n\nSet the motor's CTRL_MODE register directly."},
    {"neck_register", sim_neck_register, METH_VARARGS,
     "neck_register($self, index, reg, /)\n--\n\nRaw 32 bits of a motor register (a float's bits for float registers)."},
    {"set_neck_dynamics", sim_set_neck_dynamics, METH_VARARGS,
     "set_neck_dynamics($self, spring_damper, /)\n--\n\nFalse (default): position = MIT command at once; True: a "
     "spring-damper with the frame's kp and kd."},
    {"set_mode_write_sticks", sim_set_mode_write_sticks, METH_VARARGS,
     "set_mode_write_sticks($self, sticks, /)\n--\n\nFalse: CTRL_MODE writes are echoed but not applied."},
    {"set_neck_reply_delay", sim_set_neck_reply_delay, METH_VARARGS,
     "set_neck_reply_delay($self, seconds, /)\n--\n\nDelay before the neck motors' answers."},
    {"set_neck_motor_reply_delay", sim_set_neck_motor_reply_delay, METH_VARARGS,
     "set_neck_motor_reply_delay($self, index, seconds, /)\n--\n\nMotor 0-2 answers that much later still (on "
     "top of set_neck_reply_delay)."},
    {"set_neck_answered_by", sim_set_neck_answered_by, METH_VARARGS,
     "set_neck_answered_by($self, index, by, /)\n--\n\nRequests to motor `index` are answered by motor `by`, with "
     "its identity and state (None: by itself)."},
    {"set_neck_register_reply_as", sim_set_neck_register_reply_as, METH_VARARGS,
     "set_neck_register_reply_as($self, index, reg, /)\n--\n\nThe motor's register replies name register `reg` "
     "instead of the one asked (None: the one asked)."},
    {"send_can_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sim_send_can_frame)),
     METH_VARARGS | METH_KEYWORDS,
     "send_can_frame($self, id, data, extended=False, fd=False)\n--\n\nPut one data frame on the bus as another "
     "program would: the neck motors and every connected node receive it."},
    // Health: temperatures, supplies and fault codes.
    {"set_servo_temperature", sim_set_servo_temperature, METH_VARARGS,
     "set_servo_temperature($self, id, celsius, /)\n--\n\nTemperature the servo measures (default 32). At or above "
     "70 its status register and reply error byte carry the overheat bit."},
    {"set_servo_fault_bits", sim_set_servo_fault_bits, METH_VARARGS,
     "set_servo_fault_bits($self, id, bits, /)\n--\n\nExtra status bits the servo reports (bit 0 voltage, 1 angle, "
     "2 overheat, 3 overcurrent, 5 overload)."},
    {"set_neck_temperatures", sim_set_neck_temperatures, METH_VARARGS,
     "set_neck_temperatures($self, index, mos, rotor, /)\n--\n\nDriver and rotor temperatures of motor 0-2 "
     "(defaults 30, 32). At or above 80 the motor reports over-temperature (0xB MOS, 0xC rotor) and switches off."},
    {"set_neck_supply_voltage", sim_set_neck_supply_voltage, METH_VARARGS,
     "set_neck_supply_voltage($self, volts, /)\n--\n\nSupply of the neck motors (default 24). Below 10 V they "
     "report under-voltage (0x9), above 60 V over-voltage (0x8)."},
    {"set_neck_fault", sim_set_neck_fault, METH_VARARGS,
     "set_neck_fault($self, index, code, /)\n--\n\nState code motor 0-2 reports (8-14: a fault; the motor "
     "switches off and cannot be enabled while it stands). 0 clears it."},
    {"neck_state_code", sim_neck_state_code, METH_O,
     "neck_state_code($self, index, /)\n--\n\nState code of the motor's next feedback frame."},
    {"reset_faults", sim_reset_faults, METH_NOARGS,
     "reset_faults($self, /)\n--\n\nUndo every injected fault; positions and registers stay."},
    {"serial_log", sim_serial_log, METH_NOARGS,
     "serial_log($self, /)\n--\n\nList of SerialLogEntry(time, bytes, parsed): everything the host sent on the serial "
     "line, oldest first (the last 100 000 entries)."},
    {"can_log", sim_can_log, METH_NOARGS,
     "can_log($self, /)\n--\n\nList of CanLogEntry(time, id, extended, fd, data): every frame a node sent, oldest first."},
    {"clear_logs", sim_clear_logs, METH_NOARGS, "clear_logs($self, /)\n--\n\nEmpty both traffic logs."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef sim_getset[] = {
    {"serial_path", sim_get_serial_path, nullptr, "Path of the serial port to open (the pty's slave side).",
     nullptr},
    {"can_bus", sim_get_can_bus, nullptr, "CAN bus name to pass to the controller: \"unix:<path>\".", nullptr},
    {"closed", sim_get_closed, nullptr, "True once close() has run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const char sim_doc[] =
    "TorsoSim(neck_ctrl_mode=1, neck_positions=None, reboot_silence=0.02, *, wire=False, usb_latency_ms=0.0, "
    "servo_latency_us=20.0, can_turnaround_us=50.0)\n--\n\n"
    "A virtual Quorvel torso: seven Feetech servos (ids 1-4 SM40BL, 5-7 STS3025BL) behind a pseudo-terminal at "
    "`serial_path`, and three Damiao neck motors (CAN ids 1-3) on the virtual CAN bus `can_bus`. Starts at once; "
    "use as a context manager or call close().\n\n"
    "neck_ctrl_mode: CTRL_MODE the neck motors power up in. neck_positions: three start positions in rad "
    "(yaw, pitch, roll), default zeros. reboot_silence: seconds a servo stays silent after a reboot.\n\n"
    "wire=True keeps wire time (default: every answer is instant): serial bytes take 10 us each way at 1 Mbaud, "
    "a servo answers servo_latency_us plus its return-delay register (address 7, 2 us units) after the "
    "instruction, sync-read replies follow one another, and with usb_latency_ms > 0 replies reach the host on "
    "the adapter's latency timer; CAN frames take their bit time at 1 Mbit/s one at a time on the bus, and a "
    "motor answers can_turnaround_us after the frame it answers.";

PyType_Slot sim_slots[] = {{Py_tp_new, reinterpret_cast<void*>(sim_new)},
                           {Py_tp_dealloc, reinterpret_cast<void*>(sim_dealloc)},
                           {Py_tp_methods, sim_methods},
                           {Py_tp_getset, sim_getset},
                           {Py_tp_doc, const_cast<char*>(sim_doc)},
                           {0, nullptr}};

PyType_Spec sim_spec = {"quorvel_torso_sim.TorsoSim", sizeof(SimObject), 0, Py_TPFLAGS_DEFAULT, sim_slots};

const char module_doc[] =
    "The virtual Quorvel torso for tests and for working without hardware.\n\n"
    "    from quorvel_torso_sim import TorsoSim\n"
    "    with TorsoSim() as sim:\n"
    "        ctl = QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)\n"
    "        sim.set_servo_silent(3, True)      # inject faults while running\n"
    "        print(sim.serial_log())            # what the controller sent\n\n"
    "The simulator runs in its own native threads and never takes the interpreter lock.";

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvel_torso_sim", module_doc, -1, nullptr, nullptr, nullptr, nullptr,
                          nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quorvel_torso_sim() {
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    auto add_type = [&](PyTypeObject* type, const char* name) {
        return type && PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
    };
    if (!serial_log_entry_type) serial_log_entry_type = PyStructSequence_NewType(&serial_log_entry_desc);
    if (!can_log_entry_type) can_log_entry_type = PyStructSequence_NewType(&can_log_entry_desc);
    if (!neck_motor_state_type) neck_motor_state_type = PyStructSequence_NewType(&neck_motor_state_desc);
    PyObject* sim_type = PyType_FromSpec(&sim_spec);
    const bool ok = add_type(serial_log_entry_type, "SerialLogEntry") && add_type(can_log_entry_type, "CanLogEntry") &&
                    add_type(neck_motor_state_type, "NeckMotorState") &&
                    add_type(reinterpret_cast<PyTypeObject*>(sim_type), "TorsoSim");
    Py_XDECREF(sim_type);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
