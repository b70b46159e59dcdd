// The registers every Feetech model of this bus shares.
#include <cmath>

#include "register_access.hpp"

namespace smartbus::feetech_servo {

using detail::sync_read_register;
using detail::sync_write_register;

double radians_from_position_steps(std::int16_t raw) {
    // Kept as separate steps so that no compiler fuses them into one rounding.
    const double turns_scaled = static_cast<double>(raw) * two_pi;
    const double radians_from_zero_step = turns_scaled * (1.0 / 4096.0);
    return radians_from_zero_step + -pi;
}

std::int16_t position_steps_from_radians(double radians) {
    const double shifted = radians + pi;
    const double scaled = shifted * 4096.0;
    const double steps = scaled / two_pi;
    if (std::isnan(steps)) return 0;
    if (steps >= 32767.0) return 32767;
    if (steps <= -32768.0) return -32768;
    return static_cast<std::int16_t>(steps);  // truncates toward zero
}

Result<std::vector<std::int16_t>> sync_read_raw_present_position(FeetechProtocolHandler& handler, SerialPort& port,
                                                                 Ids ids) {
    return sync_read_register<std::int16_t>(handler, port, ids, present_position);
}

Result<std::vector<double>> sync_read_present_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    auto raw = sync_read_raw_present_position(handler, port, ids);
    if (!raw) return common::Err{std::move(raw).error()};
    std::vector<double> radians;
    radians.reserve(raw->size());
    for (std::int16_t value : *raw) radians.push_back(radians_from_position_steps(value));
    return radians;
}

Result<void> sync_write_raw_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::int16_t> raw) {
    return sync_write_register(handler, port, ids, goal_position, raw);
}

Result<void> sync_write_goal_position(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      std::span<const double> radians) {
    std::vector<std::int16_t> raw;
    raw.reserve(radians.size());
    for (double value : radians) raw.push_back(position_steps_from_radians(value));
    return sync_write_raw_goal_position(handler, port, ids, raw);
}

Result<std::vector<std::uint8_t>> sync_read_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port,
                                                              Ids ids) {
    return sync_read_register<std::uint8_t>(handler, port, ids, torque_enable);
}

Result<std::vector<bool>> sync_read_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids) {
    auto raw = sync_read_raw_torque_enable(handler, port, ids);
    if (!raw) return common::Err{std::move(raw).error()};
    std::vector<bool> on;
    on.reserve(raw->size());
    for (std::uint8_t value : *raw) on.push_back(value != 0);
    return on;
}

Result<void> sync_write_raw_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                          std::span<const std::uint8_t> raw) {
    return sync_write_register(handler, port, ids, torque_enable, raw);
}

Result<void> sync_write_torque_enable(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                      const std::vector<bool>& on) {
    return sync_write_raw_torque_enable(handler, port, ids, detail::bytes_from_flags(on));
}

Result<void> check_sync_write_torque_enable(Ids ids) { return detail::check_sync_write_register(ids, torque_enable); }

Result<std::vector<std::uint8_t>> sync_read_present_voltage(FeetechProtocolHandler& handler, SerialPort& port,
                                                            Ids ids) {
    return sync_read_register<std::uint8_t>(handler, port, ids, present_voltage);
}

}  // namespace smartbus::feetech_servo
