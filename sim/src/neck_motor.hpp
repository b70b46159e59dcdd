// One simulated Damiao motor: its parameter registers, its enable state and
// its shaft, which follows the commands either at once or through a
// spring-damper with the MIT frame's gains.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace torso_sim {

namespace damiao_register {
inline constexpr std::uint8_t kMstId = 0x07;
inline constexpr std::uint8_t kEscId = 0x08;
inline constexpr std::uint8_t kCtrlMode = 0x0A;
inline constexpr std::uint8_t kPmax = 0x15;
inline constexpr std::uint8_t kVmax = 0x16;
inline constexpr std::uint8_t kTmax = 0x17;
inline constexpr std::uint8_t kMotorPosition = 0x50;
inline constexpr std::uint8_t kShaftPosition = 0x51;
inline constexpr std::uint8_t kLast = 0x51;
}  // namespace damiao_register

// Values of CTRL_MODE, and the identifier offset of each mode's control frame.
enum class ControlMode : std::uint32_t { Mit = 1, PosVel = 2, Vel = 3, ForcePos = 4 };

class NeckMotor {
public:
    NeckMotor(std::uint16_t can_id, float vmax, float tmax, std::uint32_t ctrl_mode, double position);

    std::uint16_t esc_id() const { return can_id_; }
    std::uint16_t mst_id() const { return can_id_; }

    // Brings the shaft up to `now`.
    void advance(double now, bool spring_damper);

    std::array<std::uint8_t, 8> feedback() const;

    void enable();
    void disable();
    void set_zero();
    // A control frame of `mode` (from its identifier). Acted on only while
    // enabled and in that mode; the motor answers with feedback either way.
    void control(ControlMode mode, std::span<const std::uint8_t, 8> data, bool spring_damper);

    // Null for ids that are not in the register table.
    std::optional<std::uint32_t> read_register(std::uint8_t reg) const;
    // False (and nothing changes) for unknown or read-only registers.
    bool write_register(std::uint8_t reg, std::uint32_t raw, bool mode_write_sticks);

    void place(double position);   // test hook: the shaft is put here, at rest
    void set_ctrl_mode(std::uint32_t mode) { registers_[damiao_register::kCtrlMode] = mode; }

    bool enabled() const { return enabled_; }
    std::uint32_t ctrl_mode() const { return registers_[damiao_register::kCtrlMode]; }
    double position() const { return position_; }
    double velocity() const { return velocity_; }
    double commanded_position() const { return commanded_position_; }
    float kp() const { return kp_; }
    float kd() const { return kd_; }

private:
    enum class Drive { Hold, SpringDamper, Velocity };

    float float_register(std::uint8_t reg) const;

    std::uint16_t can_id_;
    std::array<std::uint32_t, damiao_register::kLast + 1> registers_{};
    bool enabled_ = false;
    Drive drive_ = Drive::Hold;
    double position_ = 0.0, velocity_ = 0.0, torque_ = 0.0;
    double commanded_position_ = 0.0, commanded_velocity_ = 0.0, feedforward_ = 0.0;
    float kp_ = 0.0f, kd_ = 0.0f;
    double last_update_ = -1.0;
};

}  // namespace torso_sim
