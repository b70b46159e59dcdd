// Timed trajectories: input checks, the path of each joint from its present
// state through the waypoints still ahead, and the check of that path
// against the joints' limits before anything moves.
#include <algorithm>
#include <cmath>

#include "motion/group.hpp"
#include "texts.hpp"
#include "velocity_change.hpp"

namespace quorvel::motion {

using detail::limit_slack;
using detail::refuse;

namespace {

common::Err<Error> invalid(std::string text) { return refuse(ErrorKind::InvalidInput, "trajectory: " + text); }

std::string waypoint(std::size_t k) { return "waypoint " + std::to_string(k); }

}  // namespace

Result<void> Group::follow(double now, const Trajectory& trajectory, const PerJoint<JointState>& idle,
                           double elapsed) {
    const auto& joints = trajectory.joints;
    const auto& times = trajectory.times;
    const std::size_t count = joints.size();
    const std::size_t waypoints = times.size();
    if (count == 0) return invalid("no joints");
    for (std::size_t i = 0; i < count; ++i) {
        if (joints[i] >= size_) {
            return refuse(ErrorKind::UnknownJoint,
                          "trajectory: joint index " + std::to_string(joints[i]) + " is not in the group");
        }
        if (std::find(joints.begin(), joints.begin() + static_cast<std::ptrdiff_t>(i), joints[i]) !=
            joints.begin() + static_cast<std::ptrdiff_t>(i)) {
            return invalid(names_[joints[i]] + " is named twice");
        }
    }
    if (waypoints == 0) return invalid("no waypoints");
    const bool with_velocities = !trajectory.velocities.empty();
    if (trajectory.positions.size() != waypoints) {
        return invalid(std::to_string(waypoints) + " times for " + std::to_string(trajectory.positions.size()) +
                       " waypoints of positions");
    }
    if (with_velocities && trajectory.velocities.size() != waypoints) {
        return invalid(std::to_string(waypoints) + " times for " + std::to_string(trajectory.velocities.size()) +
                       " waypoints of velocities");
    }
    for (std::size_t k = 0; k < waypoints; ++k) {
        if (!std::isfinite(times[k])) return invalid("time of " + waypoint(k) + " " + detail::not_finite(times[k]));
        if (!(times[k] > 0.0)) {
            return invalid("time of " + waypoint(k) + " must be positive (got " + detail::number(times[k]) + ")");
        }
        if (k > 0 && !(times[k] > times[k - 1])) {
            return invalid("time of " + waypoint(k) + " (" + detail::number(times[k]) + " s) is not after that of " +
                           waypoint(k - 1) + " (" + detail::number(times[k - 1]) + " s)");
        }
        const auto check_row = [&](const std::vector<double>& row, const char* what,
                                   const char* plural) -> Result<void> {
            if (row.size() != count) {
                return invalid(waypoint(k) + " has " + std::to_string(row.size()) + " " + plural + " for " +
                               std::to_string(count) + " joints");
            }
            for (std::size_t i = 0; i < count; ++i) {
                if (!std::isfinite(row[i])) {
                    return invalid(std::string(what) + " of " + names_[joints[i]] + " at " + waypoint(k) + " " +
                                   detail::not_finite(row[i]));
                }
            }
            return {};
        };
        QMC_TRY(check_row(trajectory.positions[k], "position", "positions"));
        if (with_velocities) QMC_TRY(check_row(trajectory.velocities[k], "velocity", "velocities"));
    }
    if (!std::isfinite(elapsed) || elapsed < 0.0) {
        return invalid("elapsed time must be finite and not negative (got " + detail::number(elapsed) + ")");
    }
    for (const std::size_t j : joints) {
        const JointState s = start_state(now, j, idle);
        if (!std::isfinite(s.position) || !std::isfinite(s.velocity) || !std::isfinite(s.acceleration)) {
            return invalid("start state of " + names_[j] + " is not finite");
        }
    }

    // Waypoints already passed are skipped: the path starts now, from the
    // present state, towards the first one still ahead.
    const std::size_t first =
        static_cast<std::size_t>(std::upper_bound(times.begin(), times.end(), elapsed) - times.begin());
    if (first == waypoints) {
        JointSet moving;
        PerJoint<double> targets{};
        for (std::size_t i = 0; i < count; ++i) {
            moving.set(joints[i]);
            targets[joints[i]] = trajectory.positions.back()[i];
        }
        return move_to(now, moving, targets, idle);
    }
    std::vector<double> knot_times{elapsed};
    knot_times.insert(knot_times.end(), times.begin() + static_cast<std::ptrdiff_t>(first), times.end());
    std::vector<Spline> paths(count);
    std::vector<double> positions(waypoints - first), velocities;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t k = first; k < waypoints; ++k) positions[k - first] = trajectory.positions[k][i];
        if (with_velocities) {
            velocities.resize(waypoints - first);
            for (std::size_t k = first; k < waypoints; ++k) velocities[k - first] = trajectory.velocities[k][i];
        }
        paths[i] = Spline::smooth(knot_times, start_state(now, joints[i], idle), positions, velocities);
    }

    // Earliest span first, so that the refusal names the first trouble ahead.
    for (std::size_t span = 0; span + 1 < knot_times.size(); ++span) {
        for (std::size_t i = 0; i < count; ++i) {
            const JointLimits& limits = limits_[joints[i]];
            const struct {
                double peak, limit;
                const char *unit, *name;
            } checks[] = {{paths[i].peak_velocity(span), limits.max_velocity, "rad/s", "velocity"},
                          {paths[i].peak_acceleration(span), limits.max_acceleration, "rad/s^2", "acceleration"}};
            for (const auto& c : checks) {
                if (c.peak > c.limit * limit_slack) {
                    return refuse(ErrorKind::OverLimit, "trajectory: " + names_[joints[i]] + " would reach " +
                                                            detail::number_over(c.peak, c.limit) + " " + c.unit +
                                                            " before " + waypoint(first + span) + ", over its " +
                                                            c.name + " limit of " + detail::number(c.limit) + " " +
                                                            c.unit);
                }
            }
        }
    }

    for (std::size_t i = 0; i < count; ++i) {
        Motion& motion = motions_[joints[i]];
        const double last_velocity = with_velocities ? trajectory.velocities.back()[i] : 0.0;
        motion.kind = Motion::Kind::trajectory;
        motion.start = now;
        motion.offset = elapsed;
        motion.path = std::move(paths[i]);
        motion.profile = plan_stop({trajectory.positions.back()[i], last_velocity, 0.0}, limits_[joints[i]]);
        motion.end = now + (motion.path.end_time() - elapsed) + motion.profile.duration();
    }
    return {};
}

}  // namespace quorvel::motion
