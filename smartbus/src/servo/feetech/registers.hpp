// Control-table registers of the Feetech models on this bus. Multi-byte
// values are little-endian.
#pragma once

#include <cstdint>

namespace smartbus::feetech_servo {

struct Register {
    std::uint8_t address;
    std::uint8_t width;  // bytes
};

// Shared by every model.
inline constexpr Register torque_enable{40, 1};
inline constexpr Register goal_position{42, 2};
inline constexpr Register present_position{56, 2};
inline constexpr Register present_voltage{62, 1};

// SM40BL only (EEPROM).
inline constexpr Register position_offset{31, 2};
inline constexpr Register eeprom_lock{55, 1};

}  // namespace smartbus::feetech_servo
