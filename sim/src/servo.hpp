// One simulated Feetech servo: its register table and its shaft.
//
// Positions are in steps, 4096 per turn, 2048 = 0 rad. The shaft angle
// (`encoder`) is single-turn, [0, 4096). The servo reports
// present = encoder - offset, wrapped into one turn, and, while torque is on,
// moves the shaft until present equals the goal register saturated at the
// angle limits (registers 9 and 11, 0 and 4095 by default): the shaft never
// crosses the end of the range. With both limits 0 (the real servo's
// multi-turn mode, which this single-turn model does not have) it goes the
// short way round to the goal wrapped into one turn.
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
// Health registers.
inline constexpr std::uint8_t kModelNumber = 3;       // 2 bytes, EEPROM, fixed per model
inline constexpr std::uint8_t kMinAngleLimit = 9;     // 2 bytes, EEPROM, steps
inline constexpr std::uint8_t kMaxAngleLimit = 11;    // 2 bytes, EEPROM, steps
inline constexpr std::uint8_t kMaxTemperature = 13;   // deg C; at or above it the overheat bit is set
inline constexpr std::uint8_t kMaxVoltage = 14;       // tenths of a volt; the voltage bit above it
inline constexpr std::uint8_t kMinVoltage = 15;       // tenths of a volt; the voltage bit below it
inline constexpr std::uint8_t kPresentSpeed = 58;     // 2 bytes, computed: steps/s, sign bit 15
inline constexpr std::uint8_t kPresentLoad = 60;      // 2 bytes, computed: 0.1 %, sign bit 10
inline constexpr std::uint8_t kPresentTemperature = 63;  // computed, deg C
inline constexpr std::uint8_t kStatus = 65;           // computed fault bits
inline constexpr std::uint8_t kMoving = 66;           // computed
inline constexpr std::uint8_t kPresentCurrent = 69;   // 2 bytes, computed: 6.5 mA, sign bit 15
}  // namespace servo_register

// Bits of the status register (and of the error byte of every reply).
namespace servo_status_bit {
inline constexpr std::uint8_t kVoltage = 1 << 0;
inline constexpr std::uint8_t kAngle = 1 << 1;
inline constexpr std::uint8_t kOverheat = 1 << 2;
inline constexpr std::uint8_t kOvercurrent = 1 << 3;
inline constexpr std::uint8_t kOverload = 1 << 5;
}  // namespace servo_status_bit

// Model numbers this simulator reports at address 3 (its own choice: the
// module shows them and judges nothing by them).
inline constexpr std::uint16_t kSm40blModelNumber = 0x0A14;
inline constexpr std::uint16_t kSts3025blModelNumber = 0x0909;

inline constexpr int kServoIdleTemperature = 32;   // deg C
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

    // Health: the temperature the servo measures (deg C) and fault bits it
    // reports on top of those it derives itself (voltage, overheat).
    void set_temperature(int celsius) { temperature_ = celsius; }
    void set_fault_bits(std::uint8_t bits) { fault_bits_ = bits; }
    std::uint8_t status_bits(const ServoEnvironment& env) const;

private:
    double offset_steps() const;
    double present_exact() const;
    // Signed steps from present to where the shaft is driven.
    double distance_to_goal() const;
    void set_goal(int steps);

    std::uint8_t id_;
    ServoModel model_;
    std::array<std::uint8_t, 256> registers_{};
    double encoder_ = kZeroSteps;
    double last_update_ = -1.0;
    // Motion as of the last advance: signed steps/s, still travelling.
    double speed_ = 0.0;
    bool moving_ = false;
    int temperature_ = kServoIdleTemperature;
    std::uint8_t fault_bits_ = 0;
};

}  // namespace torso_sim
