// Values shared by every part of the motion layer: a joint's limits and set
// point, and the layer's error value.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/result.hpp"

namespace quorvel::motion {

// The most joints one group moves together (the torso has ten).
inline constexpr std::size_t max_joints = 10;

// A joint's motion limits, as magnitudes; each must be positive and finite.
struct JointLimits {
    double max_velocity;      // rad/s
    double max_acceleration;  // rad/s^2
    double max_jerk;          // rad/s^3
};

// A joint's set point at one instant.
struct JointState {
    double position;      // rad
    double velocity;      // rad/s
    double acceleration;  // rad/s^2
};

// What kind of refusal an error is, so that callers can map it (all three
// are bad input seen from the user's side).
enum class ErrorKind {
    InvalidInput,  // NaN or infinite values, wrong lengths, times not increasing, ...
    UnknownJoint,  // a joint index or name the group does not have
    OverLimit,     // a trajectory that would exceed a joint's limit
};

// A refusal with its display text; nothing was changed when one is returned.
struct Error {
    ErrorKind kind;
    std::string message;
};

// Result of a fallible motion operation.
template <class T>
using Result = common::Result<T, Error>;

// Refuses limits that are not all positive and finite, naming the joint and
// the limit: "motion limits of neck_yaw: max_jerk must be positive and finite (got 0)".
Result<void> check_limits(std::string_view joint, const JointLimits& limits);

}  // namespace quorvel::motion
