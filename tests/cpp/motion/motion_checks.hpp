// Random problems and per-tick checks shared by the motion tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "motion/types.hpp"

namespace motion_test {

using quorvel::motion::JointLimits;
using quorvel::motion::JointState;

// Joint names of a group, the torso's ten.
const std::vector<std::string> kNames = {"right_shoulder", "right_elbow", "left_shoulder", "left_elbow", "nose_left",
                                         "nose_right",     "nose_tilt",   "neck_yaw",      "neck_pitch", "neck_roll"};

constexpr double kTick = 0.002;         // the control loop's period
constexpr double kRelative = 1e-6;      // tolerance on every limit
constexpr double kAbsolute = 1e-9;      // rounding of values near zero

inline double log_uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::exp(std::uniform_real_distribution<double>(std::log(lo), std::log(hi))(rng));
}

inline double uniform(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

// Limits spanning slow and fast joints.
inline JointLimits random_limits(std::mt19937_64& rng) {
    return {log_uniform(rng, 0.2, 8.0), log_uniform(rng, 0.5, 60.0), log_uniform(rng, 1.0, 1000.0)};
}

// The velocity reached when the acceleration is ramped to zero at once.
inline double velocity_after_ramp(const JointState& s, double max_jerk) {
    return s.velocity + s.acceleration * std::fabs(s.acceleration) / (2.0 * max_jerk);
}

// A moving state within the limits from which they can all be kept.
inline JointState random_state(std::mt19937_64& rng, const JointLimits& l) {
    for (;;) {
        JointState s{uniform(rng, -2.0, 2.0), uniform(rng, -l.max_velocity, l.max_velocity),
                     uniform(rng, -l.max_acceleration, l.max_acceleration)};
        if (rng() % 5 == 0) s.velocity = s.acceleration = 0.0;  // at rest
        if (std::fabs(velocity_after_ramp(s, l.max_jerk)) <= l.max_velocity) return s;
    }
}

// Runs `check(n, rng, limits, start)` on `cases` random limits, each with a
// random start state within them, until a fatal failure.
template <class Check>
void for_random_starts(std::uint64_t seed, int cases, Check&& check) {
    std::mt19937_64 rng(seed);
    for (int n = 0; n < cases && !::testing::Test::HasFatalFailure(); ++n) {
        const JointLimits limits = random_limits(rng);
        const JointState start = random_state(rng, limits);
        check(n, rng, limits, start);
    }
}

// A target near or far, sometimes the start itself.
inline double random_target(std::mt19937_64& rng, const JointState& s) {
    switch (rng() % 6) {
    case 0: return s.position;
    case 1: return s.position + uniform(rng, -1e-3, 1e-3);
    default: return s.position + uniform(rng, -3.0, 3.0);
    }
}

// Checks consecutive set points of one joint: every limit holds and the
// step from the previous set point is no larger than the limits allow.
class TickChecker {
public:
    explicit TickChecker(const JointLimits& limits, std::string what) : limits_(limits), what_(std::move(what)) {}

    void set_limits(const JointLimits& limits) { limits_ = limits; }

    // Returns false (after one failure message) at the first violation.
    bool check(const JointState& s, double dt) {
        const double vmax = limits_.max_velocity * (1 + kRelative) + kAbsolute;
        const double amax = limits_.max_acceleration * (1 + kRelative) + kAbsolute;
        const double jstep = limits_.max_jerk * dt * (1 + kRelative) + kAbsolute;
        bool ok = std::fabs(s.velocity) <= vmax && std::fabs(s.acceleration) <= amax;
        if (has_previous_ && dt > 0) {
            ok = ok && std::fabs(s.acceleration - previous_.acceleration) <= jstep &&
                 std::fabs(s.velocity - previous_.velocity) <= amax * dt + kAbsolute &&
                 std::fabs(s.position - previous_.position) <= vmax * dt + kAbsolute;
        }
        if (!ok) {
            ADD_FAILURE() << what_ << ": (" << previous_.position << ", " << previous_.velocity << ", "
                          << previous_.acceleration << ") then (" << s.position << ", " << s.velocity << ", "
                          << s.acceleration << ") after " << dt << " s; limits " << limits_.max_velocity << ", "
                          << limits_.max_acceleration << ", " << limits_.max_jerk;
        }
        previous_ = s;
        has_previous_ = true;
        return ok;
    }

private:
    JointLimits limits_;
    std::string what_;
    JointState previous_{};
    bool has_previous_ = false;
};

}  // namespace motion_test
