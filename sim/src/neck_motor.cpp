#include "neck_motor.hpp"

#include "damiao_codec.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

namespace torso_sim {

namespace {

namespace reg = damiao_register;

enum class Access : std::uint8_t { None, ReadOnly, Writable };
enum class Kind : std::uint8_t { Float, Uint32 };

struct RegisterRow {
    std::uint8_t id;
    Access access;
    Kind kind;
    double initial;   // 0 where the motor itself fills it in
};

// The motor's parameter table with plausible factory values.
constexpr RegisterRow kRegisterTable[] = {
    {0x00, Access::Writable, Kind::Float, 10.0},   {0x01, Access::Writable, Kind::Float, 0.5},
    {0x02, Access::Writable, Kind::Float, 80.0},   {0x03, Access::Writable, Kind::Float, 0.98},
    {0x04, Access::Writable, Kind::Float, 10.0},   {0x05, Access::Writable, Kind::Float, -10.0},
    {0x06, Access::Writable, Kind::Float, 30.0},   {0x07, Access::Writable, Kind::Uint32, 0},
    {0x08, Access::Writable, Kind::Uint32, 0},     {0x09, Access::Writable, Kind::Uint32, 0},
    {0x0A, Access::Writable, Kind::Uint32, 1},     {0x0B, Access::ReadOnly, Kind::Float, 0.0},
    {0x0C, Access::ReadOnly, Kind::Float, 0.0},    {0x0D, Access::ReadOnly, Kind::Uint32, 0},
    {0x0E, Access::ReadOnly, Kind::Uint32, 4100},  {0x0F, Access::ReadOnly, Kind::Uint32, 0},
    {0x10, Access::ReadOnly, Kind::Uint32, 14},    {0x11, Access::ReadOnly, Kind::Float, 0.3},
    {0x12, Access::ReadOnly, Kind::Float, 0.0002}, {0x13, Access::ReadOnly, Kind::Float, 0.005},
    {0x14, Access::ReadOnly, Kind::Float, 10.0},   {0x15, Access::Writable, Kind::Float, 12.5},
    {0x16, Access::Writable, Kind::Float, 0.0},    {0x17, Access::Writable, Kind::Float, 0.0},
    {0x18, Access::Writable, Kind::Float, 1000.0}, {0x19, Access::Writable, Kind::Float, 0.01},
    {0x1A, Access::Writable, Kind::Float, 0.002},  {0x1B, Access::Writable, Kind::Float, 30.0},
    {0x1C, Access::Writable, Kind::Float, 0.02},   {0x1D, Access::Writable, Kind::Float, 60.0},
    {0x1E, Access::Writable, Kind::Float, 1.0},    {0x1F, Access::Writable, Kind::Float, 1.5},
    {0x20, Access::Writable, Kind::Float, 200.0},  {0x21, Access::Writable, Kind::Float, 1.0},
    {0x22, Access::Writable, Kind::Float, 1.0},    {0x23, Access::Writable, Kind::Uint32, 4},
    {0x24, Access::ReadOnly, Kind::Uint32, 0},     {0x32, Access::ReadOnly, Kind::Float, 0.0},
    {0x33, Access::ReadOnly, Kind::Float, 0.0},    {0x34, Access::ReadOnly, Kind::Float, 0.0},
    {0x35, Access::ReadOnly, Kind::Float, 0.0},    {0x36, Access::ReadOnly, Kind::Float, 0.0},
    {0x37, Access::ReadOnly, Kind::Float, 1.0},    {0x38, Access::ReadOnly, Kind::Float, 0.0},
    {0x3B, Access::ReadOnly, Kind::Float, 20.0},   {0x3C, Access::ReadOnly, Kind::Float, 24.0},
    {0x3D, Access::ReadOnly, Kind::Float, 30.0},   {0x3E, Access::ReadOnly, Kind::Float, 32.0},
    {0x3F, Access::ReadOnly, Kind::Float, 0.0},    {0x40, Access::ReadOnly, Kind::Float, 0.0},
    {0x41, Access::ReadOnly, Kind::Float, 0.0},    {0x50, Access::ReadOnly, Kind::Float, 0.0},
    {0x51, Access::ReadOnly, Kind::Float, 0.0},
};

const RegisterRow* find_row(std::uint8_t id) {
    for (const RegisterRow& row : kRegisterTable)
        if (row.id == id) return &row;
    return nullptr;
}

std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

// A rough neck joint: rotor and load inertia, a little viscous friction.
constexpr double kInertia = 0.01;            // kg m^2
constexpr double kFriction = 0.002;          // N m s / rad
constexpr double kIntegrationStep = 0.0002;  // s
constexpr double kLongestCatchUp = 2.0;      // s; after a longer pause the motor has settled anyway
std::uint8_t temperature_byte(int celsius) { return static_cast<std::uint8_t>(std::clamp(celsius, 0, 255)); }

}  // namespace

NeckMotor::NeckMotor(std::uint16_t can_id, float vmax, float tmax, std::uint32_t ctrl_mode, double position)
    : can_id_(can_id), position_(position), commanded_position_(position) {
    for (const RegisterRow& row : kRegisterTable)
        registers_[row.id] = row.kind == Kind::Float ? bits_of(static_cast<float>(row.initial))
                                                     : static_cast<std::uint32_t>(row.initial);
    registers_[reg::kMstId] = can_id;
    registers_[reg::kEscId] = can_id;
    registers_[reg::kCtrlMode] = ctrl_mode;
    registers_[reg::kVmax] = bits_of(vmax);
    registers_[reg::kTmax] = bits_of(tmax);
}

float NeckMotor::float_register(std::uint8_t id) const { return std::bit_cast<float>(registers_[id]); }

void NeckMotor::advance(double now, bool spring_damper) {
    double elapsed = last_update_ < 0 ? 0.0 : std::max(now - last_update_, 0.0);
    last_update_ = now;
    if (!enabled_) return;
    if (drive_ == Drive::Velocity) {
        position_ += commanded_velocity_ * elapsed;
        return;
    }
    if (drive_ != Drive::SpringDamper || !spring_damper) return;
    elapsed = std::min(elapsed, kLongestCatchUp);
    const double tmax = float_register(reg::kTmax);
    const auto steps = static_cast<long>(std::ceil(elapsed / kIntegrationStep));
    const double h = steps > 0 ? elapsed / static_cast<double>(steps) : 0.0;
    for (long i = 0; i < steps; ++i) {
        double tau = kp_ * (commanded_position_ - position_) + kd_ * (commanded_velocity_ - velocity_) + feedforward_;
        tau = std::clamp(tau, -tmax, tmax);
        torque_ = tau;
        velocity_ += (tau - kFriction * velocity_) / kInertia * h;   // semi-implicit Euler
        position_ += velocity_ * h;
    }
}

std::array<std::uint8_t, 8> NeckMotor::feedback() const {
    const damiao::Feedback fb{static_cast<std::uint8_t>(esc_id() & 0x0F),
                              state_code(),
                              static_cast<float>(position_),
                              static_cast<float>(velocity_),
                              static_cast<float>(torque_),
                              temperature_byte(t_mos_),
                              temperature_byte(t_rotor_)};
    return damiao::pack_feedback(fb, float_register(reg::kPmax), float_register(reg::kVmax),
                                 float_register(reg::kTmax));
}

std::uint8_t NeckMotor::fault_code() const {
    if (injected_fault_ != 0) return injected_fault_;
    const double over_temperature = float_register(reg::kOverTemperature);
    if (t_mos_ >= over_temperature) return damiao_state::kMosOverTemperature;
    if (t_rotor_ >= over_temperature) return damiao_state::kRotorOverTemperature;
    if (supply_ < float_register(reg::kUnderVoltage)) return damiao_state::kUnderVoltage;
    if (supply_ > float_register(reg::kOverVoltage)) return damiao_state::kOverVoltage;
    return 0;
}

std::uint8_t NeckMotor::state_code() const {
    if (const std::uint8_t fault = fault_code(); fault != 0) return fault;
    return enabled_ ? damiao_state::kEnabled : damiao_state::kDisabled;
}

void NeckMotor::apply_fault() {
    if (fault_code() != 0 && enabled_) disable();
}

void NeckMotor::set_temperatures(int mos, int rotor) {
    t_mos_ = mos;
    t_rotor_ = rotor;
    apply_fault();
}

void NeckMotor::set_supply_voltage(double volts) {
    supply_ = volts;
    apply_fault();
}

void NeckMotor::set_fault_code(std::uint8_t code) {
    injected_fault_ = static_cast<std::uint8_t>(code & 0x0F);
    apply_fault();
}

void NeckMotor::enable() {
    if (enabled_ || fault_code() != 0) return;
    enabled_ = true;
    // Freshly enabled, the motor holds where it is with no gains until commanded.
    drive_ = Drive::Hold;
    commanded_position_ = position_;
    commanded_velocity_ = feedforward_ = 0.0;
    kp_ = kd_ = 0.0f;
}

void NeckMotor::disable() {
    enabled_ = false;
    drive_ = Drive::Hold;
    velocity_ = torque_ = 0.0;
}

void NeckMotor::set_zero() {
    position_ = commanded_position_ = 0.0;
}

std::optional<damiao::MitSetpoint> NeckMotor::control(ControlMode mode, std::span<const std::uint8_t, 8> data,
                                                      bool spring_damper) {
    if (!enabled_ || ctrl_mode() != static_cast<std::uint32_t>(mode)) return std::nullopt;
    const float pmax = float_register(reg::kPmax);
    auto f32_at = [&](std::size_t offset) {
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) bits |= static_cast<std::uint32_t>(data[offset + i]) << (8 * i);
        return static_cast<double>(std::bit_cast<float>(bits));
    };
    auto hold_at = [&](double p) {
        if (std::isnan(p)) return;
        commanded_position_ = position_ = std::clamp(p, -static_cast<double>(pmax), static_cast<double>(pmax));
        velocity_ = torque_ = 0.0;
        drive_ = Drive::Hold;
    };
    switch (mode) {
        case ControlMode::Mit: {
            const damiao::MitSetpoint sp =
                damiao::unpack_mit(data, pmax, float_register(reg::kVmax), float_register(reg::kTmax));
            kp_ = sp.kp;
            kd_ = sp.kd;
            commanded_velocity_ = sp.velocity;
            feedforward_ = sp.torque;
            if (spring_damper) {
                commanded_position_ = sp.position;
                drive_ = Drive::SpringDamper;
            } else {
                hold_at(sp.position);
            }
            return sp;
        }
        case ControlMode::PosVel:
        case ControlMode::ForcePos:
            hold_at(f32_at(0));
            break;
        case ControlMode::Vel: {
            const double v = f32_at(0);
            commanded_velocity_ = std::isnan(v) ? 0.0 : v;
            velocity_ = commanded_velocity_;
            drive_ = Drive::Velocity;
            break;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> NeckMotor::read_register(std::uint8_t id) const {
    const RegisterRow* row = find_row(id);
    if (!row) return std::nullopt;
    if (id == reg::kMotorPosition || id == reg::kShaftPosition) return bits_of(static_cast<float>(position_));
    if (id == reg::kSupplyVoltage) return bits_of(static_cast<float>(supply_));
    if (id == reg::kBoardTemperature) return bits_of(static_cast<float>(t_mos_));
    if (id == reg::kMotorTemperature) return bits_of(static_cast<float>(t_rotor_));
    return registers_[id];
}

bool NeckMotor::write_register(std::uint8_t id, std::uint32_t raw, bool mode_write_sticks) {
    const RegisterRow* row = find_row(id);
    if (!row || row->access != Access::Writable) return false;
    if (id == reg::kCtrlMode && !mode_write_sticks) return true;   // acknowledged, not applied
    registers_[id] = raw;
    return true;
}

void NeckMotor::place(double position) {
    position_ = commanded_position_ = position;
    velocity_ = torque_ = 0.0;
    if (drive_ == Drive::Velocity) drive_ = Drive::Hold;
}

}  // namespace torso_sim
