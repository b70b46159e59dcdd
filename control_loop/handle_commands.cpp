#include "control_loop/handle_commands.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "control_loop/retry.hpp"

namespace quorvel {
namespace {

using common::Err;
using Q = QuorvelMotorController;
using Outcome = ControllerResult<void>;
namespace c = motor_cmd;

// What a command works with on the loop thread.
struct Context {
    QuorvelMotorController& controller;
    SharedCell<MotorResult<bool>>& last_torque;
    std::uint64_t allowed_retries;
    common::StopSource* stop;
    MotionRunner* motion;  // null: motion commands do nothing
    double now;            // s, the loop's monotonic time

    // A step goal takes over: the joints' generated motion ends first.
    void cancel(MotionJoints joints) {
        if (motion) motion->cancel_on_loop_thread(joints);
    }
    // Torque off ends the joints' motion before the write (also when the
    // write fails: their state is then unknown); torque on lets them move
    // once the write succeeded.
    Outcome switch_torque(MotionJoints joints, bool on, const std::function<Outcome()>& write) {
        if (!on && motion) motion->torque_switched_on_loop_thread(joints, false);
        Outcome written = write();
        if (on && written && motion) motion->torque_switched_on_loop_thread(joints, true);
        if (motion) motion->count_torque_switch();
        return written;
    }

