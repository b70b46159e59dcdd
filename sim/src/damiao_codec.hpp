// The Damiao motor's side of its CAN encoding: unpacking MIT set-points and
// packing feedback frames. Ranges map linearly onto unsigned fields of a given
// width; values outside the range are clamped.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace torso_sim::damiao {

inline constexpr float kKpMax = 500.0f;
inline constexpr float kKdMax = 5.0f;

std::uint32_t float_to_uint(float x, float lo, float hi, int bits);
float uint_to_float(std::uint32_t u, float lo, float hi, int bits);

struct MitSetpoint {
    float position, velocity, kp, kd, torque;
};

// p16 v12 kp12 kd12 t12, packed big-endian.
MitSetpoint unpack_mit(std::span<const std::uint8_t, 8> data, float pmax, float vmax, float tmax);

struct Feedback {
    std::uint8_t id;       // low nibble of byte 0
    std::uint8_t status;   // high nibble of byte 0
    float position, velocity, torque;
    std::uint8_t t_mos, t_rotor;
};

std::array<std::uint8_t, 8> pack_feedback(const Feedback& fb, float pmax, float vmax, float tmax);

}  // namespace torso_sim::damiao
