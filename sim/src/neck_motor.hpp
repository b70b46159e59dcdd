// One simulated Damiao motor: its parameter registers, its enable state and
// its shaft, which follows the commands either at once or through a
// spring-damper with the MIT frame's gains.
#pragma once

#include "damiao_codec.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace torso_sim {

namespace damiao_register {
inline constexpr std::uint8_t kUnderVoltage = 0x00;     // UV_Value, V
inline constexpr std::uint8_t kOverTemperature = 0x02;  // OT_Value, deg C
inline constexpr std::uint8_t kOverVoltage = 0x1D;      // OV_Value, V
inline constexpr std::uint8_t kSupplyVoltage = 0x3C;    // VBus, V (measured)
inline constexpr std::uint8_t kBoardTemperature = 0x3D; // Tpcb, deg C (measured)
inline constexpr std::uint8_t kMotorTemperature = 0x3E; // Tmtr, deg C (measured)
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

// State codes of the feedback frame's high nibble of byte 0.
namespace damiao_state {
inline constexpr std::uint8_t kDisabled = 0x0;
inline constexpr std::uint8_t kEnabled = 0x1;
inline constexpr std::uint8_t kOverVoltage = 0x8;
inline constexpr std::uint8_t kUnderVoltage = 0x9;
inline constexpr std::uint8_t kOverCurrent = 0xA;
inline constexpr std::uint8_t kMosOverTemperature = 0xB;
inline constexpr std::uint8_t kRotorOverTemperature = 0xC;
inline constexpr std::uint8_t kLostCommunication = 0xD;
inline constexpr std::uint8_t kOverload = 0xE;
}  // namespace damiao_state

inline constexpr int kNeckIdleMosTemperature = 30;     // deg C
inline constexpr int kNeckIdleRotorTemperature = 32;   // deg C
inline constexpr double kNeckSupplyVoltage = 24.0;     // V

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
    // The MIT set point it acted on, if it was one.
    std::optional<damiao::MitSetpoint> control(ControlMode mode, std::span<const std::uint8_t, 8> data, bool spring_damper);

    // Null for ids that are not in the register table.
    std::optional<std::uint32_t> read_register(std::uint8_t reg) const;
    // False (and nothing changes) for unknown or read-only registers.
    bool write_register(std::uint8_t reg, std::uint32_t raw, bool mode_write_sticks);

    void place(double position);   // test hook: the shaft is put here, at rest

    // Health. A motor in a fault state switches its output off, reports the
    // fault's code in every feedback frame and refuses to be enabled until
    // the cause is gone. Causes: temperatures at or above OT_Value (MOS
    // first, then rotor), a supply outside UV_Value..OV_Value, or a code set
    // by hand (0: none).
    void set_temperatures(int mos, int rotor);
    void set_supply_voltage(double volts);
    void set_fault_code(std::uint8_t code);
    // The state code the feedback frame carries now.
    std::uint8_t state_code() const;
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
    // The fault code in force, 0 if none; a fault disables the motor.
    std::uint8_t fault_code() const;
    void apply_fault();

    std::uint16_t can_id_;
    std::array<std::uint32_t, damiao_register::kLast + 1> registers_{};
    bool enabled_ = false;
    Drive drive_ = Drive::Hold;
    double position_ = 0.0, velocity_ = 0.0, torque_ = 0.0;
    double commanded_position_ = 0.0, commanded_velocity_ = 0.0, feedforward_ = 0.0;
    float kp_ = 0.0f, kd_ = 0.0f;
    double last_update_ = -1.0;
    int t_mos_ = kNeckIdleMosTemperature, t_rotor_ = kNeckIdleRotorTemperature;
    double supply_ = kNeckSupplyVoltage;
    std::uint8_t injected_fault_ = 0;
};

}  // namespace torso_sim
