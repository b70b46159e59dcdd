// quorvel_torso_sim: the virtual torso as a Python class.
//
// A thin layer over torso_sim::TorsoSim. The simulator's own threads never
// touch the interpreter; calls that wait for them (start, close) release the
// interpreter lock while they do.
//
// The class and the module are defined here, with the methods that manage the
// simulator's life and its traffic logs; servo_methods.cpp, neck_methods.cpp
// and fault_methods.cpp hold the rest of the methods, records.cpp the record
// types.
#include "method_shapes.hpp"

#include <structmember.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace torso_sim_py {

// ---- the TorsoSim class

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
                                     "can_turnaround_us",  "link",              nullptr};
    unsigned long mode = 1;
    PyObject* positions = nullptr;
    double reboot_silence = 0.020;
    int wire = 0;
    double usb_latency_ms = 0.0, servo_latency_us = 20.0, can_turnaround_us = 50.0;
    PyObject* link = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|kOd$pdddO:TorsoSim", const_cast<char**>(keywords), &mode,
                                     &positions, &reboot_silence, &wire, &usb_latency_ms, &servo_latency_us,
                                     &can_turnaround_us, &link))
        return nullptr;
    torso_sim::Options options;
    if (link && link != Py_None) {
        PyObject* encoded = nullptr;   // str or path-like, in the file system's encoding
        if (!PyUnicode_FSConverter(link, &encoded)) return nullptr;
        options.link_directory.assign(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded)));
        Py_DECREF(encoded);
        if (options.link_directory.empty()) {
            PyErr_SetString(PyExc_ValueError, "link must name a directory");
            return nullptr;
        }
    }
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

// A string property read from the simulator.
template <std::string (TorsoSim::*Getter)() const>
PyObject* string_property(PyObject* self, void*) {
    SIM_OR_FAIL(self);
    return PyUnicode_FromString((sim->*Getter)().c_str());
}

