#include "servo.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace torso_sim {

namespace {

constexpr std::uint16_t kOffsetMagnitudeMask = 0x07FF;
constexpr std::uint16_t kOffsetSignBit = 0x0800;
constexpr double kOffsetMagnitudeFull = 2047.0;   // magnitude that means pi
constexpr std::uint16_t kLastStep = 4095;         // the position sensor's range is 0 to 4095

double wrap_turn(double steps) {
    double w = std::fmod(steps, kStepsPerTurn);
    if (w < 0) w += kStepsPerTurn;
    if (w >= kStepsPerTurn) w -= kStepsPerTurn;
    return w;
}

// Signed distance from `from` to `to` the short way round, (-2048, 2048].
double short_way(double from, double to) {
    double d = std::fmod(to - from, kStepsPerTurn);
    if (d > kStepsPerTurn / 2) d -= kStepsPerTurn;
    if (d <= -kStepsPerTurn / 2) d += kStepsPerTurn;
    return d;
}

std::uint16_t word_at(const std::array<std::uint8_t, 256>& r, std::uint8_t address) {
    return static_cast<std::uint16_t>(r[address] | (r[static_cast<std::uint8_t>(address + 1)] << 8));
}

}  // namespace

double steps_to_radians(double steps) {
    return (steps - kZeroSteps) * 2.0 * std::numbers::pi / kStepsPerTurn;
}

double radians_to_steps(double radians) {
    return radians * kStepsPerTurn / (2.0 * std::numbers::pi) + kZeroSteps;
}

Servo::Servo(std::uint8_t id, ServoModel model) : id_(id), model_(model) {
    registers_[servo_register::kPGain] = 32;
    registers_[servo_register::kDGain] = 32;
    registers_[servo_register::kIGain] = 0;
    registers_[servo_register::kLock] = 1;
    const std::uint16_t model_number = model == ServoModel::SM40BL ? kSm40blModelNumber : kSts3025blModelNumber;
    registers_[servo_register::kModelNumber] = static_cast<std::uint8_t>(model_number & 0xFF);
    registers_[servo_register::kModelNumber + 1] = static_cast<std::uint8_t>(model_number >> 8);
    registers_[servo_register::kMaxAngleLimit] = static_cast<std::uint8_t>(kLastStep & 0xFF);
    registers_[servo_register::kMaxAngleLimit + 1] = static_cast<std::uint8_t>(kLastStep >> 8);
    registers_[servo_register::kMaxTemperature] = 70;
    registers_[servo_register::kMaxVoltage] = 140;
    registers_[servo_register::kMinVoltage] = 95;
    set_goal(present_steps());
}

std::uint8_t Servo::status_bits(const ServoEnvironment& env) const {
    using namespace servo_register;
    std::uint8_t bits = fault_bits_;
    if (env.voltage < registers_[kMinVoltage] || env.voltage > registers_[kMaxVoltage]) bits |= servo_status_bit::kVoltage;
    if (temperature_ >= registers_[kMaxTemperature]) bits |= servo_status_bit::kOverheat;
    return bits;
}

double Servo::offset_steps() const {
    if (model_ != ServoModel::SM40BL) return 0.0;
    const std::uint16_t raw = word_at(registers_, servo_register::kOffset);
    const double magnitude = raw & kOffsetMagnitudeMask;
    const double steps = magnitude / kOffsetMagnitudeFull * (kStepsPerTurn / 2);
    return (raw & kOffsetSignBit) ? -steps : steps;
}

double Servo::offset_radians() const {
    return offset_steps() * 2.0 * std::numbers::pi / kStepsPerTurn;
}

double Servo::present_exact() const { return wrap_turn(encoder_ - offset_steps()); }

int Servo::present_steps() const {
    return static_cast<int>(wrap_turn(std::floor(present_exact() + 0.5)));
}

std::int16_t Servo::goal_steps() const {
    return static_cast<std::int16_t>(word_at(registers_, servo_register::kGoalPosition));
}

void Servo::set_goal(int steps) {
    const auto raw = static_cast<std::uint16_t>(steps);
    registers_[servo_register::kGoalPosition] = static_cast<std::uint8_t>(raw & 0xFF);
    registers_[servo_register::kGoalPosition + 1] = static_cast<std::uint8_t>(raw >> 8);
}

double Servo::distance_to_goal() const {
    const double present = present_exact();
    const std::uint16_t min_limit = word_at(registers_, servo_register::kMinAngleLimit);
    const std::uint16_t max_limit = word_at(registers_, servo_register::kMaxAngleLimit);
    if (min_limit == 0 && max_limit == 0) return short_way(present, static_cast<double>(goal_steps()));
    // The firmware saturates the goal at the limits (never beyond the
    // sensor's range) and drives straight there: a goal past an end stops at
    // that end rather than wrapping round to the other.
    const int lo = std::min<int>(min_limit, kLastStep);
    const int hi = std::min<int>(max_limit, kLastStep);
    const int target = std::min(std::max<int>(goal_steps(), lo), std::max(lo, hi));
    return static_cast<double>(target) - present;
}

