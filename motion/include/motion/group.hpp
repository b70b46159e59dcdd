// A group of named joints moved together: target following, timed
// trajectories and stops, planned at the call and sampled at every tick.
//
// Times are seconds on the caller's monotonic clock (any origin), passed in
// as `now`; the group keeps no clock of its own. Planning may allocate (a
// trajectory's spans); advance() and the accessors never do.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "motion/jerk_profile.hpp"
#include "motion/spline.hpp"
#include "motion/types.hpp"

namespace quorvel::motion {

// A set of joints of a group, by index.
using JointSet = std::bitset<max_joints>;

// One value per joint of a group, indexed like its joints (entries past the
// group's size are unused).
template <class T>
using PerJoint = std::array<T, max_joints>;

// Timed waypoints for some of a group's joints, as in a joint trajectory
// message.
struct Trajectory {
    std::vector<std::size_t> joints;              // group indices, each at most once
    std::vector<double> times;                    // s after the start, positive and increasing
    std::vector<std::vector<double>> positions;   // positions[k][i]: joints[i] at times[k]
    std::vector<std::vector<double>> velocities;  // empty, or shaped like positions
};

class Group {
public:
    // A group of up to max_joints joints with distinct, non-empty names and
    // valid limits (one per name), none under motion.
    static Result<Group> create(std::span<const std::string> names, std::span<const JointLimits> limits);

    // Number of joints, and the name of joint `joint` (< size()).
    std::size_t size() const { return size_; }
    const std::string& name(std::size_t joint) const { return names_[joint]; }
    // The index of the joint with this name, if the group has one.
    std::optional<std::size_t> index_of(std::string_view name) const;

    // The limits of joint `joint` (< size()).
    const JointLimits& limits(std::size_t joint) const { return limits_[joint]; }

    // Changes a joint's limits. A joint under motion keeps moving without a
    // jump: target following and stops are planned again from the present
    // set point (to the same target, no longer synchronised with the others);
    // a trajectory goes on if it stays within the new limits, otherwise the
    // joint stops. A present state beyond the new limits is first brought
    // within them by ramping the acceleration towards zero at the larger of
    // the old and new jerk limits (the new one alone could carry the velocity
    // much further past its limit).
    Result<void> set_limits(double now, std::size_t joint, const JointLimits& limits);

    // Moves each joint in `joints` to its entry of `targets`, arriving at rest
    // all at the same instant: the slowest joint sets the duration (at least
    // `min_duration`), the others are stretched to it. A joint under motion
    // starts from its present set point (its motion is replaced); any other
    // from its entry of `idle`, e.g. its measured position at rest.
    Result<void> move_to(double now, JointSet joints, const PerJoint<double>& targets, const PerJoint<JointState>& idle,
                         double min_duration = 0.0);

    // Starts a trajectory that began `elapsed` seconds before now (0: now).
    // It blends from each joint's present state (as in move_to) into the
    // path through the waypoints still ahead; waypoints whose time has
    // passed are skipped. A path that would exceed a joint's velocity or
    // acceleration limit is refused, naming the joint, the waypoint and the
    // limit. With velocities, a nonzero one at the last waypoint is followed
    // by the fastest stop. When every waypoint has passed, the joints move to
    // the last one as by move_to.
    Result<void> follow(double now, const Trajectory& trajectory, const PerJoint<JointState>& idle,
                        double elapsed = 0.0);

    // Brings the joints of `joints` that are under motion to rest as fast as
    // their limits allow, velocity and acceleration continuous.
    void stop(double now, JointSet joints);

    // Ends the motion of these joints at once, e.g. when a step goal takes
    // over; their set points are no longer written.
    void cancel(JointSet joints);

    // Writes the set point at `now` of every joint under motion into
    // `set_points` and returns those joints; other entries are untouched. A
    // motion whose end has come writes its final state and is over.
    JointSet advance(double now, PerJoint<JointState>& set_points);

    // The set point at `now` of a joint under motion, without advancing.
    std::optional<JointState> set_point(double now, std::size_t joint) const;

    // The joints under motion (until advance() has passed their end).
    JointSet active() const;
    // Seconds until every motion has ended (0 when none is active).
    double time_left(double now) const;
    // Where a joint under motion will come to rest.
    std::optional<double> target(std::size_t joint) const;

private:
    struct Motion {
        enum class Kind { none, target, stop, trajectory } kind = Kind::none;
        double start = 0.0;    // group time at which it started
        double offset = 0.0;   // its own time then (a trajectory started late)
        double end = 0.0;      // group time at which it is over
        Spline path;           // a trajectory's path (its times from time 0)
        JerkProfile profile;   // target following, a stop, or a trajectory's closing stop
        JointState sample(double now) const;
    };

    Group() = default;
    JointState start_state(double now, std::size_t joint, const PerJoint<JointState>& idle) const;
    void start_profile(std::size_t joint, Motion::Kind kind, double now, const JerkProfile& profile, double duration);

    std::size_t size_ = 0;
    PerJoint<std::string> names_;
    PerJoint<JointLimits> limits_{};
    PerJoint<Motion> motions_;
};

}  // namespace quorvel::motion