// A path property that is None when empty (no link directory), decoded as
// the file system does.
template <std::string (TorsoSim::*Getter)() const>
PyObject* optional_path_property(PyObject* self, void*) {
    SIM_OR_FAIL(self);
    const std::string path = (sim->*Getter)();
    if (path.empty()) Py_RETURN_NONE;
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* sim_get_closed(PyObject* self, void*) { return PyBool_FromLong(reinterpret_cast<SimObject*>(self)->sim == nullptr); }

// ---- type and module definitions

PyMethodDef core_methods[] = {
    {"close", sim_close, METH_NOARGS,
     "close($self, /)\n--\n\nStop the simulator: its threads end, the pty and the bus socket close and the temporary "
     "directory goes away. A second call does nothing."},
    {"__enter__", sim_enter, METH_NOARGS, "Return self."},
    {"__exit__", sim_exit, METH_VARARGS, "Close the simulator."},
};

PyMethodDef log_methods[] = {
    no_args_method<"serial_log", &TorsoSim::serial_log>(
        "serial_log($self, /)\n--\n\nList of SerialLogEntry(time, bytes, parsed): everything the host sent on the serial "
        "line, oldest first (the last 100 000 entries)."),
    no_args_method<"can_log", &TorsoSim::can_log>(
        "can_log($self, /)\n--\n\nList of CanLogEntry(time, id, extended, fd, data): every frame a node sent, oldest "
        "first."),
    no_args_method<"clear_logs", &TorsoSim::clear_logs>("clear_logs($self, /)\n--\n\nEmpty both traffic logs."),
    arg_method<"servo_goal_history", &TorsoSim::servo_goal_history, ServoIdObject>(
        "servo_goal_history($self, id, /)\n--\n\nList of ServoGoalEntry(time, goal, steps): every goal position servo "
        "`id` took from a write or sync write covering its goal register, oldest first (the last 100 000; empty for "
        "an id not on the bus)."),
    arg_method<"neck_command_history", &TorsoSim::neck_command_history, NeckIndexObject>(
        "neck_command_history($self, index, /)\n--\n\nList of NeckCommandEntry(time, position, velocity, kp, kd, "
        "torque): every MIT command neck motor 0-2 acted on (enabled, in MIT mode), oldest first (the last 100 000)."),
    no_args_method<"clear_set_point_history", &TorsoSim::clear_set_point_history>(
        "clear_set_point_history($self, /)\n--\n\nEmpty the goal and MIT command histories of every servo and "
        "motor."),
};

// The class's methods: its own, then those of each part, in this order, and
// the sentinel. Built once; the type refers to it for as long as it lives.
PyMethodDef* all_methods() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> methods(std::begin(core_methods), std::end(core_methods));
        for (auto part : {servo_methods(), neck_methods(), fault_methods()})
            methods.insert(methods.end(), part.begin(), part.end());
        methods.insert(methods.end(), std::begin(log_methods), std::end(log_methods));
        methods.push_back({nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return table.data();
}

PyGetSetDef sim_getset[] = {
    {"serial_path", string_property<&TorsoSim::serial_path>, nullptr,
     "Path of the serial port to open (the pty's slave side).", nullptr},
    {"can_bus", string_property<&TorsoSim::can_bus>, nullptr,
     "CAN bus name to pass to the controller: \"unix:<path>\".", nullptr},
    {"serial_link", optional_path_property<&TorsoSim::serial_link>, nullptr,
     "With link=DIR: \"DIR/serial\", a symbolic link to `serial_path` that keeps its name across runs; else None.",
     nullptr},
    {"can_bus_link", optional_path_property<&TorsoSim::can_bus_link>, nullptr,
     "With link=DIR: \"unix:DIR/can\", the bus through a symbolic link to its socket; else None.", nullptr},
    {"closed", sim_get_closed, nullptr, "True once close() has run.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const char sim_doc[] =
    "TorsoSim(neck_ctrl_mode=1, neck_positions=None, reboot_silence=0.02, *, wire=False, usb_latency_ms=0.0, "
    "servo_latency_us=20.0, can_turnaround_us=50.0, link=None)\n--\n\n"
    "A virtual Quorvel torso: seven Feetech servos (ids 1-4 SM40BL, 5-7 STS3025BL) behind a pseudo-terminal at "
    "`serial_path`, and three Damiao neck motors (CAN ids 1-3) on the virtual CAN bus `can_bus`. Starts at once; "
    "use as a context manager or call close().\n\n"
    "neck_ctrl_mode: CTRL_MODE the neck motors power up in. neck_positions: three start positions in rad "
    "(yaw, pitch, roll), default zeros. reboot_silence: seconds a servo stays silent after a reboot.\n\n"
    "wire=True keeps wire time (default: every answer is instant): serial bytes take 10 us each way at 1 Mbaud, "
    "a servo answers servo_latency_us plus its return-delay register (address 7, 2 us units) after the "
    "instruction, sync-read replies follow one another, and with usb_latency_ms > 0 replies reach the host on "
    "the adapter's latency timer, in packets of up to 62 bytes (a full packet goes at once and restarts the "
    "timer); CAN frames take their bit time at 1 Mbit/s one at a time on the bus, and a "
    "motor answers can_turnaround_us after the frame it answers.\n\n"
    "link=DIR keeps stable names for the buses while the simulator runs: DIR/serial links to the "
    "pseudo-terminal and DIR/can to the bus socket (so the bus is \"unix:DIR/can\"); DIR is created if "
    "missing, links of an earlier run are replaced, and close() removes them.";

PyType_Slot sim_slots[] = {{Py_tp_new, reinterpret_cast<void*>(sim_new)},
                           {Py_tp_dealloc, reinterpret_cast<void*>(sim_dealloc)},
                           {Py_tp_methods, nullptr},  // all_methods(), set on creation
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

}  // namespace torso_sim_py

PyMODINIT_FUNC PyInit_quorvel_torso_sim() {
    using namespace torso_sim_py;
    for (PyType_Slot* slot = sim_slots; slot->slot != 0; ++slot)
        if (slot->slot == Py_tp_methods) slot->pfunc = all_methods();
    PyObject* module = PyModule_Create(&module_def);
    if (!module) return nullptr;
    const bool types_added = add_record_types(module);
    PyObject* sim_type = types_added ? PyType_FromSpec(&sim_spec) : nullptr;
    const bool ok = sim_type && PyModule_AddObjectRef(module, "TorsoSim", sim_type) == 0;
    Py_XDECREF(sim_type);
    if (!ok) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