void Servo::advance(const ServoEnvironment& env) {
    const double elapsed = last_update_ < 0 ? 0.0 : env.now - last_update_;
    last_update_ = env.now;
    speed_ = 0.0;
    moving_ = false;
    if (!torque_on()) return;
    const double present = present_exact();
    const double distance = distance_to_goal();
    if (distance == 0.0) return;
    const double reach = env.speed_steps_per_s * std::max(elapsed, 0.0);
    double moved = distance;
    if (env.speed_steps_per_s > 0 && std::fabs(distance) > reach) {
        moved = std::copysign(reach, distance);
        // Still on its way: it travels at full speed until the goal.
        speed_ = std::copysign(env.speed_steps_per_s, distance);
        moving_ = true;
    }
    encoder_ = wrap_turn(present + moved + offset_steps());
}

std::uint8_t Servo::read(std::uint8_t address, const ServoEnvironment& env) const {
    using namespace servo_register;
    const auto present = static_cast<std::uint16_t>(present_steps());
    // Sign-magnitude words: the magnitude below the sign bit.
    auto sign_magnitude = [](double value, int sign_bit) {
        const double limit = (1 << sign_bit) - 1;
        const auto magnitude = static_cast<std::uint16_t>(std::min(std::fabs(value) + 0.5, limit));
        return static_cast<std::uint16_t>(value < 0 ? magnitude | (1 << sign_bit) : magnitude);
    };
    // A travelling servo works at a quarter of its rated torque; holding
    // still or torque-off it works at none.
    const double load = moving_ ? std::copysign(250.0, speed_) : 0.0;                 // 0.1 % units
    const double current = torque_on() ? (moving_ ? 60.0 : 8.0) : 0.0;               // 6.5 mA units
    const std::uint16_t speed_word = sign_magnitude(speed_, 15);
    const std::uint16_t load_word = sign_magnitude(load, 10);
    const std::uint16_t current_word = sign_magnitude(current, 15);
    switch (address) {
        case kPresentPosition: return static_cast<std::uint8_t>(present & 0xFF);
        case kPresentPosition + 1: return static_cast<std::uint8_t>(present >> 8);
        case kPresentSpeed: return static_cast<std::uint8_t>(speed_word & 0xFF);
        case kPresentSpeed + 1: return static_cast<std::uint8_t>(speed_word >> 8);
        case kPresentLoad: return static_cast<std::uint8_t>(load_word & 0xFF);
        case kPresentLoad + 1: return static_cast<std::uint8_t>(load_word >> 8);
        case kPresentVoltage: return env.voltage;
        case kPresentTemperature: return static_cast<std::uint8_t>(std::clamp(temperature_, 0, 255));
        case kStatus: return status_bits(env);
        case kMoving: return moving_ ? 1 : 0;
        case kPresentCurrent: return static_cast<std::uint8_t>(current_word & 0xFF);
        case kPresentCurrent + 1: return static_cast<std::uint8_t>(current_word >> 8);
        default: return registers_[address];
    }
}

void Servo::write(std::uint8_t address, std::span<const std::uint8_t> data, bool honour_lock) {
    using namespace servo_register;
    // The shaft (encoder_) is untouched: a new offset shifts the reading.
    const bool unlocked = !honour_lock || registers_[kLock] == 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::size_t a = address + i;
        if (a > 255) break;
        switch (a) {
            case kPresentPosition:
            case kPresentPosition + 1:
            case kPresentVoltage:
            case kModelNumber:
            case kModelNumber + 1:
            case kPresentSpeed:
            case kPresentSpeed + 1:
            case kPresentLoad:
            case kPresentLoad + 1:
            case kPresentTemperature:
            case kStatus:
            case kMoving:
            case kPresentCurrent:
            case kPresentCurrent + 1:
                break;   // measured or fixed, not settable
            case kOffset:
            case kOffset + 1:
                if (model_ != ServoModel::SM40BL || unlocked) registers_[a] = data[i];
                break;
            default:
                registers_[a] = data[i];
        }
    }
}

void Servo::place(double steps) {
    encoder_ = wrap_turn(steps + offset_steps());
    set_goal(present_steps());
}

void Servo::set_offset_radians(double radians) {
    double magnitude = std::floor(std::fabs(radians) * kOffsetMagnitudeFull / std::numbers::pi + 0.5);
    magnitude = std::min(magnitude, static_cast<double>(kOffsetMagnitudeMask));
    auto raw = static_cast<std::uint16_t>(magnitude);
    if (std::signbit(radians)) raw = static_cast<std::uint16_t>(raw | kOffsetSignBit);
    const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(raw & 0xFF), static_cast<std::uint8_t>(raw >> 8)};
    write(servo_register::kOffset, bytes, false);
}

void Servo::reboot() {
    registers_[servo_register::kTorqueEnable] = 0;
    registers_[servo_register::kLock] = 1;
    set_goal(present_steps());
}

}  // namespace torso_sim
