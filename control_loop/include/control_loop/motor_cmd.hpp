// The commands Python puts on a control loop's queue. Positions are radians;
// identifiers, addresses and lengths are servo bytes. The raw read, the raw
// packet and the two health readings carry a reply channel for their answer;
// the others report nothing back. What each kind checks before it is queued
// and what it does on the loop thread are defined side by side in
// handle_commands.cpp: a kind listed in MotorCmd without both does not compile.
#pragma once

#include <array>
#include <chrono>
#include <optional>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "control_loop/motion_runner.hpp"
#include "control_loop/records.hpp"
#include "control_loop/reply_channel.hpp"
#include "controller/motor_status.hpp"

namespace quorvel {

using ByteReply = ReplySender<std::vector<std::uint8_t>>;
// A status read's answer: the readings, or the reason that retrying cannot
// cure (the neck-only text). A failed bus read releases the reply unanswered.
template <class T>
using StatusReply = ReplySender<common::Result<T, std::string>>;

namespace motor_cmd {

// Only left_arm, right_arm and nose are used.
struct SetAllGoalPositions { QuorvelTorsoPosition positions; };
struct SetLeftArmPosition { std::array<double, 2> position; };   // pitch, yaw
struct SetRightArmPosition { std::array<double, 2> position; };  // pitch, yaw
// left pitch, left yaw, right pitch, right yaw
struct SetArmsPosition { std::array<double, 4> position; };
struct SetNosePosition { std::array<double, 3> position; };  // top, left, right
struct SetNeckPosition { std::array<double, 3> position; };  // yaw, pitch, roll
// One neck joint: 0 yaw, 1 pitch, 2 roll (another index fails on the loop thread).
struct SetNeckJointPosition {
    std::size_t joint;
    double position;
};
struct EnableNeck { bool enable; };
struct EnableTorque {};
struct EnableTorqueOnIds { std::vector<std::uint8_t> ids; };
struct DisableTorque {};
struct DisableTorqueOnIds { std::vector<std::uint8_t> ids; };
struct EnableArms { bool enable; };
struct EnableNose { bool enable; };
// Answered with the parameter bytes of the servo's status reply; the reply
// is dropped unanswered when the read fails.
struct ReadRawBytes {
    std::uint8_t id;
    std::uint8_t addr;
    std::uint8_t length;
    ByteReply reply;
};
struct WriteRawBytes {
    std::uint8_t id;
    std::uint8_t addr;
    std::vector<std::uint8_t> data;
};
// `data` is a complete packet; answered with the bytes that came back.
struct WriteRawPacket {
    std::vector<std::uint8_t> data;
    ByteReply reply;
};

// Health readings, answered like ReadRawBytes: the servos' under the same
// retry rule, the neck's in one attempt (as the periodic read asks it).
struct ReadServoStatus {
    StatusReply<std::array<ServoStatus, 7>> reply;
};
struct ReadNeckStatus {
    StatusReply<std::array<NeckStatus, 3>> reply;
};

// Generated motion (see motion_runner.hpp). Joints are indices of the
// loop's motion group; a motion starts from where the joint is when the
// loop executes the command.
struct MoveTo {
    MotionJoints joints;
    std::array<double, kMotionJoints> targets{};  // rad, of the joints in `joints`
    double min_duration = 0.0;                    // s
};
// Answered with nothing once the trajectory runs, or the refusal's text
// (a path over a joint's limit, naming the joint, the waypoint and the limit).
using MotionReply = ReplySender<std::optional<MotionRefusal>>;
struct FollowTrajectory {
    motion::Trajectory trajectory;                // times from `sent`
    std::chrono::steady_clock::time_point sent;  // when the caller asked
    MotionReply reply;
};
struct StopMotion {};
struct SetMotionLimits {
    MotionJoints joints;
    MotionLimitTable limits{};  // of the joints in `joints`
};

}  // namespace motor_cmd

using MotorCmd = std::variant<
    motor_cmd::SetAllGoalPositions, motor_cmd::SetLeftArmPosition, motor_cmd::SetRightArmPosition,
    motor_cmd::SetArmsPosition, motor_cmd::SetNosePosition, motor_cmd::SetNeckPosition,
    motor_cmd::SetNeckJointPosition, motor_cmd::EnableNeck, motor_cmd::EnableTorque, motor_cmd::EnableTorqueOnIds,
    motor_cmd::DisableTorque, motor_cmd::DisableTorqueOnIds, motor_cmd::EnableArms,
    motor_cmd::EnableNose, motor_cmd::ReadRawBytes, motor_cmd::WriteRawBytes,
    motor_cmd::WriteRawPacket, motor_cmd::ReadServoStatus, motor_cmd::ReadNeckStatus, motor_cmd::MoveTo,
    motor_cmd::FollowTrajectory, motor_cmd::StopMotion, motor_cmd::SetMotionLimits>;

}  // namespace quorvel
