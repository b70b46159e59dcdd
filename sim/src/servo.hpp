// One simulated Feetech servo: its register table and its shaft.
//
// Positions are in steps, 4096 per turn, 2048 = 0 rad. The shaft angle
// (`encoder`) is single-turn, [0, 4096). The servo reports
// present = encoder - offset, wrapped into one turn, and, while torque is on,
// moves the shaft until present equals the goal register (the short way
// round).
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace torso_sim {

enum class ServoModel { SM40BL, STS3025BL };

namespace servo_register {
inline constexpr std::uint8_t kPGain = 21;
inline constexpr std::uint8_t kDGain = 22;
inline constexpr std::uint8_t kIGain = 23;
inline constexpr std::uint8_t kOffset = 31;           // 2 bytes, SM40BL only
inline constexpr std::uint8_t kTorqueEnable = 40;
inline constexpr std::uint8_t kGoalPosition = 42;     // 2 bytes
inline constexpr std::uint8_t kLock = 55;
inline constexpr std::uint8_t kPresentPosition = 56;  // 2 bytes, computed
inline constexpr std::uint8_t kPresentVoltage = 62;   // computed
}  // namespace servo_register

inline constexpr double kStepsPerTurn = 4096.0;
inline constexpr double kZeroSteps = 2048.0;

double steps_to_radians(double steps);
double radians_to_steps(double radians);

// What the whole bus shares at the moment of an access.
struct ServoEnvironment {
    double now;                  // monotonic seconds
    std::uint8_t voltage;        // tenths of a volt
    double speed_steps_per_s;    // 0 = moves complete at once
};

class Servo {
public:
    Servo(std::uint8_t id, ServoModel model);

    std::uint8_t id() const { return id_; }
    ServoModel model() const { return model_; }

    // Brings the shaft up to date with the time elapsed since the last access.
    void advance(const ServoEnvironment& env);

    std::uint8_t read(std::uint8_t address, const ServoEnvironment& env) const;
    // A write of consecutive registers, applied in one piece. With
    // `honour_lock` the offset is only written while the EEPROM is unlocked.
    void write(std::uint8_t address, std::span<const std::uint8_t> data, bool honour_lock);

    // Present position as the servo reports it, in steps [0, 4096).
    int present_steps() const;
    std::int16_t goal_steps() const;
    bool torque_on() const { return registers_[servo_register::kTorqueEnable] != 0; }
    double offset_radians() const;

    // Puts the shaft where present reads `steps`; the goal follows.
    void place(double steps);
    // Rewrites the offset register, the shaft staying still.
    void set_offset_radians(double radians);
    // Restart: torque off, EEPROM locked, goal = present.
    void reboot();

private:
    double offset_steps() const;
    double present_exact() const;
    void set_goal(int steps);

    std::uint8_t id_;
    ServoModel model_;
    std::array<std::uint8_t, 256> registers_{};
    double encoder_ = kZeroSteps;
    double last_update_ = -1.0;
};

}  // namespace torso_sim
