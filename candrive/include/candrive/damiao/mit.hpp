// MIT impedance-control frames: the command packing and the feedback
// decoding. Pure arithmetic in 32-bit floats; no I/O, no allocation.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "candrive/damiao/error.hpp"

namespace candrive::damiao {

// Scaling ranges of the MIT frame: position, velocity and torque map
// [-limit, limit], the gains [0, limit]. pmax, vmax and tmax must match the
// motor's PMAX, VMAX and TMAX registers.
struct MitLimits {
    float pmax, vmax, kp_max, kd_max, tmax;
};

// An MIT set-point: position (rad), velocity (rad/s), gains, feed-forward torque.
struct MitCommand {
    float position, velocity, kp, kd, torque;
};

// A decoded feedback frame.
struct MotorState {
    float position, velocity, torque;
    std::uint8_t id;       // low nibble of byte 0
    std::uint8_t status;   // high nibble of byte 0, passed on uninterpreted
    std::uint8_t t_mos;    // driver temperature as reported
    std::uint8_t t_rotor;  // motor temperature as reported
};

// The 8 data bytes of the MIT frame for `command`; each field is clamped to
// its range first (a NaN field encodes as 0).
std::array<std::uint8_t, 8> encode(const MitLimits& limits, const MitCommand& command);

// The state in a feedback frame; fewer than 8 bytes is ShortFeedback.
DamiaoResult<MotorState> decode_state(const MitLimits& limits, std::span<const std::uint8_t> data);

}  // namespace candrive::damiao
