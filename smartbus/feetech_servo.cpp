// The registers every Feetech model of this bus shares: positions, torque,
// voltage, and the status block (present position 56 to present current 70)
// with the model number register.
#include <cmath>
#include <utility>

#include "register_access.hpp"

namespace smartbus::feetech_servo {

using detail::sync_read_register;
using detail::sync_write_register;

double radians_from_position_steps(std::int16_t raw) {
    // Kept as separate steps so that no compiler fuses them into one rounding.
    const double turns_scaled = static_cast<double>(raw) * kTwoPi;
    const double radians_from_zero_step = turns_scaled * (1.0 / 4096.0);
    return radians_from_zero_step + -kPi;
}

std::int16_t position_steps_from_radians(double radians) {
    const double shifted = radians + kPi;
    const double scaled = shifted * 4096.0;
    const double steps = scaled / kTwoPi;
    if (std::isnan(steps)) return 0;
    if (steps >= 32767.0) return 32767;
    if (steps <= -32768.0) return -32768;
    return static_cast<std::int16_t>(steps);  // truncates toward zero
}

Result<std::vector<std::int16_t>> sync_read_raw_present_position(FeetechProtocolHandler& handler, SerialPort& port,
                                                                 Ids ids) {
    return sync_read_register<std::int16_t>(handler, port, ids, kPresentPosition);
}

Result<std::vector<double>> sync_read_present_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return detail::map_read<double>(sync_read_raw_present_position(handler, port, ids), radians_from_position_steps);
}

Result<void> sync_write_raw_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::int16_t> raw) {
    return sync_write_register(handler, port, ids, kGoalPosition, raw);
}

Result<void> sync_write_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      std::span<const double> radians) {
    return sync_write_raw_goal_position(handler, port, ids,
                                        detail::map_values<std::int16_t>(radians, position_steps_from_radians));
}

Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port,
                                                              Ids ids) {
    return sync_read_register<std::uint8_t>(handler, port, ids, kTorqueEnable);
}

Result<std::vector<bool>> sync_read_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    return detail::map_read<bool>(sync_read_raw_torque_enable(handler, port, ids),
                                  [](std::uint8_t value) { return value != 0; });
}

Result<void> sync_write_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::uint8_t> raw) {
    return sync_write_register(handler, port, ids, kTorqueEnable, raw);
}

Result<void> sync_write_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      const std::vector<bool>& on) {
    return sync_write_raw_torque_enable(handler, port, ids, detail::bytes_from_flags(on));
}

Result<void> check_sync_write_torque_enable(Ids ids) { return detail::check_sync_write_register(ids, kTorqueEnable); }

Result<std::vector<std::uint8_t>> sync_read_present_voltage(FeetechProtocolHandler& handler, SerialPort& port,
                                                            Ids ids) {
    return sync_read_register<std::uint8_t>(handler, port, ids, kPresentVoltage);
}

}  // namespace smartbus::feetech_servo

namespace smartbus::feetech_servo {

namespace {

std::uint16_t word_at(std::span<const std::uint8_t> bytes, std::uint8_t address) {
    const std::size_t at = address - kStatusBlock.address;
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint8_t byte_at(std::span<const std::uint8_t> bytes, std::uint8_t address) {
    return bytes[address - kStatusBlock.address];
}

// The magnitude below `sign_bit`, negated when that bit is set; the bits
// above it are not part of the value.
int sign_magnitude(std::uint16_t raw, int sign_bit) {
    const int magnitude = raw & ((1 << sign_bit) - 1);
    return (raw >> sign_bit) & 1 ? -magnitude : magnitude;
}

Error parsing_error() { return CommunicationErrorKind{CommunicationErrorCode::ParsingError}; }

}  // namespace

Result<StatusReading> decode_status_block(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kStatusBlock.width) return common::Err{parsing_error()};
    StatusReading reading;
    reading.position =
        radians_from_position_steps(static_cast<std::int16_t>(word_at(bytes, kPresentPosition.address)));
    const int speed = sign_magnitude(word_at(bytes, kPresentSpeed.address), kPresentSpeedSignBit);
    reading.velocity = static_cast<double>(speed) * kTwoPi / 4096.0;
    const int load = sign_magnitude(word_at(bytes, kPresentLoad.address), kPresentLoadSignBit);
    reading.load = static_cast<double>(load) * kLoadUnit;
    reading.voltage = static_cast<double>(byte_at(bytes, kPresentVoltage.address)) * kVoltageUnit;
    reading.temperature = byte_at(bytes, kPresentTemperature.address);
    const int current = sign_magnitude(word_at(bytes, kPresentCurrent.address), kPresentCurrentSignBit);
    reading.current = static_cast<double>(current) * kCurrentUnit;
    reading.moving = byte_at(bytes, kMoving.address) != 0;
    reading.status = byte_at(bytes, kServoStatus.address);
    return reading;
}

std::vector<std::string> status_flag_names(std::uint8_t status) {
    std::vector<std::string> names;
    for (const StatusFlag& flag : status_flags)
        if ((status >> flag.bit) & 1) names.emplace_back(flag.name);
    return names;
}

Result<std::vector<StatusReading>> sync_read_status(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    auto replies = handler.sync_read(port, ids, kStatusBlock.address, kStatusBlock.width);
    if (!replies) return common::Err{std::move(replies).error()};
    std::vector<StatusReading> readings;
    readings.reserve(replies->size());
    for (std::size_t i = 0; i < replies->size(); ++i) {
        auto reading = decode_status_block((*replies)[i]);
        if (!reading) return common::Err{std::move(reading).error().set_servo_id(ids[i])};
        readings.push_back(*reading);
    }
    return readings;
}

Result<StatusReading> read_status(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id) {
    auto bytes = handler.read(port, id, kStatusBlock.address, kStatusBlock.width);
    if (!bytes) return common::Err{std::move(bytes).error()};
    auto reading = decode_status_block(*bytes);
    if (!reading) return common::Err{std::move(reading).error().set_servo_id(id)};
    return reading;
}

Result<std::uint16_t> read_model_number(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id) {
    auto bytes = handler.read(port, id, kModelNumber.address, kModelNumber.width);
    if (!bytes) return common::Err{std::move(bytes).error()};
    if (bytes->size() != kModelNumber.width) return common::Err{parsing_error().set_servo_id(id)};
    return detail::decode_raw<std::uint16_t>(*bytes);
}

}  // namespace smartbus::feetech_servo
