// The status registers every Feetech model of this bus shares (present
// position 56 to present current 70) and the model number register.
#include <utility>

#include "register_access.hpp"

namespace smartbus::feetech_servo {

namespace {

std::uint16_t word_at(std::span<const std::uint8_t> bytes, std::uint8_t address) {
    const std::size_t at = address - status_block.address;
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
}

std::uint8_t byte_at(std::span<const std::uint8_t> bytes, std::uint8_t address) {
    return bytes[address - status_block.address];
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
    if (bytes.size() != status_block.width) return common::Err{parsing_error()};
    StatusReading reading;
    reading.position =
        radians_from_position_steps(static_cast<std::int16_t>(word_at(bytes, present_position.address)));
    const int speed = sign_magnitude(word_at(bytes, present_speed.address), present_speed_sign_bit);
    reading.velocity = static_cast<double>(speed) * two_pi / 4096.0;
    const int load = sign_magnitude(word_at(bytes, present_load.address), present_load_sign_bit);
    reading.load = static_cast<double>(load) * load_unit;
    reading.voltage = static_cast<double>(byte_at(bytes, present_voltage.address)) * voltage_unit;
    reading.temperature = byte_at(bytes, present_temperature.address);
    const int current = sign_magnitude(word_at(bytes, present_current.address), present_current_sign_bit);
    reading.current = static_cast<double>(current) * current_unit;
    reading.moving = byte_at(bytes, moving.address) != 0;
    reading.status = byte_at(bytes, servo_status.address);
    return reading;
}

std::vector<std::string> status_flag_names(std::uint8_t status) {
    std::vector<std::string> names;
    for (const StatusFlag& flag : status_flags)
        if ((status >> flag.bit) & 1) names.emplace_back(flag.name);
    return names;
}

Result<std::vector<StatusReading>> sync_read_status(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    auto replies = handler.sync_read(port, ids, status_block.address, status_block.width);
    if (!replies) return common::Err{std::move(replies).error()};
    std::vector<StatusReading> readings;
    readings.reserve(replies->size());
    for (const auto& reply : *replies) {
        auto reading = decode_status_block(reply);
        if (!reading) return common::Err{std::move(reading).error()};
        readings.push_back(*reading);
    }
    return readings;
}

Result<StatusReading> read_status(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id) {
    auto bytes = handler.read(port, id, status_block.address, status_block.width);
    if (!bytes) return common::Err{std::move(bytes).error()};
    return decode_status_block(*bytes);
}

Result<std::uint16_t> read_model_number(FeetechProtocolHandler& handler, SerialPort& port, std::uint8_t id) {
    auto bytes = handler.read(port, id, model_number.address, model_number.width);
    if (!bytes) return common::Err{std::move(bytes).error()};
    if (bytes->size() != model_number.width) return common::Err{parsing_error()};
    return detail::decode_raw<std::uint16_t>(*bytes);
}

}  // namespace smartbus::feetech_servo