    // After a torque write that fully succeeded, the published flag; it
    // stands for all servos, even when only some ids were switched. A
    // poisoned cell keeps its content.
    Outcome then_store_torque(Outcome written, bool enabled) {
        if (!written) return written;
        auto cell = last_torque.lock();
        if (!cell.poisoned()) *cell = enabled;
        return written;
    }
};

// A neck setter's result without the observed positions, which the loop does
// not report: the clamp and the checks are the controller's own.
template <class T>
Outcome without_observed(ControllerResult<T> observed) {
    if (!observed) return Err{std::move(observed).error()};
    return {};
}

// A neck-only loop answers with the neck-only text (retrying cannot help);
// a failed bus read releases the reply unanswered, as for a raw read.
template <class T, class Read>
Outcome read_status(Context& x, StatusReply<T>& reply, bool needs_port, std::uint64_t attempts, Read&& read) {
    if (needs_port && !x.controller.has_serial_port()) {
        reply.send(common::Err{std::string(kNeckOnlyMessage)});
        return Err{ControllerError(std::string(kNeckOnlyMessage))};
    }
    auto status = with_retry(attempts, x.stop, read);
    if (!status) return Err{std::move(status).error()};
    reply.send(std::move(status).value());
    return {};
}

// ---- The command kinds --------------------------------------------------------
// For each kind: check, the refusal that the controller decides without any
// bus traffic (a NaN position, too many ids for one packet), made before the
// command is queued; then execute, its bus operations on the loop thread.
// Nothing to check is said explicitly, so that no kind is left unchecked by
// oversight.

// A described step goal: the motion of the joints it names ends, then the
// goal is written as it always was.
template <class Method, class Arg>
decltype(auto) step_goal(Context& x, MotionJoints joints, Method write, const Arg& arg) {
    x.cancel(joints);
    return (x.controller.*write)(arg);
}

// The neck and the time stamp are ignored: the neck does not move.
Outcome check(const c::SetAllGoalPositions& cmd) { return Q::check_all_goal_positions(cmd.positions.servos()); }
Outcome execute(c::SetAllGoalPositions& cmd, Context& x) {
    return step_goal(x, servo_motion_joints(), &Q::set_all_goal_positions, cmd.positions.servos());
}

Outcome check(const c::SetLeftArmPosition& cmd) { return Q::check_left_arm_position(cmd.position); }
Outcome execute(c::SetLeftArmPosition& cmd, Context& x) {
    return step_goal(x, motion_joints_of(ServoGroup::LeftArm), &Q::set_left_arm_position, cmd.position);
}

Outcome check(const c::SetRightArmPosition& cmd) { return Q::check_right_arm_position(cmd.position); }
Outcome execute(c::SetRightArmPosition& cmd, Context& x) {
    return step_goal(x, motion_joints_of(ServoGroup::RightArm), &Q::set_right_arm_position, cmd.position);
}

Outcome check(const c::SetArmsPosition& cmd) { return Q::check_arms_position(cmd.position); }
Outcome execute(c::SetArmsPosition& cmd, Context& x) {
    return step_goal(x, motion_joints_of_ids(kArmIds), &Q::set_arms_position, cmd.position);
}

Outcome check(const c::SetNosePosition& cmd) { return Q::check_nose_position(cmd.position); }
Outcome execute(c::SetNosePosition& cmd, Context& x) {
    return step_goal(x, motion_joints_of(ServoGroup::Nose), &Q::set_nose_position, cmd.position);
}

Outcome check(const c::SetNeckPosition& cmd) { return Q::check_neck_position(cmd.position); }
Outcome execute(c::SetNeckPosition& cmd, Context& x) {
    return without_observed(step_goal(x, neck_motion_joints(), &Q::set_neck_position, cmd.position));
}

Outcome check(const c::SetNeckJointPosition& cmd) { return Q::check_single_neck_joint(cmd.joint, cmd.position); }
Outcome execute(c::SetNeckJointPosition& cmd, Context& x) {
    if (cmd.joint < kNeckJoints.size()) x.cancel(MotionJoints().set(kFirstNeckJoint + cmd.joint));
    return without_observed(x.controller.set_single_neck_joint(cmd.joint, cmd.position));
}

Outcome check(const c::EnableNeck&) { return {}; }
Outcome execute(c::EnableNeck& cmd, Context& x) {
    return x.switch_torque(neck_motion_joints(), cmd.enable, [&] { return x.controller.enable_neck(cmd.enable); });
}

// All servos' torque on or off; the published torque flag follows a full success.
Outcome switch_all_servos(Context& x, bool on) {
    return x.switch_torque(servo_motion_joints(), on, [&] {
        return x.then_store_torque(on ? x.controller.enable_torque() : x.controller.disable_torque(), on);
    });
}

// Some servos' torque; the published flag stands for all servos all the same.
Outcome switch_servos(Context& x, std::span<const std::uint8_t> ids, bool on) {
    return x.switch_torque(motion_joints_of_ids(ids), on,
                           [&] { return x.then_store_torque(x.controller.set_torque_on_ids(ids, on), on); });
}

Outcome check(const c::EnableTorque&) { return {}; }
Outcome execute(c::EnableTorque&, Context& x) { return switch_all_servos(x, true); }

Outcome check(const c::EnableTorqueOnIds& cmd) { return Q::check_torque_on_ids(cmd.ids); }
Outcome execute(c::EnableTorqueOnIds& cmd, Context& x) { return switch_servos(x, cmd.ids, true); }

Outcome check(const c::DisableTorque&) { return {}; }
Outcome execute(c::DisableTorque&, Context& x) { return switch_all_servos(x, false); }

Outcome check(const c::DisableTorqueOnIds& cmd) { return Q::check_torque_on_ids(cmd.ids); }
Outcome execute(c::DisableTorqueOnIds& cmd, Context& x) { return switch_servos(x, cmd.ids, false); }

Outcome check(const c::EnableArms&) { return {}; }
Outcome execute(c::EnableArms& cmd, Context& x) {
    auto write = [&] { return x.controller.enable_arms(cmd.enable); };
    return x.switch_torque(motion_joints_of_ids(kArmIds), cmd.enable, write);
}

Outcome check(const c::EnableNose&) { return {}; }
Outcome execute(c::EnableNose& cmd, Context& x) {
    return x.switch_torque(motion_joints_of(ServoGroup::Nose), cmd.enable,
                           [&] { return x.controller.enable_nose(cmd.enable); });
}

Outcome check(const c::ReadRawBytes&) { return {}; }
Outcome execute(c::ReadRawBytes& cmd, Context& x) {
    auto bytes = with_retry(x.allowed_retries, x.stop,
                            [&] { return x.controller.read_raw_bytes(cmd.id, cmd.addr, cmd.length); });
    if (!bytes) return Err{std::move(bytes).error()};  // the reply is released unanswered
    // A caller that stopped waiting does not make the read a failure.
    cmd.reply.send(std::move(bytes).value());
    return {};
}

// Data that no packet can carry is refused by the protocol handler as an
// ordinary error (the bindings refuse it before queueing).
Outcome check(const c::WriteRawBytes&) { return {}; }
// One attempt.
Outcome execute(c::WriteRawBytes& cmd, Context& x) { return x.controller.write_raw_bytes(cmd.id, cmd.addr, cmd.data); }

Outcome check(const c::WriteRawPacket&) { return {}; }
Outcome execute(c::WriteRawPacket& cmd, Context& x) {
    auto reply = x.controller.write_raw_packet(cmd.data);
    if (!reply) return Err{ControllerError(smartbus::Error(std::move(reply).error()))};
    if (!cmd.reply.send(std::move(reply).value())) return Err{ControllerError("sending on a closed channel")};
    return {};
}

Outcome check(const c::ReadServoStatus&) { return {}; }
Outcome execute(c::ReadServoStatus& cmd, Context& x) {
    return read_status(x, cmd.reply, true, x.allowed_retries, [&] { return x.controller.read_servo_status(); });
}

Outcome check(const c::ReadNeckStatus&) { return {}; }
// One attempt, as the periodic read asks the neck: the retry rule is for
// serial time-outs, and no CAN error is one.
Outcome execute(c::ReadNeckStatus& cmd, Context& x) {
    return read_status(x, cmd.reply, false, 1, [&] { return x.controller.read_neck_status(); });
}

// ---- Generated motion --------------------------------------------------------
// The checks are those the call can make alone: the loop's state (torque,
// the last reading) is looked at by the call before it queues
// (check_motion_start) and by the loop when it executes.

ControllerError bad_motion_input(std::string text) { return ControllerError::invalid_argument(std::move(text)); }

// Servo targets are radians within one turn around zero: a value outside is
// most likely in degrees.
Outcome check_servo_target(std::string_view label, std::size_t joint, double target) {
    if (!std::isfinite(target))
        return Err{bad_motion_input(std::string(label) + ": target of " + std::string(motion_joint_name(joint)) +
                                    " must be finite, got " + std::to_string(target))};
    if (joint < kFirstNeckJoint && std::abs(target) > std::numbers::pi)
        return Err{bad_motion_input(std::string(label) + ": target of " + std::string(motion_joint_name(joint)) +
                                    " must be within -pi..pi rad, got " + std::to_string(target) +
                                    " (degrees instead of radians?)")};
    return {};
}

Outcome check(const c::MoveTo& cmd) {
    for (std::size_t j = 0; j < kMotionJoints; ++j)
        if (cmd.joints[j]) QMC_TRY(check_servo_target("move_to", j, cmd.targets[j]));
    if (!std::isfinite(cmd.min_duration) || cmd.min_duration < 0.0)
        return Err{bad_motion_input("move_to: duration must be finite and not negative, got " +
                                    std::to_string(cmd.min_duration))};
    return {};
}
Outcome execute(c::MoveTo& cmd, Context& x) {
    if (!x.motion) return {};
    x.motion->count_command();
    x.motion->move_to_on_loop_thread(x.now, cmd.joints, cmd.targets, cmd.min_duration);
    return {};
}

// The shape and values, checked by planning on a group whose limits nothing
// reaches; the limits themselves are the loop's to check.
Outcome check(const c::FollowTrajectory& cmd) { return check_trajectory(cmd.trajectory); }
Outcome execute(c::FollowTrajectory& cmd, Context& x) {
    if (!x.motion) return {};
    x.motion->count_command();
    const double elapsed =
        std::max(0.0, std::chrono::duration<double>(std::chrono::steady_clock::now() - cmd.sent).count());
    cmd.reply.send(x.motion->follow_on_loop_thread(x.now, cmd.trajectory, elapsed));
    return {};
}

Outcome check(const c::StopMotion&) { return {}; }
Outcome check_trajectory_shape(const motion::Trajectory& trajectory) {
    static const MotionLimitTable unlimited = [] {
        MotionLimitTable table{};
        table.fill({1e6, 1e6, 1e6});
        return table;
    }();
    for (const auto& row : trajectory.positions) {
        for (std::size_t i = 0; i < row.size() && i < trajectory.joints.size(); ++i) {
            const std::size_t j = trajectory.joints[i];
            if (j < kMotionJoints && std::isfinite(row[i])) QMC_TRY(check_servo_target("follow_trajectory", j, row[i]));
        }
    }
    std::array<std::string, kMotionJoints> names;
    for (std::size_t j = 0; j < kMotionJoints; ++j) names[j] = std::string(motion_joint_name(j));
    auto scratch = motion::Group::create(names, unlimited);
    if (!scratch) return Err{ControllerError(scratch.error().message)};
    if (auto planned = scratch.value().follow(0.0, trajectory, {}); !planned)
        return Err{bad_motion_input("follow_trajectory: " + planned.error().message)};
    return {};
}

Outcome execute(c::StopMotion&, Context& x) {
    if (!x.motion) return {};
    x.motion->count_command();
    x.motion->stop_on_loop_thread(x.now);
    return {};
}

Outcome check(const c::SetMotionLimits& cmd) {
    for (std::size_t j = 0; j < kMotionJoints; ++j) {
        if (!cmd.joints[j]) continue;
        if (auto checked = motion::check_limits(motion_joint_name(j), cmd.limits[j]); !checked)
            return Err{bad_motion_input("set_motion_limits: " + checked.error().message)};
    }
    return {};
}
Outcome execute(c::SetMotionLimits& cmd, Context& x) {
    if (!x.motion) return {};
    x.motion->count_command();
    x.motion->set_limits_on_loop_thread(x.now, cmd.joints, cmd.limits);
    return {};
}

// Work on the neck alone: its bus is the CAN bus, its joints are the neck's.
bool neck_only(MotionJoints joints) { return (joints & servo_motion_joints()).none(); }
bool neck_only(const c::SetNeckPosition&, MotionJoints) { return true; }
bool neck_only(const c::SetNeckJointPosition&, MotionJoints) { return true; }
bool neck_only(const c::EnableNeck&, MotionJoints) { return true; }
bool neck_only(const c::ReadNeckStatus&, MotionJoints) { return true; }
bool neck_only(const c::MoveTo& cmd, MotionJoints) { return neck_only(cmd.joints); }
bool neck_only(const c::SetMotionLimits& cmd, MotionJoints) { return neck_only(cmd.joints); }
bool neck_only(const c::FollowTrajectory& cmd, MotionJoints) {
    return std::all_of(cmd.trajectory.joints.begin(), cmd.trajectory.joints.end(),
                       [](std::size_t j) { return j >= kFirstNeckJoint; });
}
bool neck_only(const c::StopMotion&, MotionJoints active) { return neck_only(active); }
// Everything else touches the servos.
template <class Cmd>
bool neck_only(const Cmd&, MotionJoints) {
    return false;
}

}  // namespace

bool only_neck_work(const MotorCmd& command, MotionJoints active) {
    return std::visit([&](const auto& cmd) { return neck_only(cmd, active); }, command);
}

ControllerResult<void> handle_commands(QuorvelMotorController& controller, SharedCell<MotorResult<bool>>& last_torque,
                                       MotorCmd command, std::uint64_t allowed_retries, common::StopSource* stop,
                                       MotionRunner* motion, double now) {
    Context context{controller, last_torque, allowed_retries, stop, motion, now};
    return std::visit([&](auto& cmd) { return execute(cmd, context); }, command);
}

ControllerResult<void> check_trajectory(const motion::Trajectory& trajectory) {
    return check_trajectory_shape(trajectory);
}

ControllerResult<void> check_command(const MotorCmd& command) {
    return std::visit([](const auto& cmd) { return check(cmd); }, command);
}

}  // namespace quorvel
