// Register accessors of the Feetech SM40BL (the arm servos) for the registers
// only this model has: the EEPROM position offset and the EEPROM lock. The
// registers it shares with every model are read and written with the
// accessors of feetech_servo.hpp.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "smartbus/feetech_servo.hpp"

namespace smartbus::sm40bl {

using feetech_servo::Ids;

// The offset is sign-magnitude: bits 0 to 10 the magnitude in steps of
// pi/2047, bit 11 the sign (taken as negative only when bits 12 to 15 are clear).
double radians_from_offset_raw(std::int16_t raw);
// Refused (InvalidInput) beyond +-pi or for NaN: the magnitude field holds no more.
Result<std::int16_t> offset_raw_from_radians(double radians);

Result<std::vector<double>> sync_read_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
Result<std::vector<std::int16_t>> sync_read_raw_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids);
// Nothing is sent if any value is refused.
Result<void> sync_write_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                               std::span<const double> radians);
Result<void> sync_write_raw_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                   std::span<const std::int16_t> raw);
Result<void> sync_write_lock(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                             const std::vector<bool>& locked);
Result<void> sync_write_raw_lock(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                 std::span<const std::uint8_t> raw);

}  // namespace smartbus::sm40bl
