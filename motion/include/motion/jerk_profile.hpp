// One joint's jerk-limited motion: segments of constant jerk (so position is
// a cubic in time on each), planned once and sampled at any instant without
// allocating.
#pragma once

#include <array>

#include "motion/types.hpp"

namespace quorvel::motion {

// A motion from a start state made of up to eight segments of constant jerk.
// Time 0 is the start; after duration() the profile stays at its final state.
class JerkProfile {
public:
    static constexpr int max_segments = 8;

    // No motion: stays at `at` (duration 0).
    explicit JerkProfile(const JointState& at = {0.0, 0.0, 0.0});

    // Appends a segment of `jerk` lasting `duration` (ignored when not
    // positive). At most max_segments segments.
    void append(double jerk, double duration);

    // Appends the segments of `next`, which starts where this one ends.
    void append(const JerkProfile& next);

    // Replaces the final state (e.g. by the exact target, free of the rounding
    // that integrating the segments leaves).
    void set_final_state(const JointState& state) { state_[count_] = state; }

    // Sets the final velocity and zero acceleration exactly, as a change of
    // velocity aims at: a rounding residue of acceleration would otherwise
    // grow over a long cruise.
    void settle(double velocity) { state_[count_] = {state_[count_].position, velocity, 0.0}; }

    // Total duration in seconds.
    double duration() const { return start_time_[count_]; }

    // State at time t (s from the start); before 0 the start state, after
    // duration() the final state.
    JointState sample(double t) const;

    // The state at time 0, and the one from duration() on.
    const JointState& start_state() const { return state_[0]; }
    const JointState& final_state() const { return state_[count_]; }

    // Segments, for inspection: jerk and duration of segment i < segments().
    int segments() const { return count_; }
    double jerk(int i) const { return jerk_[i]; }
    double segment_duration(int i) const { return start_time_[i + 1] - start_time_[i]; }

private:
    int count_ = 0;
    std::array<double, max_segments + 1> start_time_{};  // [count_] is the end
    std::array<double, max_segments> jerk_{};
    std::array<JointState, max_segments + 1> state_{};  // at each segment's start; [count_] is the end
};

// The state after moving for t seconds from `from` with constant `jerk`.
JointState integrate(const JointState& from, double jerk, double t);

// Target following for one joint: from a start state (anywhere, moving or
// not) to a target position at rest. Constructing it solves the time-optimal
// motion; profile() then builds it, stretched to a longer duration when
// asked (to arrive together with slower joints).
//
// The motion changes velocity to a peak (or cruise) velocity with bounded
// jerk and acceleration, cruises, then brakes to rest: rest to rest this is
// the classic seven-segment time-optimal profile. A joint already braking
// towards a target it would stop short of eases the braking, then stops as
// fast as it can. A start from which stopping without overshoot is
// impossible overshoots and comes back. Stretched, the peak velocity is
// lowered and the cruise lengthened; for a braking joint that only works
// from some duration on (see exact_duration()), shorter stretches arrive
// early and wait at the target.
//
// A start state beyond the limits (limits lowered at run time) is brought
// within them first as fast as the new jerk allows: an acceleration beyond
// max_acceleration is ramped down at max_jerk, a velocity beyond max_velocity
// is braked at max_acceleration; position, velocity and acceleration stay
// continuous. Likewise an acceleration that cannot be ramped down before the
// velocity passes its limit is ramped down at once.
class TargetMotion {
public:
    // `limits` must be valid (check_limits); start and target finite.
    TargetMotion(const JointState& start, double target, const JointLimits& limits);

    // The shortest duration of the motion, in seconds.
    double min_duration() const { return min_duration_; }

    // The shortest duration not below `duration` that this motion can last
    // while moving until its end: `duration` itself, or for a braking joint
    // the end of the durations it can only reach by arriving early.
    double exact_duration(double duration) const {
        return easing_ && duration > min_duration_ && duration < stretch_from_ ? stretch_from_ : duration;
    }

    // The motion lasting exactly max(duration, min_duration()).
    JerkProfile profile(double duration) const;

    // The time-optimal motion.
    JerkProfile profile() const { return profile(min_duration_); }

private:
    JointState start_;
    double target_;
    JointLimits limits_;
    double peak_velocity_ = 0.0;  // of the time-optimal motion (when easing: where stretching starts)
    double cruise_time_ = 0.0;    // of the time-optimal motion
    bool easing_ = false;         // the time-optimal motion eases the braking, then stops
    double ease_time_ = 0.0;
    double stretch_from_ = 0.0;   // when easing: the shortest motion through peak_velocity_
    double min_duration_ = 0.0;
};

// The fastest stop from `start` to rest (velocity and acceleration zero)
// within `limits`, wherever that leaves the position. A start beyond the
// limits is handled as by TargetMotion.
JerkProfile plan_stop(const JointState& start, const JointLimits& limits);

}  // namespace quorvel::motion
