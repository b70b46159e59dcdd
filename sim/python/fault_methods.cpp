// quorvel_torso_sim: the TorsoSim methods that inject health faults (temperatures,
// supplies, fault codes) and undo every injected fault.
#include "method_shapes.hpp"

namespace torso_sim_py {
namespace {

using StateCode = Ranged<'i', int, std::uint8_t, 0, 15, &PyExc_ValueError, "state code must be 0 to 15">;

PyMethodDef fault_methods_table[] = {
    args_method<"set_servo_temperature", &TorsoSim::set_servo_temperature, Byte, Int>(
        "set_servo_temperature($self, id, celsius, /)\n--\n\nTemperature the servo measures (default 32). At or above "
        "70 its status register and reply error byte carry the overheat bit."),
    args_method<"set_servo_fault_bits", &TorsoSim::set_servo_fault_bits, Byte, Byte>(
        "set_servo_fault_bits($self, id, bits, /)\n--\n\nExtra status bits the servo reports (bit 0 voltage, 1 angle, "
        "2 overheat, 3 overcurrent, 5 overload)."),
    args_method<"set_neck_temperatures", &TorsoSim::set_neck_temperatures, NeckIndex, Int, Int>(
        "set_neck_temperatures($self, index, mos, rotor, /)\n--\n\nDriver and rotor temperatures of motor 0-2 "
        "(defaults 30, 32). At or above 80 the motor reports over-temperature (0xB MOS, 0xC rotor) and switches off."),
    args_method<"set_neck_supply_voltage", &TorsoSim::set_neck_supply_voltage, Finite<"voltage must be finite">>(
        "set_neck_supply_voltage($self, volts, /)\n--\n\nSupply of the neck motors (default 24). Below 10 V they "
        "report under-voltage (0x9), above 60 V over-voltage (0x8)."),
    args_method<"set_neck_fault", &TorsoSim::set_neck_fault, NeckIndex, StateCode>(
        "set_neck_fault($self, index, code, /)\n--\n\nState code motor 0-2 reports (8-14: a fault; the motor "
        "switches off and cannot be enabled while it stands). 0 clears it."),
    arg_method<"neck_state_code", &TorsoSim::neck_state_code, NeckIndexObject>(
        "neck_state_code($self, index, /)\n--\n\nState code of the motor's next feedback frame."),
    no_args_method<"reset_faults", &TorsoSim::reset_faults>(
        "reset_faults($self, /)\n--\n\nUndo every injected fault; positions and registers stay."),
};

}  // namespace

std::span<const PyMethodDef> fault_methods() { return fault_methods_table; }

}  // namespace torso_sim_py
