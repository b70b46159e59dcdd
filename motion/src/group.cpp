// A group's bookkeeping: which joint moves how since when, target following,
// stops, limit changes and the per-tick sampling.
#include "motion/group.hpp"

#include <algorithm>
#include <cmath>

#include "texts.hpp"
#include "velocity_change.hpp"

namespace quorvel::motion {

using detail::limit_slack;
using detail::refuse;

namespace {

bool finite(const JointState& s) {
    return std::isfinite(s.position) && std::isfinite(s.velocity) && std::isfinite(s.acceleration);
}

// The start of a motion after its joint's limits were lowered below its
// state: the acceleration ramps towards zero at the larger of the old and new
// jerk limits (the old one was safe a moment ago, and the new one would carry
// the velocity further) until the new limits can be kept from there: the
// acceleration within its limit, and ramping it to zero at the new jerk limit
// no longer carries the velocity past its limit.
JerkProfile recovery(const JointState& state, double old_jerk, const JointLimits& limits) {
    JerkProfile profile(state);
    const double magnitude = std::fabs(state.acceleration);
    if (magnitude == 0.0) return profile;
    const double jerk = (state.acceleration > 0.0 ? -1.0 : 1.0) * std::max(old_jerk, limits.max_jerk);
    const auto beyond = [&](double t) {
        const JointState s = integrate(state, jerk, t);
        const double ramped = detail::ramped_velocity(s.velocity, s.acceleration, limits.max_jerk);
        return std::fabs(s.acceleration) > limits.max_acceleration ||
               std::fabs(ramped) > std::max(limits.max_velocity, std::fabs(s.velocity));
    };
    if (!beyond(0.0)) return profile;
    double lo = 0.0, hi = magnitude / std::fabs(jerk);  // beyond(lo); at hi the acceleration is zero
    for (int step = 0; step < 100 && hi - lo > 1e-12; ++step) {
        const double mid = 0.5 * (lo + hi);
        (beyond(mid) ? lo : hi) = mid;
    }
    profile.append(jerk, hi);
    return profile;
}

}  // namespace

JointState Group::Motion::sample(double now) const {
    if (now >= end) return profile.final_state();
    const double t = (now - start) + offset;
    if (kind == Kind::trajectory && t < path.end_time()) return path.sample(t);
    return kind == Kind::trajectory ? profile.sample(t - path.end_time()) : profile.sample(t);
}

Result<Group> Group::create(std::span<const std::string> names, std::span<const JointLimits> limits) {
    if (names.size() > max_joints) {
        return refuse(ErrorKind::InvalidInput, "motion group: " + std::to_string(names.size()) + " joints, at most " +
                                                   std::to_string(max_joints));
    }
    if (limits.size() != names.size()) {
        return refuse(ErrorKind::InvalidInput, "motion group: " + std::to_string(names.size()) + " names for " +
                                                   std::to_string(limits.size()) + " limits");
    }
    Group group;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].empty()) {
            return refuse(ErrorKind::InvalidInput, "motion group: joint " + std::to_string(i) + " has no name");
        }
        if (std::find(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i), names[i]) !=
            names.begin() + static_cast<std::ptrdiff_t>(i)) {
            return refuse(ErrorKind::InvalidInput, "motion group: " + names[i] + " is named twice");
        }
        QMC_TRY(check_limits(names[i], limits[i]));
        group.names_[i] = names[i];
        group.limits_[i] = limits[i];
    }
    group.size_ = names.size();
    return group;
}

std::optional<std::size_t> Group::index_of(std::string_view name) const {
    for (std::size_t i = 0; i < size_; ++i) {
        if (names_[i] == name) return i;
    }
    return std::nullopt;
}

JointState Group::start_state(double now, std::size_t joint, const PerJoint<JointState>& idle) const {
    const Motion& motion = motions_[joint];
    return motion.kind == Motion::Kind::none ? idle[joint] : motion.sample(now);
}

void Group::start_profile(std::size_t joint, Motion::Kind kind, double now, const JerkProfile& profile,
                          double duration) {
    Motion& motion = motions_[joint];
    motion.kind = kind;
    motion.start = now;
    motion.offset = 0.0;
    // The duration, not the profile's sum of segments, so that synchronised
    // joints end at the very same instant.
    motion.end = now + duration;
    motion.profile = profile;
}

