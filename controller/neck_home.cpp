// neck_home: ramps the neck to the nearest physical zero of each joint.
//
// After a power cycle the motors' multi-turn counters restart, so "zero" is
// any multiple of 2 pi; the nearest one keeps the travel within pi.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/format.hpp"
#include "detail/controller_state.hpp"
#include "controller/motor_tables.hpp"
#include "controller/quorvel_motor_controller.hpp"

namespace quorvel {

namespace {

using common::Err;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
constexpr auto kCycle = std::chrono::milliseconds(10);
constexpr double kCycleSeconds = 0.01;
// Cycles granted on top of the ramp for the joints to settle.
constexpr std::uint64_t kSettleCycles = 2000;
// The nearest multiple of 2 pi is at most half a turn away.
constexpr double kLongestTravel = kTwoPi / 2;
// A homing whose ramp alone would outlast this is a mistaken speed, not a plan.
constexpr double kLongestRampSeconds = 3600.0;

// The fastest the ramp may move: every joint follows it, so the slowest
// motor's velocity range bounds it.
double fastest_homing_speed() {
    double fastest = std::numeric_limits<double>::infinity();
    for (const NeckJoint& joint : kNeckJoints) fastest = std::min(fastest, static_cast<double>(joint.limits.vmax));
    return fastest;
}

// A finite, positive speed the ramp can follow and that brings the neck home
// within the hour; other speeds are invalid arguments.
ControllerResult<void> check_homing_speed(double speed) {
    const double fastest = fastest_homing_speed();
    // Numbers in the short form: a mistaken speed may well be 1e308.
    if (speed > fastest)
        return Err{ControllerError::invalid_argument(
            "neck_home: speed must be at most " + common::float_debug(fastest) +
            " rad/s (the neck motors' velocity range), got " + common::float_debug(speed))};
    const double slowest = kLongestTravel / kLongestRampSeconds;
    if (speed < slowest)
        return Err{ControllerError::invalid_argument(
            "neck_home: speed must be at least " + common::float_debug(slowest) +
            " rad/s (half a turn within an hour), got " + common::float_debug(speed))};
    return {};
}

// Ramp cycles plus settling cycles, saturating instead of overflowing when
// the speed is tiny (the ramp then simply runs until the budget ends).
std::uint64_t iteration_budget(double largest_distance, double step) {
    const double ramp = largest_distance / step;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    // 2^64 as a double; anything from there up (or NaN from 0/0) saturates.
    constexpr double kLimit = 18446744073709551616.0;
    if (!(ramp < kLimit)) return std::isnan(ramp) ? kSettleCycles : kMax;
    const auto ramp_cycles = static_cast<std::uint64_t>(ramp);
    return ramp_cycles > kMax - kSettleCycles ? kMax : ramp_cycles + kSettleCycles;
}

}  // namespace

ControllerResult<std::array<double, 3>> QuorvelMotorController::neck_home(double speed, double tolerance,
                                                                          std::optional<float> kp,
                                                                          std::optional<float> kd,
                                                                          common::StopSource* stop) {
    if (!(speed > 0.0))
        return Err{ControllerError("neck_home: speed must be positive, got " + common::float_display(speed))};
    if (!(tolerance > 0.0))
        return Err{ControllerError("neck_home: tolerance must be positive, got " + common::float_display(tolerance))};
    // An infinite speed would jump straight to the goals; an infinite
    // tolerance would settle anywhere; a NaN or infinite gain has no MIT encoding.
    QMC_TRY(detail::require_finite("neck_home", "speed", speed));
    QMC_TRY(detail::require_finite("neck_home", "tolerance", tolerance));
    QMC_TRY(check_homing_speed(speed));
    if (kp) QMC_TRY(detail::require_finite("neck_home", "kp", *kp));
    if (kd) QMC_TRY(detail::require_finite("neck_home", "kd", *kd));

    // Overrides stay in place after homing, whatever its outcome.
    for (auto& command : state_->neck_commands) {
        if (kp) command.kp = *kp;
        if (kd) command.kd = *kd;
    }

    auto start = read_neck_positions();
    if (!start) return Err{std::move(start).error()};

    std::array<double, 3> goals{};
    double largest_distance = 0.0;
    for (std::size_t i = 0; i < goals.size(); ++i) {
        goals[i] = std::round((*start)[i] / kTwoPi) * kTwoPi;  // halves away from zero
        largest_distance = std::max(largest_distance, std::abs((*start)[i] - goals[i]));
    }

    // The enable runs whole once begun, so that a stop leaves the neck enabled.
    if (common::stop_requested(stop)) return Err{ControllerError::interrupted("neck_home")};
    if (!state_->neck_torque_enabled) QMC_TRY(enable_neck(true));

    const double step = speed * kCycleSeconds;
    const std::uint64_t budget = iteration_budget(largest_distance, step);

    std::array<double, 3> commands = *start;
    std::array<double, 3> observed = *start;
    std::array<bool, 3> settled{false, false, false};
    for (std::uint64_t iteration = 0; iteration < budget; ++iteration) {
        // Stopped, the neck holds the last command it was sent.
        if (common::stop_requested(stop)) return Err{ControllerError::interrupted("neck_home")};
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (settled[i]) continue;
            const double d = commands[i] - goals[i];
            if (d > step)
                commands[i] -= step;
            else if (d < -step)
                commands[i] += step;
            else
                commands[i] = goals[i];
        }

        auto reply = command_neck_mit(commands, "neck_home");
        if (!reply) return Err{std::move(reply).error()};
        observed = *reply;

        bool all_settled = true;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (!settled[i])
                settled[i] = std::abs(commands[i] - goals[i]) < kEpsilon && std::abs(observed[i] - goals[i]) < tolerance;
            all_settled = all_settled && settled[i];
        }
        if (all_settled) return observed;

        if (!common::sleep_unless_stopped(stop, kCycle)) return Err{ControllerError::interrupted("neck_home")};
    }

    return Err{ControllerError(
        "neck_home: timed out before settling. observed=" + common::debug_list(observed, common::float_debug) +
        ", goals=" + common::debug_list(goals, common::float_debug) +
        ", settled=" + common::debug_list(settled, common::bool_text))};
}

}  // namespace quorvel
