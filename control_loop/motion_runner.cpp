#include "control_loop/motion_runner.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/log.hpp"
#include "control_loop/log_origin.hpp"
#include "controller/motor_status.hpp"

namespace quorvel {
namespace {

using common::log::Level;

motion::JointLimits limits_of(const MotionLimitDefaults& d) { return {d.max_velocity, d.max_acceleration, d.max_jerk}; }

motion::Group make_group() {
    std::array<std::string, kMotionJoints> names;
    for (std::size_t j = 0; j < kMotionJoints; ++j) names[j] = std::string(motion_joint_name(j));
    const MotionLimitTable limits = default_motion_limits();
    auto group = motion::Group::create(names, limits);
    // The names and the table's limits are fixed: a refusal is a bug.
    if (!group) throw std::logic_error("motion group: " + group.error().message);
    return std::move(group).value();
}

motion::JointSet as_set(MotionJoints joints) { return motion::JointSet(joints.to_ullong()); }
MotionJoints from_set(motion::JointSet joints) { return MotionJoints(joints.to_ullong()); }

std::string joint_list(MotionJoints joints) {
    std::string text;
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!joints[j]) continue;
        if (!text.empty()) text += ", ";
        text += motion_joint_name(j);
    }
    return text;
}

bool hidden_turn(std::size_t joint, double position) { return joint >= kFirstNeckJoint && turns_off_zero(position) != 0; }

}  // namespace

std::string_view motion_joint_name(std::size_t joint) {
    return joint < kFirstNeckJoint ? kServoJoints[joint].name : kNeckJoints[joint - kFirstNeckJoint].name;
}

std::optional<std::size_t> motion_joint_index(std::string_view name) {
    for (std::size_t j = 0; j < kMotionJoints; ++j)
        if (motion_joint_name(j) == name) return j;
    return std::nullopt;
}

MotionLimitTable default_motion_limits() {
    MotionLimitTable limits{};
    for (std::size_t j = 0; j < kFirstNeckJoint; ++j)
        limits[j] = limits_of(motion_defaults(kServoJoints[j].group == ServoGroup::Nose ? MotionGroup::Nose : MotionGroup::Arms));
    for (std::size_t j = kFirstNeckJoint; j < kMotionJoints; ++j) limits[j] = limits_of(motion_defaults(MotionGroup::Neck));
    return limits;
}

MotionJoints motion_joints_of_ids(std::span<const std::uint8_t> ids) {
    MotionJoints joints;
    for (std::size_t j = 0; j < kFirstNeckJoint; ++j)
        if (std::find(ids.begin(), ids.end(), kServoJoints[j].id) != ids.end()) joints.set(j);
    return joints;
}

MotionJoints motion_joints_of(ServoGroup group) {
    MotionJoints joints;
    for (std::size_t j = 0; j < kFirstNeckJoint; ++j)
        if (kServoJoints[j].group == group) joints.set(j);
    return joints;
}

MotionJoints servo_motion_joints() { return MotionJoints((1U << kFirstNeckJoint) - 1U); }
MotionJoints neck_motion_joints() { return ~servo_motion_joints(); }

std::array<double, kMotionJoints> motion_joint_positions(const QuorvelTorsoPosition& position) {
    const auto servos = position.servos();
    std::array<double, kMotionJoints> all{};
    std::copy(servos.begin(), servos.end(), all.begin());
    std::copy(position.neck.begin(), position.neck.end(), all.begin() + kFirstNeckJoint);
    return all;
}

// ---- MotionCell -------------------------------------------------------------------

void MotionCell::publish(const MotionSnapshot& snapshot) {
    {
        std::lock_guard lock(mutex_);
        snapshot_ = snapshot;
    }
    changed_.notify_all();
}

MotionSnapshot MotionCell::read() {
    std::lock_guard lock(mutex_);
    return snapshot_;
}

// ---- MotionRunner -------------------------------------------------------------------

MotionRunner::MotionRunner() : group_(make_group()) {}

std::array<std::optional<NeckSetPoint>, 3> MotionRunner::sample_on_loop_thread(double now) {
    moving_ = from_set(group_.advance(now, set_points_));
    goal_is_set_point_ |= moving_;
    return neck_set_points();
}

std::array<std::optional<NeckSetPoint>, 3> MotionRunner::sample_neck_on_loop_thread(double now) {
    for (std::size_t j = kFirstNeckJoint; j < kMotionJoints; ++j) {
        const auto set_point = group_.set_point(now, j);
        moving_[j] = set_point.has_value();
        if (set_point) set_points_[j] = *set_point;
        goal_is_set_point_[j] = goal_is_set_point_[j] || moving_[j];
    }
    return neck_set_points();
}

