// Values the control loop publishes: one reading of the ten joint positions
// and the loop's timing statistics. Plain C++ values, copied freely.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "control_loop/sample_window.hpp"

namespace quorvel {

// Wall-clock seconds since the Unix epoch with the fraction of the second;
// 0.0 when the clock reads earlier than the epoch.
double wall_clock_timestamp();

// One complete reading of the torso's joints, in radians.
struct QuorvelTorsoPosition {
    std::array<double, 2> left_arm{};   // pitch, yaw
    std::array<double, 2> right_arm{};  // pitch, yaw
    std::array<double, 3> nose{};       // top, left, right
    std::array<double, 3> neck{};       // yaw, pitch, roll
    double timestamp = 0.0;             // wall_clock_timestamp() when taken

    // From the seven servo positions in joint order (left_arm_pitch,
    // left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left,
    // nose_right) and the three neck positions, stamped now.
    static QuorvelTorsoPosition from_servos(const std::array<double, 7>& servos,
                                            const std::array<double, 3>& neck);
    // The seven servo positions in that joint order (the neck left out).
    std::array<double, 7> servos() const;

    // "QuorvelTorsoPosition(left_arm=[1.0, 2.0], ..., timestamp=1712.345)"
    std::string repr() const;

    friend bool operator==(const QuorvelTorsoPosition&, const QuorvelTorsoPosition&) = default;
};

// Timing samples of a running loop, each in seconds. The sequences share
// the loop's storage: a copy costs the same whatever the sample count.
struct ControlLoopStats {
    // The loop keeps at most this many of the most recent samples per sequence.
    static constexpr std::size_t kMaxSamples = 100'000;

    SampleSeq period;    // tick start to next tick start
    SampleSeq read_dt;   // tick start to the end of its position read
    SampleSeq write_dt;  // command dequeued to the end of its execution

    // "ControlLoopStats(period=~15.00ms, read_dt=~NaN ms, write_dt=~NaN ms)":
    // means in milliseconds, NaN for an empty sequence.
    std::string repr() const;

    friend bool operator==(const ControlLoopStats&, const ControlLoopStats&) = default;
};

}  // namespace quorvel
