// Typed health readings of the torso's motors: what a servo's status
// registers and a neck motor's feedback frame say, with the joint they
// belong to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "candrive/damiao/mit.hpp"
#include "smartbus/feetech_servo.hpp"

namespace quorvel {

struct ServoStatus {
    std::string name;
    std::uint8_t id = 0;
    double position = 0.0;     // rad
    double velocity = 0.0;     // rad/s
    double load = 0.0;         // fraction of rated torque, -1 to 1
    double voltage = 0.0;      // V
    int temperature = 0;       // deg C
    double current = 0.0;      // A
    bool moving = false;
    // Fault flags of the status register, in bit order: "voltage", "angle",
    // "overheat", "overcurrent", "overload".
    std::vector<std::string> errors;

    friend bool operator==(const ServoStatus&, const ServoStatus&) = default;
};

struct NeckStatus {
    std::string name;
    std::uint16_t can_id = 0;
    double position = 0.0;     // rad, in the motor's multi-turn frame
    double velocity = 0.0;     // rad/s
    double torque = 0.0;       // N m
    int temperature_mos = 0;   // deg C, driver
    int temperature_rotor = 0; // deg C, motor
    bool enabled = false;
    // Nothing, or the fault of the feedback's state code ("overvoltage",
    // "undervoltage", "overcurrent", "mos_overheat", "rotor_overheat",
    // "lost_communication", "overload").
    std::optional<std::string> fault;
    // n of the multiple n x 2 pi nearest to the position: not 0 means the
    // motor's turn counter is off by whole turns (a power cycle resets it).
    std::int64_t turns_off_zero = 0;

    friend bool operator==(const NeckStatus&, const NeckStatus&) = default;
};

// What the health check of one servo finds: its model number (shown, not
// judged) and its status.
struct ServoProbe {
    std::uint16_t model_number = 0;
    ServoStatus status;
};

// What the health check of one neck motor finds: its CTRL_MODE register
// (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS) and its status.
struct NeckProbe {
    std::uint32_t control_mode = 0;
    NeckStatus status;
};

// The status of servo joint `index` (0 to 6) from its status registers.
ServoStatus servo_status_from(std::size_t index, const smartbus::feetech_servo::StatusReading& reading);
// The status of neck joint `index` (0 to 2) from its feedback frame.
NeckStatus neck_status_from(std::size_t index, const candrive::damiao::MotorState& state);
// The integer n nearest to position / 2 pi (ties away from zero).
std::int64_t turns_off_zero(double position);

}  // namespace quorvel