std::array<std::optional<NeckSetPoint>, 3> MotionRunner::neck_set_points() const {
    std::array<std::optional<NeckSetPoint>, 3> neck;
    for (std::size_t i = 0; i < neck.size(); ++i) {
        const std::size_t j = kFirstNeckJoint + i;
        if (!moving_[j]) continue;
        // A safety net: the targets were clamped at the call already.
        const auto [lower, upper] = kNeckBounds[i];
        const double p = set_points_[j].position;
        const double clamped = std::clamp(p, lower, upper);
        neck[i] = NeckSetPoint{clamped, clamped == p ? set_points_[j].velocity : 0.0};
    }
    return neck;
}

MotionJoints MotionRunner::active_on_loop_thread() const { return from_set(group_.active()); }

std::array<std::optional<NeckSetPoint>, 3> MotionRunner::hold_on_loop_thread() {
    std::array<std::optional<NeckSetPoint>, 3> hold;
    for (std::size_t i = 0; i < hold.size(); ++i) {
        const std::size_t j = kFirstNeckJoint + i;
        if (!moving_[j] || set_points_[j].velocity == 0.0) continue;
        const auto [lower, upper] = kNeckBounds[i];
        hold[i] = NeckSetPoint{std::clamp(set_points_[j].position, lower, upper), 0.0};
    }
    cancel_on_loop_thread(~MotionJoints());
    return hold;
}

void MotionRunner::write_servo_goals_on_loop_thread(QuorvelMotorController& controller,
                                                    const std::function<double()>& clock) {
    if ((moving_ & servo_motion_joints()).none() || !controller.has_serial_port()) return;
    // The goals are the set points of the moment they are written (the read
    // took a while, and a line unsettled by a failed read is waited for
    // first): the steps between the goals the servos take follow the time
    // between them. A motion that ended at the tick keeps its final state.
    if (auto settled = controller.settle_serial_line(); !settled) {
        if (!servo_write_failing_)
            QMC_LOG(Level::Warn, kControlLoopLogOrigin, "Motion goal write failed: " + settled.error().message());
        servo_write_failing_ = true;
        return;
    }
    const double now = clock();
    for (std::size_t j = 0; j < kFirstNeckJoint; ++j)
        if (moving_[j])
            if (const auto set_point = group_.set_point(now, j)) set_points_[j] = *set_point;
    bool failed = false;
    std::string failure;
    for (const auto& ids : {std::span<const std::uint8_t>(kArmIds), std::span<const std::uint8_t>(kNoseIds)}) {
        std::array<std::uint8_t, 4> chosen{};
        std::array<double, 4> goals{};
        std::size_t n = 0;
        for (const std::uint8_t id : ids) {
            const std::size_t j = static_cast<std::size_t>(id) - 1U;  // ids 1-7 are joints 0-6
            if (!moving_[j]) continue;
            chosen[n] = id;
            goals[n] = std::clamp(set_points_[j].position, -std::numbers::pi, std::numbers::pi);
            ++n;
        }
        if (n == 0) continue;
        if (auto written = controller.write_goal_positions(std::span(chosen).first(n), std::span(goals).first(n));
            !written) {
            failed = true;
            failure = written.error().message();
        }
    }
    if (failed && !servo_write_failing_)
        QMC_LOG(Level::Warn, kControlLoopLogOrigin, "Motion goal write failed: " + failure);
    servo_write_failing_ = failed;
}

void MotionRunner::observe_reading_on_loop_thread(const common::Result<QuorvelTorsoPosition, MotorError>& reading) {
    if (!reading) return;
    measured_ = motion_joint_positions(reading.value());
    has_measured_.set();
}

void MotionRunner::observe_neck_on_loop_thread(const std::array<double, 3>& neck) {
    std::copy(neck.begin(), neck.end(), measured_.begin() + kFirstNeckJoint);
    has_measured_ |= neck_motion_joints();
}

MotionJoints MotionRunner::movable(MotionJoints joints, std::string_view label) const {
    const MotionJoints active = from_set(group_.active());
    MotionJoints refused;
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!joints[j] || active[j]) continue;
        if (!torque_on_[j] || !has_measured_[j] || hidden_turn(j, measured_[j])) refused.set(j);
    }
    if (refused.any())
        QMC_LOG(Level::Warn, kControlLoopLogOrigin,
                std::string(label) + ": not moving " + joint_list(refused) +
                    " (torque off, no reading, or a neck joint a turn off zero)");
    return joints & ~refused;
}

