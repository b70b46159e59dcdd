// Control-table registers of the Feetech models on this bus. Multi-byte
// values are little-endian.
#pragma once

#include <array>
#include <cstdint>

namespace smartbus::feetech_servo {

struct Register {
    std::uint8_t address;
    std::uint8_t width;  // bytes
};

// Shared by every model.
inline constexpr Register kTorqueEnable{40, 1};
inline constexpr Register kGoalPosition{42, 2};
inline constexpr Register kPresentPosition{56, 2};
inline constexpr Register kPresentVoltage{62, 1};

// Read-only status registers, shared by every model. Speed, load and current
// are sign-magnitude: the sign bit below, the magnitude in the bits under it.
inline constexpr Register kModelNumber{3, 2};         // EEPROM, set at the factory
inline constexpr Register kPresentSpeed{58, 2};       // steps/s, 4096 steps per turn
inline constexpr Register kPresentLoad{60, 2};        // 0.1 % of rated torque
inline constexpr Register kPresentTemperature{63, 1}; // deg C
inline constexpr Register kServoStatus{65, 1};        // fault bits, as in a status packet's error byte
inline constexpr Register kMoving{66, 1};              // 1 while the shaft travels to its goal
inline constexpr Register kPresentCurrent{69, 2};     // 6.5 mA

inline constexpr int kPresentSpeedSignBit = 15;
inline constexpr int kPresentLoadSignBit = 10;
inline constexpr int kPresentCurrentSignBit = 15;
inline constexpr double kLoadUnit = 0.001;      // fraction of rated torque per unit
inline constexpr double kCurrentUnit = 0.0065;  // A per unit
inline constexpr double kVoltageUnit = 0.1;     // V per unit

// Every status register in one block: present position (56) up to the end
// of present current (70). One sync read of it per model group.
inline constexpr Register kStatusBlock{56, 15};

// Names of the fault bits of the status register (and of a status packet's
// error byte): bit 0 supply voltage out of range, 1 angle (sensor), 2 over
// temperature, 3 over current, 5 overload. Bits 4, 6 and 7 carry nothing.
struct StatusFlag {
    int bit;
    const char* name;
};
inline constexpr StatusFlag status_flags[] = {
    {0, "voltage"}, {1, "angle"}, {2, "overheat"}, {3, "overcurrent"}, {5, "overload"},
};

// The position loop's gains, shared by every model: one byte each in three
// consecutive registers, P at 21, D at 22 and I at 23 (D comes before I).
inline constexpr Register kPidGains{21, 3};

struct PidGains {
    std::uint8_t p = 0;
    std::uint8_t i = 0;
    std::uint8_t d = 0;
};

// The bytes of registers 21 to 23, in address order, for `gains`.
inline constexpr std::array<std::uint8_t, 3> pid_gain_bytes(PidGains gains) { return {gains.p, gains.d, gains.i}; }
// The gains that registers 21, 22 and 23 hold.
inline constexpr PidGains pid_gains_from_bytes(std::uint8_t at_21, std::uint8_t at_22, std::uint8_t at_23) {
    return {at_21, at_23, at_22};
}

// SM40BL only (EEPROM).
inline constexpr Register kPositionOffset{31, 2};
inline constexpr Register kEepromLock{55, 1};

}  // namespace smartbus::feetech_servo
