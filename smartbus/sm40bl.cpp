// The SM40BL's EEPROM registers: the position offset and the lock that
// guards the EEPROM.
#include <cmath>
#include <string>

#include "register_access.hpp"
#include "common/format.hpp"
#include "smartbus/sm40bl.hpp"

namespace smartbus::sm40bl {
namespace {

using feetech_servo::kPi;
using feetech_servo::detail::sync_read_register;
using feetech_servo::detail::sync_write_register;

constexpr std::uint16_t kMagnitudeMask = 0x07FF;
constexpr std::uint16_t kSignBit = 0x0800;
constexpr std::uint16_t kSignAndHighBits = 0xF800;
constexpr double kMaxMagnitudeSteps = 2047.0;  // pi

}  // namespace

double radians_from_offset_raw(std::int16_t raw) {
    const auto word = static_cast<std::uint16_t>(raw);
    const double magnitude = static_cast<double>(word & kMagnitudeMask);
    const double scaled = magnitude * kPi;
    const double radians = scaled / kMaxMagnitudeSteps;
    return (word & kSignAndHighBits) == kSignBit ? -radians : radians;
}

Result<std::int16_t> offset_raw_from_radians(double radians) {
    const double scaled = std::fabs(radians) * kMaxMagnitudeSteps;
    const double magnitude = scaled / kPi;
    // The magnitude field holds at most 2047 steps (pi); beyond it the sign
    // bit would be overwritten.
    if (!(magnitude <= kMaxMagnitudeSteps)) {
        return common::Err{invalid_input("offset " + common::float_debug(radians) + " rad is beyond pi")};
    }
    auto word = static_cast<std::uint16_t>(magnitude);  // truncates toward zero
    if (std::signbit(radians)) word |= kSignBit;
    return static_cast<std::int16_t>(word);
}

Result<std::vector<std::int16_t>> sync_read_raw_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return sync_read_register<std::int16_t>(handler, port, ids, feetech_servo::kPositionOffset);
}

Result<std::vector<double>> sync_read_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return feetech_servo::detail::map_read<double>(sync_read_raw_offset(handler, port, ids), radians_from_offset_raw);
}

Result<void> sync_write_raw_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                   std::span<const std::int16_t> raw) {
    return sync_write_register(handler, port, ids, feetech_servo::kPositionOffset, raw);
}

Result<void> sync_write_offset(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                               std::span<const double> radians) {
    std::vector<std::int16_t> raw;
    raw.reserve(radians.size());
    for (double value : radians) {
        auto word = offset_raw_from_radians(value);
        if (!word) return common::Err{std::move(word).error()};
        raw.push_back(*word);
    }
    return sync_write_raw_offset(handler, port, ids, raw);
}

Result<void> sync_write_raw_lock(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                 std::span<const std::uint8_t> raw) {
    return sync_write_register(handler, port, ids, feetech_servo::kEepromLock, raw);
}

Result<void> sync_write_lock(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                             const std::vector<bool>& locked) {
    return sync_write_raw_lock(handler, port, ids, feetech_servo::detail::bytes_from_flags(locked));
}

}  // namespace smartbus::sm40bl
