// quorvel_torso_sim: the TorsoSim methods that drive and inspect the servos.
#include "sim_module.hpp"

#include <cmath>
#include <cstdint>

namespace torso_sim_py {
namespace {

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

PyMethodDef servo_methods_table[] = {
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
};

}  // namespace

std::span<const PyMethodDef> servo_methods() { return servo_methods_table; }

}  // namespace torso_sim_py
