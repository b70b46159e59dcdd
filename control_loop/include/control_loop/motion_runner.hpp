// Generated motion on the loop thread: the loop's one motion group over the
// ten joints (the seven servos in the system order, then the neck), the
// torque state the loop knows of, and what it publishes for callers.
#pragma once

#include <array>
#include <bitset>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <span>
#include <string_view>

#include "control_loop/motor_error.hpp"
#include "control_loop/records.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "motion/group.hpp"

namespace quorvel {

// Joint indices of the loop's motion group.
inline constexpr std::size_t kMotionJoints = 10;
inline constexpr std::size_t kFirstNeckJoint = 7;
using MotionJoints = std::bitset<kMotionJoints>;
using MotionLimitTable = std::array<motion::JointLimits, kMotionJoints>;

std::string_view motion_joint_name(std::size_t joint);
std::optional<std::size_t> motion_joint_index(std::string_view name);
// The defaults of the motor tables, per joint.
MotionLimitTable default_motion_limits();
// The joints of the servo ids, and of the servo groups.
MotionJoints motion_joints_of_ids(std::span<const std::uint8_t> ids);
MotionJoints motion_joints_of(ServoGroup group);
MotionJoints servo_motion_joints();
MotionJoints neck_motion_joints();
// The ten joints' positions in the group's order.
std::array<double, kMotionJoints> motion_joint_positions(const QuorvelTorsoPosition& position);

// Why the loop did not start a trajectory.
struct MotionRefusal {
    bool bad_input;  // the trajectory itself (over a limit), not the joints' state
    std::string message;
};

// What the loop last published about its motions.
struct MotionSnapshot {
    std::uint64_t executed = 0;  // motion commands executed so far
    MotionJoints active;
    std::array<double, kMotionJoints> targets{};  // of the active joints
    double time_left = 0.0;                       // s
    std::array<motion::JointState, kMotionJoints> set_points{};  // of the active joints
    MotionJoints torque_on;  // joints whose torque the loop knows to be on
    // The joints' last measured positions (the neck's also while the servos
    // cannot be read), of the joints in `measured`.
    MotionJoints measured;
    std::array<double, kMotionJoints> measured_positions{};
    std::uint64_t torque_switches = 0;  // torque commands executed so far (done or failed)
};

// The published snapshot and a condition to wait for its change.
class MotionCell {
public:
    void publish(const MotionSnapshot& snapshot);
    MotionSnapshot read();
    // Waits until `done(snapshot)` holds or `until` passes; true when it holds.
    template <class Pred>
    bool wait_until(std::chrono::steady_clock::time_point until, Pred&& done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_until(lock, until, [&] { return done(snapshot_); });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    MotionSnapshot snapshot_;
};

// Owned by the loop thread; every member runs on it.
class MotionRunner {
public:
    MotionRunner();

    // Tick, before the read: samples the group at `now` (s, monotonic) and
    // returns the neck set points to command in the read's exchange (clamped
    // to the neck's safety bounds).
    std::array<std::optional<NeckSetPoint>, 3> sample_on_loop_thread(double now);
    // The same for the neck alone, between ticks (the servos' set points
    // stay those of the latest tick, written with it); a motion ends at the
    // next tick.
    std::array<std::optional<NeckSetPoint>, 3> sample_neck_on_loop_thread(double now);
    // Tick, after the read: one goal write per servo group that moves, of
    // the set points at the time `clock` (the loop's, in s) tells once the
    // line is fit to send. A failed write is logged once per run of
    // failures; the motion goes on.
    void write_servo_goals_on_loop_thread(QuorvelMotorController& controller, const std::function<double()>& clock);
    // Keeps the measured positions of a successful reading (the start of a
    // joint at rest whose goal is not the generator's).
    void observe_reading_on_loop_thread(const common::Result<QuorvelTorsoPosition, MotorError>& reading);
    // The same for the neck's own reading.
    void observe_neck_on_loop_thread(const std::array<double, 3>& neck);

    // Commands, on the loop thread; joints the loop may not move are left out
    // (logged): torque off, never measured, or a neck joint a turn off zero.
    void move_to_on_loop_thread(double now, MotionJoints joints, const std::array<double, kMotionJoints>& targets,
                                double min_duration);
    // A refusal (a path over a limit is bad input; a joint that may not move
    // now is not), or nothing once started.
    std::optional<MotionRefusal> follow_on_loop_thread(double now, const motion::Trajectory& trajectory, double elapsed);
    void stop_on_loop_thread(double now);
    void set_limits_on_loop_thread(double now, MotionJoints joints, const MotionLimitTable& limits);
    // A step goal takes over these joints: their motion ends at once.
    void cancel_on_loop_thread(MotionJoints joints);
    // Torque switched: off ends the joints' motion at once (a limp joint is
    // never streamed to); on lets them move.
    void torque_switched_on_loop_thread(MotionJoints joints, bool on);
    // The joints under motion now.
    MotionJoints active_on_loop_thread() const;
    // The loop ends: the neck joints whose last set point still moved get a
    // set point holding that position at rest (returned, to be commanded),
    // and every motion ends.
    std::array<std::optional<NeckSetPoint>, 3> hold_on_loop_thread();
    void count_command() { ++executed_; }
    void count_torque_switch() { ++torque_switches_; }

    MotionSnapshot snapshot(double now) const;
    // The joints sampled at the latest tick and their set points (what the
    // tick sent).
    MotionJoints sampled() const { return moving_; }
    double sampled_position(std::size_t joint) const { return set_points_[joint].position; }

private:
    MotionJoints movable(MotionJoints joints, std::string_view label) const;
    // Where a joint not under motion starts its next one.
    motion::JointState at_rest(std::size_t joint) const;
    // The moving neck joints' latest set points, clamped to the neck's bounds.
    std::array<std::optional<NeckSetPoint>, 3> neck_set_points() const;

    motion::Group group_;
    std::array<motion::JointState, kMotionJoints> set_points_{};
    MotionJoints moving_;  // joints sampled at the latest tick
    std::array<double, kMotionJoints> measured_{};
    MotionJoints has_measured_;  // joints read at least once
    // Joints whose goal (servo) or MIT position (neck) is still the latest
    // set point sent: a motion from rest continues from there, not from a
    // reading that lags behind it.
    MotionJoints goal_is_set_point_;
    MotionJoints torque_on_;
    std::uint64_t executed_ = 0;
    std::uint64_t torque_switches_ = 0;
    bool servo_write_failing_ = false;
};

// The refusal of a motion for `joint` that the call can tell from the
// published state: torque off, a neck joint a whole turn off zero, or no
// reading yet (the published measured positions first, else `last_position`).
// `label` is the operation ("move_to").
ControllerResult<void> check_motion_start(std::string_view label, MotionJoints joints, const MotionSnapshot& state,
                                          const common::Result<QuorvelTorsoPosition, MotorError>& last_position);

}  // namespace quorvel
