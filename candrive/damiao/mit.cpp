// MIT frame packing. The arithmetic is 32-bit float throughout, multiply
// before divide, and float-to-integer conversion truncates toward zero: the
// motor firmware scales the same way, so these bits are what it expects.
#include "candrive/damiao/mit.hpp"

#include <cmath>
#include <cstdint>

namespace candrive::damiao {
namespace {

// Clamp that lets NaN through (it then converts to 0).
float clamp(float x, float lo, float hi) { return x < lo ? lo : (x > hi ? hi : x); }

// Truncation toward zero, saturating; NaN gives 0. (A plain cast of NaN or
// an out-of-range value is undefined.)
std::uint32_t truncate(float x) {
    if (!(x > 0.0F)) return 0;
    if (x >= 4294967296.0F) return 0xFFFFFFFFU;
    return static_cast<std::uint32_t>(x);
}

// [-limit, limit] -> [0, full_scale]
std::uint32_t symmetric_to_uint(float x, float limit, float full_scale) {
    return truncate(((limit + clamp(x, -limit, limit)) * full_scale) / (limit + limit));
}

// [0, limit] -> [0, full_scale]
std::uint32_t gain_to_uint(float x, float limit, float full_scale) {
    return truncate((clamp(x, 0.0F, limit) * full_scale) / limit);
}

// [0, full_scale] -> [-limit, limit]
float uint_to_symmetric(std::uint32_t raw, float limit, float full_scale) {
    return ((limit + limit) * static_cast<float>(raw)) / full_scale - limit;
}

}  // namespace

std::array<std::uint8_t, 8> encode(const MitLimits& limits, const MitCommand& command) {
    const std::uint32_t p = symmetric_to_uint(command.position, limits.pmax, 65535.0F) & 0xFFFF;
    const std::uint32_t v = symmetric_to_uint(command.velocity, limits.vmax, 4095.0F) & 0xFFF;
    const std::uint32_t kp = gain_to_uint(command.kp, limits.kp_max, 4095.0F) & 0xFFF;
    const std::uint32_t kd = gain_to_uint(command.kd, limits.kd_max, 4095.0F) & 0xFFF;
    const std::uint32_t t = symmetric_to_uint(command.torque, limits.tmax, 4095.0F) & 0xFFF;
    return {
        static_cast<std::uint8_t>(p >> 8),
        static_cast<std::uint8_t>(p),
        static_cast<std::uint8_t>(v >> 4),
        static_cast<std::uint8_t>(((v & 0xF) << 4) | (kp >> 8)),
        static_cast<std::uint8_t>(kp),
        static_cast<std::uint8_t>(kd >> 4),
        static_cast<std::uint8_t>(((kd & 0xF) << 4) | (t >> 8)),
        static_cast<std::uint8_t>(t),
    };
}

DamiaoResult<MotorState> decode_state(const MitLimits& limits, std::span<const std::uint8_t> data) {
    if (data.size() < 8) return common::Err{Error::short_feedback(data.size())};
    const std::uint32_t p = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t v = (std::uint32_t{data[3]} << 4) | (data[4] >> 4);
    const std::uint32_t t = (std::uint32_t{data[4] & 0xFU} << 8) | data[5];
    return MotorState{
        uint_to_symmetric(p, limits.pmax, 65535.0F),
        uint_to_symmetric(v, limits.vmax, 4095.0F),
        uint_to_symmetric(t, limits.tmax, 4095.0F),
        static_cast<std::uint8_t>(data[0] & 0xF),
        static_cast<std::uint8_t>(data[0] >> 4),
        data[6],
        data[7],
    };
}

}  // namespace candrive::damiao
