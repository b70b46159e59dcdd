// The torso's hardware facts: which joint is which servo or motor, how each
// is addressed, and the neck's limits and default gains. Every other part of
// the module takes them from here.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "candrive/damiao/mit.hpp"

namespace quorvel {

// ---- Serial-bus servos ---------------------------------------------------

enum class ServoModel { SM40BL, STS3025BL };
enum class ServoGroup { LeftArm, RightArm, Nose };

struct ServoJoint {
    std::string_view name;
    std::uint8_t id;
    ServoModel model;
    ServoGroup group;
};

// The system-wide order of the seven servo joints (index 0 to 6): every
// seven-element position, voltage or torque list follows it.
inline constexpr std::array<ServoJoint, 7> kServoJoints{{
    {"left_arm_pitch", 1, ServoModel::SM40BL, ServoGroup::LeftArm},
    {"left_arm_yaw", 2, ServoModel::SM40BL, ServoGroup::LeftArm},
    {"right_arm_pitch", 3, ServoModel::SM40BL, ServoGroup::RightArm},
    {"right_arm_yaw", 4, ServoModel::SM40BL, ServoGroup::RightArm},
    {"nose_top", 5, ServoModel::STS3025BL, ServoGroup::Nose},
    {"nose_left", 6, ServoModel::STS3025BL, ServoGroup::Nose},
    {"nose_right", 7, ServoModel::STS3025BL, ServoGroup::Nose},
}};

// Id groups of the bus operations: the arm ids are the SM40BL servos, the
// nose ids the STS3025BL servos.
inline constexpr std::array<std::uint8_t, 7> kServoIds{1, 2, 3, 4, 5, 6, 7};
inline constexpr std::array<std::uint8_t, 4> kArmIds{1, 2, 3, 4};
inline constexpr std::array<std::uint8_t, 2> kLeftArmIds{1, 2};
inline constexpr std::array<std::uint8_t, 2> kRightArmIds{3, 4};
inline constexpr std::array<std::uint8_t, 3> kNoseIds{5, 6, 7};

// The joint of a servo id, or nothing for an id that is not on the torso.
constexpr const ServoJoint* servo_joint_by_id(std::uint8_t id) {
    for (const auto& joint : kServoJoints)
        if (joint.id == id) return &joint;
    return nullptr;
}

// ---- CAN-bus neck motors (Damiao, MIT mode) -------------------------------

struct NeckJoint {
    std::string_view name;
    std::uint16_t esc_id;  // commands are sent to this identifier
    std::uint16_t mst_id;  // feedback arrives on this identifier
    std::chrono::milliseconds timeout;  // reply time-out of every exchange
    candrive::damiao::MitLimits limits;  // must match the motor's PMAX/VMAX/TMAX registers
    float default_kp;
    float default_kd;
};

// The system-wide order of the neck joints (index 0 to 2).
inline constexpr std::array<NeckJoint, 3> kNeckJoints{{
    {"neck_yaw", 1, 1, std::chrono::milliseconds(20), {12.5F, 30.0F, 500.0F, 5.0F, 10.0F}, 30.0F, 1.0F},
    {"neck_pitch", 2, 2, std::chrono::milliseconds(20), {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
    {"neck_roll", 3, 3, std::chrono::milliseconds(20), {12.5F, 10.0F, 500.0F, 5.0F, 28.0F}, 60.0F, 2.0F},
}};

// Safety bounds (inclusive, rad) that every neck setter clamps to.
struct NeckBounds {
    double lower;
    double upper;
};
inline constexpr std::array<NeckBounds, 3> kNeckBounds{{
    {-0.5, 0.5},   // neck_yaw
    {0.0, 0.45},   // neck_pitch
    {-0.4, 0.4},   // neck_roll
}};

// ---- Motion limits ----------------------------------------------------------

// Default limits of the motions the control loop generates, as magnitudes.
struct MotionLimitDefaults {
    double max_velocity;      // rad/s
    double max_acceleration;  // rad/s^2
    double max_jerk;          // rad/s^3
};

enum class MotionGroup { Arms, Nose, Neck };

// Conservative, per group: the neck's velocity stays far inside the 10 rad/s
// velocity range of its slowest motor (see kNeckJoints).
inline constexpr std::array<MotionLimitDefaults, 3> kMotionDefaults{{
    {1.5, 6.0, 40.0},   // arms
    {2.0, 10.0, 80.0},  // nose
    {1.5, 6.0, 40.0},   // neck
}};

constexpr const MotionLimitDefaults& motion_defaults(MotionGroup group) {
    return kMotionDefaults[static_cast<std::size_t>(group)];
}

}  // namespace quorvel
