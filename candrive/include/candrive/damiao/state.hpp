// The state code a Damiao motor reports in the high nibble of byte 0 of
// every feedback frame (MotorState::status).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace candrive::damiao {

enum class StateCode : std::uint8_t {
    Disabled = 0x0,
    Enabled = 0x1,
    OverVoltage = 0x8,
    UnderVoltage = 0x9,
    OverCurrent = 0xA,
    MosOverTemperature = 0xB,
    RotorOverTemperature = 0xC,
    LostCommunication = 0xD,
    Overload = 0xE,
};

// The fault a state code reports: "overvoltage", "undervoltage",
// "overcurrent", "mos_overheat", "rotor_overheat", "lost_communication" or
// "overload"; nothing for the disabled and enabled codes. A code the motor
// documentation does not list reads "state_<n>" (n in decimal).
std::optional<std::string_view> state_fault_name(std::uint8_t code);
// True only for the enabled code: a motor in a fault state has switched
// its output off.
constexpr bool state_is_enabled(std::uint8_t code) { return code == static_cast<std::uint8_t>(StateCode::Enabled); }

}  // namespace candrive::damiao