Result<void> Group::set_limits(double now, std::size_t joint, const JointLimits& limits) {
    if (joint >= size_) {
        return refuse(ErrorKind::UnknownJoint,
                      "motion limits: joint index " + std::to_string(joint) + " is not in the group");
    }
    QMC_TRY(check_limits(names_[joint], limits));
    const double old_jerk = limits_[joint].max_jerk;
    limits_[joint] = limits;
    Motion& motion = motions_[joint];
    if (motion.kind == Motion::Kind::none) return {};
    const JointState state = motion.sample(now);
    Motion::Kind kind = motion.kind;
    if (kind == Motion::Kind::trajectory) {
        const double t = (now - motion.start) + motion.offset;
        bool within = t < motion.path.end_time();
        for (std::size_t span = 0; within && span < motion.path.spans(); ++span) {
            if (motion.path.knot_time(span + 1) <= t) continue;  // already behind
            within = motion.path.peak_velocity(span) <= limits.max_velocity * limit_slack &&
                     motion.path.peak_acceleration(span) <= limits.max_acceleration * limit_slack;
        }
        if (within) {
            // Only the closing stop depends on the limits.
            const JointState last = motion.path.sample(motion.path.end_time());
            motion.profile = plan_stop({last.position, last.velocity, 0.0}, limits);
            motion.end = motion.start + (motion.path.end_time() - motion.offset) + motion.profile.duration();
            return {};
        }
        kind = Motion::Kind::stop;
    }
    JerkProfile profile = recovery(state, old_jerk, limits);
    const JointState from = profile.final_state();
    profile.append(kind == Motion::Kind::target ? TargetMotion(from, motion.profile.final_state().position, limits).profile()
                                                : plan_stop(from, limits));
    start_profile(joint, kind, now, profile, profile.duration());
    return {};
}

Result<void> Group::move_to(double now, JointSet joints, const PerJoint<double>& targets,
                            const PerJoint<JointState>& idle, double min_duration) {
    for (std::size_t j = 0; j < max_joints; ++j) {
        if (!joints[j]) continue;
        if (j >= size_) {
            return refuse(ErrorKind::UnknownJoint, "move: joint index " + std::to_string(j) + " is not in the group");
        }
        if (!std::isfinite(targets[j])) {
            return refuse(ErrorKind::InvalidInput, "move: target of " + names_[j] + " " + detail::not_finite(targets[j]));
        }
        if (!finite(start_state(now, j, idle))) {
            return refuse(ErrorKind::InvalidInput, "move: start state of " + names_[j] + " is not finite");
        }
    }
    if (!std::isfinite(min_duration) || min_duration < 0.0) {
        return refuse(ErrorKind::InvalidInput, "move: minimum duration must be finite and not negative (got " +
                                                   detail::number(min_duration) + ")");
    }
    // Solve every joint's time-optimal motion, then stretch all to the slowest.
    std::array<std::optional<TargetMotion>, max_joints> plans;
    double duration = min_duration;
    for (std::size_t j = 0; j < size_; ++j) {
        if (!joints[j]) continue;
        plans[j].emplace(start_state(now, j, idle), targets[j], limits_[j]);
        duration = std::max(duration, plans[j]->min_duration());
    }
    // A braking joint may reach some longer durations only by arriving
    // early: move past those so that every joint arrives at the end.
    for (bool changed = true; changed;) {
        changed = false;
        for (const auto& plan : plans) {
            if (plan && plan->exact_duration(duration) > duration) {
                duration = plan->exact_duration(duration);
                changed = true;
            }
        }
    }
    for (std::size_t j = 0; j < size_; ++j) {
        if (plans[j]) start_profile(j, Motion::Kind::target, now, plans[j]->profile(duration), duration);
    }
    return {};
}

void Group::stop(double now, JointSet joints) {
    for (std::size_t j = 0; j < size_; ++j) {
        if (!joints[j] || motions_[j].kind == Motion::Kind::none) continue;
        const JerkProfile stopping = plan_stop(motions_[j].sample(now), limits_[j]);
        start_profile(j, Motion::Kind::stop, now, stopping, stopping.duration());
    }
}

void Group::cancel(JointSet joints) {
    for (std::size_t j = 0; j < size_; ++j) {
        if (joints[j]) motions_[j].kind = Motion::Kind::none;
    }
}

JointSet Group::advance(double now, PerJoint<JointState>& set_points) {
    JointSet written;
    for (std::size_t j = 0; j < size_; ++j) {
        Motion& motion = motions_[j];
        if (motion.kind == Motion::Kind::none) continue;
        set_points[j] = motion.sample(now);
        written.set(j);
        if (now >= motion.end) motion.kind = Motion::Kind::none;
    }
    return written;
}

std::optional<JointState> Group::set_point(double now, std::size_t joint) const {
    if (joint >= size_ || motions_[joint].kind == Motion::Kind::none) return std::nullopt;
    return motions_[joint].sample(now);
}

JointSet Group::active() const {
    JointSet joints;
    for (std::size_t j = 0; j < size_; ++j) joints[j] = motions_[j].kind != Motion::Kind::none;
    return joints;
}

double Group::time_left(double now) const {
    double left = 0.0;
    for (std::size_t j = 0; j < size_; ++j) {
        if (motions_[j].kind != Motion::Kind::none) left = std::max(left, motions_[j].end - now);
    }
    return left;
}

std::optional<double> Group::target(std::size_t joint) const {
    if (joint >= size_ || motions_[joint].kind == Motion::Kind::none) return std::nullopt;
    return motions_[joint].profile.final_state().position;
}

}  // namespace quorvel::motion
