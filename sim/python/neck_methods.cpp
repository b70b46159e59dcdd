// quorvel_torso_sim: the TorsoSim methods that drive and inspect the neck motors and the bus.
#include "sim_module.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace torso_sim_py {
namespace {

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

PyMethodDef neck_methods_table[] = {
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
};

}  // namespace

std::span<const PyMethodDef> neck_methods() { return neck_methods_table; }

}  // namespace torso_sim_py
