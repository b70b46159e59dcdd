// Registers that every Feetech servo model of this system shares, with the
// accessors that read or write one of them on many servos at once through a
// sync transaction: one accessor set for the SM40BL (arms) and the STS3025BL
// (nose) alike. The SM40BL's own registers have theirs in sm40bl.hpp; the
// STS3025BL has none of its own. Which register which model has is told by
// the register table (registers.hpp).
//
// Positions: 4096 steps per turn, 2048 steps = 0 rad, signed 16-bit steps.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "smartbus/error.hpp"
#include "smartbus/protocol_handler.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus::feetech_servo {

using Ids = std::span<const std::uint8_t>;

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// rad = (raw * 2pi) * (1/4096) - pi
double radians_from_position_steps(std::int16_t raw);
// raw = ((rad + pi) * 4096) / 2pi, truncated toward zero, saturated to the
// 16-bit range; NaN gives 0.
std::int16_t position_steps_from_radians(double radians);

// Read accessors return one value per id, in the order of `ids`; a reply of
// another width than the register's is a ParsingError. Write accessors take one
// value per id (another count is refused with InvalidInput).
Result<std::vector<double>> sync_read_present_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
Result<std::vector<std::int16_t>> sync_read_raw_present_position(FeetechProtocolHandler& handler, SerialPort& port,
                                                                 Ids ids);
Result<void> sync_write_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      std::span<const double> radians);
Result<void> sync_write_raw_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::int16_t> raw);
Result<std::vector<bool>> sync_read_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port,
                                                              Ids ids);
Result<void> sync_write_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      const std::vector<bool>& on);
Result<void> sync_write_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::uint8_t> raw);
// The refusal a torque-enable sync write to `ids` would meet before sending
// (no ids, too many ids for one packet), or success. Touches no port.
Result<void> check_sync_write_torque_enable(Ids ids);
// Tenths of a volt.
Result<std::vector<std::uint8_t>> sync_read_present_voltage(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);

// ---- Status registers (present position 56 to present current 70) ----------

// One servo's status block, in the units the rest of the system uses.
struct StatusReading {
    double position = 0.0;     // rad, as sync_read_present_position
    double velocity = 0.0;     // rad/s (present speed: sign bit 15, steps/s)
    double load = 0.0;         // fraction of rated torque, -1 to 1 (sign bit 10, 0.1 % units)
    double voltage = 0.0;      // V
    int temperature = 0;       // deg C
    double current = 0.0;      // A (sign bit 15, 6.5 mA units)
    bool moving = false;
    std::uint8_t status = 0;   // fault bits; see status_flag_names
};

// One sync read of the status block of every id, in the order of `ids`.
Result<std::vector<StatusReading>> sync_read_status(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
// The status block of one servo, with a plain read.
Result<StatusReading> read_status(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id);
// The model number register (address 3) of one servo, with a plain read.
Result<std::uint16_t> read_model_number(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id);

// The 15 bytes of registers 56 to 70 decoded; another length is a ParsingError.
Result<StatusReading> decode_status_block(std::span<const std::uint8_t> bytes);
// The names of the fault bits set in a status register, in bit order:
// "voltage", "angle", "overheat", "overcurrent", "overload".
std::vector<std::string> status_flag_names(std::uint8_t status);

}  // namespace smartbus::feetech_servo