void MotionRunner::move_to_on_loop_thread(double now, MotionJoints joints,
                                          const std::array<double, kMotionJoints>& targets, double min_duration) {
    joints = movable(joints, "move_to");
    if (joints.none()) return;
    motion::PerJoint<double> goal{};
    motion::PerJoint<motion::JointState> idle{};
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        goal[j] = targets[j];
        idle[j] = at_rest(j);
    }
    if (auto moved = group_.move_to(now, as_set(joints), goal, idle, min_duration); !moved)
        QMC_LOG(Level::Warn, kControlLoopLogOrigin, "move_to: " + moved.error().message);
}

std::optional<MotionRefusal> MotionRunner::follow_on_loop_thread(double now, const motion::Trajectory& trajectory,
                                                               double elapsed) {
    MotionJoints joints;
    for (const std::size_t j : trajectory.joints) joints.set(j);
    if (const MotionJoints allowed = movable(joints, "follow_trajectory"); allowed != joints)
        return MotionRefusal{false, "follow_trajectory: " + joint_list(joints & ~allowed) +
                                        " cannot move now (torque off, no reading, or a turn off zero)"};
    motion::PerJoint<motion::JointState> idle{};
    for (std::size_t j = 0; j < kMotionJoints; ++j) idle[j] = at_rest(j);
    if (auto followed = group_.follow(now, trajectory, idle, elapsed); !followed)
        return MotionRefusal{true, "follow_trajectory: " + followed.error().message};
    return std::nullopt;
}

void MotionRunner::stop_on_loop_thread(double now) { group_.stop(now, group_.active()); }

void MotionRunner::set_limits_on_loop_thread(double now, MotionJoints joints, const MotionLimitTable& limits) {
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!joints[j]) continue;
        if (auto set = group_.set_limits(now, j, limits[j]); !set)
            QMC_LOG(Level::Warn, kControlLoopLogOrigin, "set_motion_limits: " + set.error().message);
    }
}

motion::JointState MotionRunner::at_rest(std::size_t joint) const {
    return {goal_is_set_point_[joint] ? set_points_[joint].position : measured_[joint], 0.0, 0.0};
}

void MotionRunner::cancel_on_loop_thread(MotionJoints joints) {
    group_.cancel(as_set(joints));
    moving_ &= ~joints;
    goal_is_set_point_ &= ~joints;
}

void MotionRunner::torque_switched_on_loop_thread(MotionJoints joints, bool on) {
    goal_is_set_point_ &= ~joints;
    if (on) {
        torque_on_ |= joints;
        return;
    }
    cancel_on_loop_thread(joints);
    torque_on_ &= ~joints;
}

MotionSnapshot MotionRunner::snapshot(double now) const {
    MotionSnapshot s;
    s.executed = executed_;
    s.active = from_set(group_.active());
    s.time_left = group_.time_left(now);
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!s.active[j]) continue;
        s.targets[j] = group_.target(j).value_or(set_points_[j].position);
        s.set_points[j] = group_.set_point(now, j).value_or(set_points_[j]);
    }
    s.torque_on = torque_on_;
    s.torque_switches = torque_switches_;
    s.measured = has_measured_;
    s.measured_positions = measured_;
    return s;
}

ControllerResult<void> check_motion_start(std::string_view label, MotionJoints joints, const MotionSnapshot& state,
                                          const common::Result<QuorvelTorsoPosition, MotorError>& last_position) {
    const std::string op(label);
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!joints[j] || state.active[j]) continue;
        const std::string name(motion_joint_name(j));
        if (!state.torque_on[j])
            return common::Err{ControllerError(op + ": " + name + " has torque off; enable torque first")};
        if (!state.measured[j] && !last_position)
            return common::Err{ControllerError(op + ": no position of " + name + " has been read yet")};
        const double position =
            state.measured[j] ? state.measured_positions[j] : motion_joint_positions(last_position.value())[j];
        if (hidden_turn(j, position))
            return common::Err{ControllerError(op + ": " + name + " is " + std::to_string(turns_off_zero(position)) +
                                               " turn(s) off zero (at " + std::to_string(position) +
                                               " rad); power-cycle the neck motors before moving it")};
    }
    return {};
}

}  // namespace quorvel
