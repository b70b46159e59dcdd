// quorvel_torso_sim: the TorsoSim methods that drive and inspect the neck motors and the bus.
#include "method_shapes.hpp"

#include <vector>

namespace torso_sim_py {
namespace {

using CtrlMode = Ranged<'k', unsigned long, std::uint32_t, 0, 0xFFFFFFFF, &PyExc_OverflowError,
                        "mode must fit in 32 bits">;
using AnsweredBy = OptionalUpTo<"by", 2, int, &PyExc_ValueError>;
using RegisterReplyAs = OptionalUpTo<"reg", 255, std::uint8_t, &PyExc_ValueError>;

using std::chrono::microseconds;

// Keywords, a buffer and a wait on the bus: the one method of its shape.
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
    args_method<"set_neck_silent", &TorsoSim::set_neck_silent, NeckIndex, Flag<"silent">>(
        "set_neck_silent($self, index, silent, /)\n--\n\nNeck motor 0-2 (CAN id 1-3) neither answers nor acts."),
    args_method<"set_neck_position", &TorsoSim::set_neck_position, NeckIndex, Finite<"position must be finite">>(
        "set_neck_position($self, index, radians, /)\n--\n\nPut the motor's shaft here, at rest (multi-turn values allowed)."),
    arg_method<"neck_position", &TorsoSim::neck_position, NeckIndexObject>(
        "neck_position($self, index, /)\n--\n\nMotor position in rad."),
    arg_method<"neck_state", &TorsoSim::neck_state, NeckIndexObject>(
        "neck_state($self, index, /)\n--\n\nNeckMotorState of motor 0-2."),
    args_method<"set_neck_ctrl_mode", &TorsoSim::set_neck_ctrl_mode, NeckIndex, CtrlMode>(
        "set_neck_ctrl_mode($self, index, mode, /)\n--\n\nSet the motor's CTRL_MODE register directly."),
    args_method<"neck_register", &TorsoSim::neck_register, NeckIndex, Byte>(
        "neck_register($self, index, reg, /)\n--\n\nRaw 32 bits of a motor register (a float's bits for float registers)."),
    args_method<"set_neck_dynamics", &TorsoSim::set_neck_dynamics, Flag<"spring_damper">>(
        "set_neck_dynamics($self, spring_damper, /)\n--\n\nFalse (default): position = MIT command at once; True: a "
        "spring-damper with the frame's kp and kd."),
    args_method<"set_mode_write_sticks", &TorsoSim::set_mode_write_sticks, Flag<"sticks">>(
        "set_mode_write_sticks($self, sticks, /)\n--\n\nFalse: CTRL_MODE writes are echoed but not applied."),
    args_method<"set_neck_reply_delay", &TorsoSim::set_neck_reply_delay, Seconds<microseconds>>(
        "set_neck_reply_delay($self, seconds, /)\n--\n\nDelay before the neck motors' answers."),
    args_method<"set_neck_motor_reply_delay", &TorsoSim::set_neck_motor_reply_delay, NeckIndex, Seconds<microseconds>>(
        "set_neck_motor_reply_delay($self, index, seconds, /)\n--\n\nMotor 0-2 answers that much later still (on "
        "top of set_neck_reply_delay)."),
    args_method<"set_neck_answered_by", &TorsoSim::set_neck_answered_by, NeckIndex, AnsweredBy>(
        "set_neck_answered_by($self, index, by, /)\n--\n\nRequests to motor `index` are answered by motor `by`, with "
        "its identity and state (None: by itself)."),
    args_method<"set_neck_register_reply_as", &TorsoSim::set_neck_register_reply_as, NeckIndex, RegisterReplyAs>(
        "set_neck_register_reply_as($self, index, reg, /)\n--\n\nThe motor's register replies name register `reg` "
        "instead of the one asked (None: the one asked)."),
    {"send_can_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sim_send_can_frame)),
     METH_VARARGS | METH_KEYWORDS,
     "send_can_frame($self, id, data, extended=False, fd=False)\n--\n\nPut one data frame on the bus as another "
     "program would: the neck motors and every connected node receive it."},
};

}  // namespace

std::span<const PyMethodDef> neck_methods() { return neck_methods_table; }

}  // namespace torso_sim_py
