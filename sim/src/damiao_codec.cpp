#include "damiao_codec.hpp"

#include <algorithm>
#include <cmath>

namespace torso_sim::damiao {

std::uint32_t float_to_uint(float x, float lo, float hi, int bits) {
    const float full = static_cast<float>((1u << bits) - 1u);
    if (std::isnan(x) || !(hi > lo)) return 0;
    const float clamped = std::clamp(x, lo, hi);
    return static_cast<std::uint32_t>((clamped - lo) * full / (hi - lo));
}

float uint_to_float(std::uint32_t u, float lo, float hi, int bits) {
    const float full = static_cast<float>((1u << bits) - 1u);
    return static_cast<float>(u) * (hi - lo) / full + lo;
}

MitSetpoint unpack_mit(std::span<const std::uint8_t, 8> d, float pmax, float vmax, float tmax) {
    const std::uint32_t p = (d[0] << 8) | d[1];
    const std::uint32_t v = (d[2] << 4) | (d[3] >> 4);
    const std::uint32_t kp = ((d[3] & 0x0Fu) << 8) | d[4];
    const std::uint32_t kd = (d[5] << 4) | (d[6] >> 4);
    const std::uint32_t t = ((d[6] & 0x0Fu) << 8) | d[7];
    return MitSetpoint{uint_to_float(p, -pmax, pmax, 16), uint_to_float(v, -vmax, vmax, 12),
                       uint_to_float(kp, 0.0f, kKpMax, 12), uint_to_float(kd, 0.0f, kKdMax, 12),
                       uint_to_float(t, -tmax, tmax, 12)};
}

std::array<std::uint8_t, 8> pack_feedback(const Feedback& fb, float pmax, float vmax, float tmax) {
    const std::uint32_t p = float_to_uint(fb.position, -pmax, pmax, 16);
    const std::uint32_t v = float_to_uint(fb.velocity, -vmax, vmax, 12);
    const std::uint32_t t = float_to_uint(fb.torque, -tmax, tmax, 12);
    return {static_cast<std::uint8_t>(((fb.status & 0x0Fu) << 4) | (fb.id & 0x0Fu)),
            static_cast<std::uint8_t>(p >> 8),
            static_cast<std::uint8_t>(p & 0xFFu),
            static_cast<std::uint8_t>(v >> 4),
            static_cast<std::uint8_t>(((v & 0x0Fu) << 4) | (t >> 8)),
            static_cast<std::uint8_t>(t & 0xFFu),
            fb.t_mos,
            fb.t_rotor};
}

}  // namespace torso_sim::damiao
