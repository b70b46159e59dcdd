// quorvel_torso_sim: the TorsoSim methods that inject health faults (temperatures,
// supplies, fault codes) and undo every injected fault.
#include "sim_module.hpp"

#include <cmath>
#include <cstdint>

namespace torso_sim_py {
namespace {

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

PyObject* sim_reset_faults(PyObject* self, PyObject*) {
    SIM_OR_FAIL(self);
    sim->reset_faults();
    Py_RETURN_NONE;
}

PyMethodDef fault_methods_table[] = {
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
};

}  // namespace

std::span<const PyMethodDef> fault_methods() { return fault_methods_table; }

}  // namespace torso_sim_py
