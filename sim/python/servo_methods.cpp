// quorvel_torso_sim: the TorsoSim methods that drive and inspect the servos.
#include "method_shapes.hpp"

namespace torso_sim_py {
namespace {

using GarbageBytes = Ranged<'n', Py_ssize_t, std::size_t, 0, 4096, &PyExc_ValueError, "n_bytes must be 0 to 4096">;
using ReplyAs = OptionalUpTo<"reply_as", 255, std::uint8_t, &PyExc_OverflowError>;

// Shafts move at a speed of 0 or more (0: at once).
bool is_speed(double raw) { return std::isfinite(raw) && raw >= 0; }
using Speed = Checked<'d', double, double, is_speed, &PyExc_ValueError, "speed must be a finite number >= 0">;

using std::chrono::microseconds;
using std::chrono::milliseconds;

PyMethodDef servo_methods_table[] = {
    args_method<"set_servo_silent", &TorsoSim::set_servo_silent, Byte, Flag<"silent">>(
        "set_servo_silent($self, id, silent, /)\n--\n\nA silent servo (ids 1-7) neither answers nor acts, as if unplugged."),
    args_method<"set_servo_position", &TorsoSim::set_servo_position, Byte, Finite<"position must be finite">>(
        "set_servo_position($self, id, radians, /)\n--\n\nPut the shaft where the servo reports `radians` (wrapped into one "
        "turn); the goal follows, so nothing moves."),
    arg_method<"servo_position", &TorsoSim::servo_position, ServoIdObject>(
        "servo_position($self, id, /)\n--\n\nPresent position in rad, as the servo reports it."),
    arg_method<"servo_goal", &TorsoSim::servo_goal, ServoIdObject>(
        "servo_goal($self, id, /)\n--\n\nGoal position register in rad."),
    arg_method<"servo_torque", &TorsoSim::servo_torque, ServoIdObject>(
        "servo_torque($self, id, /)\n--\n\nTorque enable register as a bool."),
    args_method<"set_servo_torque", &TorsoSim::set_servo_torque, Byte, Flag<"on">>(
        "set_servo_torque($self, id, on, /)\n--\n\nSet torque enable."),
    arg_method<"servo_offset", &TorsoSim::servo_offset, ServoIdObject>(
        "servo_offset($self, id, /)\n--\n\nSM40BL position offset in rad (0 for the STS3025BL nose servos)."),
    args_method<"set_servo_offset", &TorsoSim::set_servo_offset, Byte, Finite<"offset must be finite">>(
        "set_servo_offset($self, id, radians, /)\n--\n\nRewrite an SM40BL offset, ignoring the EEPROM lock. The shaft stays "
        "still; the reported position becomes encoder - offset."),
    args_method<"servo_register", &TorsoSim::servo_register, Byte, Byte>(
        "servo_register($self, id, address, /)\n--\n\nOne register byte as the bus would read it."),
    args_method<"set_servo_register", &TorsoSim::set_servo_register, Byte, Byte, Byte>(
        "set_servo_register($self, id, address, value, /)\n--\n\nWrite one register byte as the bus would, ignoring the EEPROM "
        "lock. Present position (56-57) and voltage (62) are measured, not settable."),
    args_method<"set_voltage", &TorsoSim::set_voltage, Byte>(
        "set_voltage($self, tenths_of_volt, /)\n--\n\nFixed supply voltage of all servos (default 120 = 12.0 V)."),
    args_method<"set_voltage_ramp", &TorsoSim::set_voltage_ramp, Byte, Byte, Seconds<milliseconds>>(
        "set_voltage_ramp($self, start, end, over, /)\n--\n\nSupply voltage moving linearly from `start` to `end` (tenths of a "
        "volt) over `over` seconds, starting now."),
    args_method<"set_servo_speed", &TorsoSim::set_servo_speed, Speed>(
        "set_servo_speed($self, radians_per_second, /)\n--\n\nHow fast shafts travel to their goals; 0 (default) = at once."),
    args_method<"set_reboot_silence", &TorsoSim::set_reboot_silence, Seconds<milliseconds>>(
        "set_reboot_silence($self, seconds, /)\n--\n\nHow long a servo stays silent after answering a reboot (default 0.02)."),
    arg_method<"servo_reboot_count", &TorsoSim::servo_reboot_count, ServoIdObject>(
        "servo_reboot_count($self, id, /)\n--\n\nNumber of reboot instructions the servo has obeyed."),
    args_method<"set_corrupt_checksum", &TorsoSim::set_corrupt_checksum, Byte, Flag<"corrupt">>(
        "set_corrupt_checksum($self, id, corrupt, /)\n--\n\nThe servo's replies carry a wrong checksum."),
    args_method<"set_reply_id_override", &TorsoSim::set_reply_id_override, Byte, ReplyAs>(
        "set_reply_id_override($self, id, reply_as, /)\n--\n\nThe servo answers with id `reply_as` (None restores its own)."),
    args_method<"set_garbage_before_reply", &TorsoSim::set_garbage_before_reply, Byte, GarbageBytes>(
        "set_garbage_before_reply($self, id, n_bytes, /)\n--\n\n`n_bytes` noise bytes (never 0xFF) precede each reply."),
    args_method<"set_reply_delay", &TorsoSim::set_reply_delay, Seconds<microseconds>>(
        "set_reply_delay($self, seconds, /)\n--\n\nDelay between receiving a packet and answering it, for all servos."),
    args_method<"set_servo_reply_delay", &TorsoSim::set_servo_reply_delay, Byte, Seconds<microseconds>>(
        "set_servo_reply_delay($self, id, seconds, /)\n--\n\nThis servo answers that much later still (on top of "
        "set_reply_delay); the replies after it in a sync read wait for it."),
};

}  // namespace

std::span<const PyMethodDef> servo_methods() { return servo_methods_table; }

}  // namespace torso_sim_py
