// Target following for one joint: change velocity to a peak velocity, cruise,
// brake to rest; or, for a joint braking short of its target, ease the
// braking and stop. The peak velocity (or the easing time) is found for the
// distance (time-optimal) or for a longer duration (stretched), each by a
// bracketed root search.
#include "motion/jerk_profile.hpp"

#include <algorithm>
#include <cmath>

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

// Easing: the jerk drives the acceleration towards zero for ease_time, then
// the fastest stop.
struct Easing {
    VelocityChange stop;
    double time;
    double distance;
};

double easing_jerk(const JointState& start, const JointLimits& limits) {
    return start.acceleration > 0.0 ? -limits.max_jerk : limits.max_jerk;
}

Easing easing(const JointState& start, const JointLimits& limits, double ease_time) {
    const JointState eased = integrate({0.0, start.velocity, start.acceleration}, easing_jerk(start, limits), ease_time);
    Easing e;
    e.stop = detail::velocity_change(eased.velocity, eased.acceleration, 0.0, limits.max_acceleration, limits.max_jerk);
    e.distance = eased.position + e.stop.distance(eased.velocity, eased.acceleration);
    e.time = ease_time + e.stop.total_duration();
    return e;
}

// Positions and times are good to about a picometre and a picosecond.
constexpr double distance_tolerance = 1e-12;
constexpr double time_tolerance = 1e-12;

}  // namespace

TargetMotion::TargetMotion(const JointState& start, double target, const JointLimits& limits)
    : start_(start), target_(target), limits_(limits) {
    const double distance = target - start.position;
    if (distance == 0.0 && start.velocity == 0.0 && start.acceleration == 0.0) return;

    // The distance covered without cruising grows with the peak velocity,
    // except for peaks between zero and the velocity reached by ramping the
    // acceleration to zero at once ("ramped"): reaching those takes a second
    // dip of the acceleration, and easing the braking, then stopping as fast
    // as possible, is quicker. So the distance picks the zone: beyond the
    // ramped velocity's distance, a peak beyond it; short of the fastest
    // stop's distance, a peak of the other sign (overshoot and come back);
    // in between, easing. A start beyond the limits searches every peak.
    const double vmax = limits.max_velocity;
    double lo = -vmax, hi = vmax;
    const double ramped = detail::ramped_velocity(start.velocity, start.acceleration, limits.max_jerk);
    if (std::fabs(start.velocity) <= vmax && std::fabs(start.acceleration) <= limits.max_acceleration &&
        std::fabs(ramped) <= vmax) {
        const double side = ramped < 0.0 ? -1.0 : 1.0;
        const double stopping = shape(start, 0.0, limits).distance;
        const double at_ramped = shape(start, ramped, limits).distance;
        if (side * distance < side * stopping) {
            (side > 0.0 ? hi : lo) = 0.0;
        } else if (side * distance < side * at_ramped && side * start.acceleration < 0.0) {
            // Easing longer goes further.
            const double jerk_side = easing_jerk(start, limits) > 0.0 ? 1.0 : -1.0;
            const auto excess = [&](double t) { return jerk_side * (easing(start, limits, t).distance - distance); };
            easing_ = true;
            ease_time_ = detail::find_root(excess, 0.0, std::fabs(start.acceleration) / limits.max_jerk,
                                           jerk_side * (stopping - distance), jerk_side * (at_ramped - distance), 1e-15,
                                           distance_tolerance);
            min_duration_ = easing(start, limits, ease_time_).time;
            // The slowest peak velocity between zero and the ramped one that
            // still covers the distance: stretching starts from there.
            const auto short_by = [&](double v) { return side * (shape(start, v, limits).distance - distance); };
            const double zero_side = side > 0.0 ? 0.0 : ramped, ramped_side = side > 0.0 ? ramped : 0.0;
            peak_velocity_ = detail::find_root(short_by, zero_side, ramped_side, short_by(zero_side),
                                               short_by(ramped_side), 1e-15 * vmax, distance_tolerance);
            stretch_from_ = shape(start, peak_velocity_, limits).time;
            return;
        } else {
            (side > 0.0 ? lo : hi) = ramped;
        }
    }
    if (hi == vmax) {
        const Shape fastest = shape(start, vmax, limits);
        if (fastest.distance <= distance) {
            peak_velocity_ = vmax;
            cruise_time_ = (distance - fastest.distance) / vmax;
            min_duration_ = fastest.time + cruise_time_;
            return;
        }
    }
    if (lo == -vmax) {
        const Shape slowest = shape(start, -vmax, limits);
        if (slowest.distance >= distance) {
            peak_velocity_ = -vmax;
            cruise_time_ = (slowest.distance - distance) / vmax;
            min_duration_ = slowest.time + cruise_time_;
            return;
        }
    }
    const auto excess = [&](double vp) { return shape(start, vp, limits).distance - distance; };
    peak_velocity_ = detail::find_root(excess, lo, hi, excess(lo), excess(hi), 1e-15 * vmax, distance_tolerance);
    min_duration_ = shape(start, peak_velocity_, limits).time;
}

JerkProfile TargetMotion::profile(double duration) const {
    const JointState final_state{target_, 0.0, 0.0};
    double vp = peak_velocity_;
    double cruise = cruise_time_;
    const double distance = target_ - start_.position;
    if (easing_) {
        JerkProfile eased(start_);
        eased.append(easing_jerk(start_, limits_), ease_time_);
        easing(start_, limits_, ease_time_).stop.append_to(eased, 0.0);
        if (duration <= min_duration_) {
            eased.set_final_state(final_state);
            return eased;
        }
        // Longer: a peak velocity between zero and the ramped one, reached
        // with a second dip of the acceleration, then cruising, stretches
        // without bound from stretch_from_ on. Durations short of that are
        // reached by easing and waiting at the target.
        if (duration < stretch_from_) {
            eased.append(0.0, duration - eased.duration());
            eased.set_final_state(final_state);
            return eased;
        }
    }
    if (duration > min_duration_) {
        // Stretch: a smaller peak velocity of the same sign, with the cruise
        // making up the distance, lasts longer; the duration grows without
        // bound as the peak velocity nears zero.
        const double sign = vp > 0.0 ? 1.0 : -1.0;
        auto excess_time = [&](double speed) {  // total duration beyond the wanted one
            const Shape s = shape(start_, sign * speed, limits_);
            return s.time + (distance - s.distance) / (sign * speed) - duration;
        };
        double hi = std::fabs(vp);
        double f_hi = vp != 0.0 ? excess_time(hi) : 0.0;
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
