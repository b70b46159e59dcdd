// Target following for one joint: change velocity to a peak velocity, cruise,
// brake to rest. The peak velocity is found for the distance (time-optimal)
// or for a longer duration (stretched), both by a bracketed root search.
#include <algorithm>
#include <cmath>

#include "motion/jerk_profile.hpp"
#include "root_finding.hpp"
#include "velocity_change.hpp"

namespace quorvel::motion {
namespace {

using detail::VelocityChange;

// The motion through peak velocity vp without cruising.
struct Shape {
    VelocityChange change;  // from the start to (vp, 0)
    VelocityChange brake;   // from (vp, 0) to rest
    double time;            // of both
    double distance;        // of both
};

Shape shape(const JointState& start, double vp, const JointLimits& limits) {
    Shape s;
    s.change = detail::velocity_change(start.velocity, start.acceleration, vp, limits.max_acceleration,
                                       limits.max_jerk);
    s.brake = detail::velocity_change(vp, 0.0, 0.0, limits.max_acceleration, limits.max_jerk);
    const double brake_time = s.brake.total_duration();
    s.time = s.change.total_duration() + brake_time;
    // The brake's velocity is symmetric about its middle: it covers vp/2 on average.
    s.distance = s.change.distance(start.velocity, start.acceleration) + vp * brake_time / 2.0;
    return s;
}

// Positions and times are good to about a picometre and a picosecond.
constexpr double distance_tolerance = 1e-12;
constexpr double time_tolerance = 1e-12;

}  // namespace

TargetMotion::TargetMotion(const JointState& start, double target, const JointLimits& limits)
    : start_(start), target_(target), limits_(limits) {
    const double distance = target - start.position;
    if (distance == 0.0 && start.velocity == 0.0 && start.acceleration == 0.0) return;

    // Distance covered without cruising grows with the peak velocity: cruise
    // at the velocity limit when even that falls short, else solve for it.
    const double vmax = limits.max_velocity;
    const Shape fastest = shape(start, vmax, limits);
    if (fastest.distance <= distance) {
        peak_velocity_ = vmax;
        cruise_time_ = (distance - fastest.distance) / vmax;
        min_duration_ = fastest.time + cruise_time_;
        return;
    }
    const Shape slowest = shape(start, -vmax, limits);
    if (slowest.distance >= distance) {
        peak_velocity_ = -vmax;
        cruise_time_ = (slowest.distance - distance) / vmax;
        min_duration_ = slowest.time + cruise_time_;
        return;
    }
    peak_velocity_ = detail::find_root([&](double vp) { return shape(start, vp, limits).distance - distance; },
                                       -vmax, vmax, slowest.distance - distance, fastest.distance - distance,
                                       1e-15 * vmax, distance_tolerance);
    min_duration_ = shape(start, peak_velocity_, limits).time;
}

JerkProfile TargetMotion::profile(double duration) const {
    const JointState final_state{target_, 0.0, 0.0};
    double vp = peak_velocity_;
    double cruise = cruise_time_;
    if (duration > min_duration_) {
        // Stretch: a smaller peak velocity of the same sign, with the cruise
        // making up the distance, lasts longer; the duration grows without
        // bound as the peak velocity nears zero.
        const double distance = target_ - start_.position;
        const double sign = vp > 0.0 ? 1.0 : -1.0;
        auto excess_time = [&](double speed) {  // total duration beyond the wanted one
            const Shape s = shape(start_, sign * speed, limits_);
            return s.time + (distance - s.distance) / (sign * speed) - duration;
        };
        double hi = std::fabs(vp);
        double f_hi = min_duration_ - duration;
        double lo = hi;
        double f_lo = f_hi;
        bool bracketed = false;
        for (int halving = 0; halving < 64 && vp != 0.0; ++halving) {
            lo /= 2.0;
            f_lo = excess_time(lo);
            if (f_lo > 0.0) {
                bracketed = true;
                break;
            }
            hi = lo;
            f_hi = f_lo;
        }
        if (bracketed) {
            // find_root wants an increasing function: the duration falls as the speed grows.
            const double speed = detail::find_root([&](double u) { return -excess_time(u); }, lo, hi, -f_lo, -f_hi,
                                                   1e-15 * limits_.max_velocity, time_tolerance);
            vp = sign * speed;
            cruise = std::max(0.0, duration - shape(start_, vp, limits_).time);
        } else {
            // Stopping lands on the target already: stop there and wait.
            JerkProfile waiting(start_);
            const VelocityChange stop = detail::velocity_change(start_.velocity, start_.acceleration, 0.0,
                                                                limits_.max_acceleration, limits_.max_jerk);
            stop.append_to(waiting, 0.0);
            waiting.append(0.0, duration - waiting.duration());
            waiting.set_final_state(final_state);
            return waiting;
        }
    }
    const Shape s = shape(start_, vp, limits_);
    JerkProfile profile(start_);
    s.change.append_to(profile, vp);
    profile.append(0.0, cruise);
    s.brake.append_to(profile, 0.0);
    profile.set_final_state(final_state);
    return profile;
}

JerkProfile plan_stop(const JointState& start, const JointLimits& limits) {
    JerkProfile profile(start);
    detail::velocity_change(start.velocity, start.acceleration, 0.0, limits.max_acceleration, limits.max_jerk)
        .append_to(profile, 0.0);
    profile.set_final_state({profile.final_state().position, 0.0, 0.0});
    return profile;
}

}  // namespace quorvel::motion
