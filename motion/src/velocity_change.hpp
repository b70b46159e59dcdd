// The building block of every jerk-limited motion here: the fastest change
// from (velocity, acceleration) to another velocity at zero acceleration.
#pragma once

#include <array>
#include <cmath>

#include "motion/jerk_profile.hpp"

namespace quorvel::motion::detail {

// Up to three segments of constant jerk: ramp the acceleration, hold it,
// ramp it back to zero. Durations may be zero.
struct VelocityChange {
    std::array<double, 3> jerk{};
    std::array<double, 3> duration{};

    double total_duration() const { return duration[0] + duration[1] + duration[2]; }
    // Position change over the three segments from velocity v0, acceleration a0.
    double distance(double v0, double a0) const;
    // Appends the segments, ending exactly at `velocity` and zero acceleration.
    void append_to(JerkProfile& profile, double velocity) const;
};

// The velocity reached from (v0, a0) by ramping the acceleration to zero at
// once with jerk of magnitude jmax.
inline double ramped_velocity(double v0, double a0, double jmax) { return v0 + a0 * std::fabs(a0) / (2.0 * jmax); }

// Trajectory paths may touch a limit exactly: rounding must not refuse them.
inline constexpr double limit_slack = 1.0 + 1e-9;

// The time-optimal change from (v0, a0) to (v1, 0) with |a| <= amax and
// |jerk| <= jmax. An |a0| beyond amax is ramped towards amax first.
VelocityChange velocity_change(double v0, double a0, double v1, double amax, double jmax);

}  // namespace quorvel::motion::detail
