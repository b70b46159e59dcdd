// Cost of the motion layer for the torso's ten joints: planning a new target
// for all ten while they move (the loop's worst case when targets stream in),
// a tick's set points for ten joints under motion (target following and
// timed trajectories), and planning a timed trajectory. Prints p50, p99 and
// max in microseconds.
//
//   motion_bench [repetitions]
//
// The time-optimality check against an independent reference is
// tests/reference/check_motion_optimality.py.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "motion/group.hpp"

namespace {

using namespace quorvel::motion;
using Clock = std::chrono::steady_clock;

// Limits of the kind the torso's joints have: arms, nose, neck.
const std::vector<std::string> kNames = {"right_shoulder", "right_elbow", "left_shoulder", "left_elbow", "nose_left",
                                         "nose_right",     "nose_tilt",   "neck_yaw",      "neck_pitch", "neck_roll"};
const std::vector<JointLimits> kLimits = {{3.0, 20.0, 200.0}, {3.0, 20.0, 200.0}, {3.0, 20.0, 200.0},
                                          {3.0, 20.0, 200.0}, {4.0, 30.0, 400.0}, {4.0, 30.0, 400.0},
                                          {4.0, 30.0, 400.0}, {2.0, 10.0, 100.0}, {2.0, 10.0, 100.0},
                                          {2.0, 10.0, 100.0}};
constexpr double kTick = 0.002;

struct Samples {
    std::vector<double> micros;
    void add(Clock::duration d) { micros.push_back(std::chrono::duration<double, std::micro>(d).count()); }
    void print(const char* label) {
        std::sort(micros.begin(), micros.end());
        const auto at = [&](double p) { return micros[static_cast<std::size_t>(p * static_cast<double>(micros.size() - 1))]; };
        std::printf("%-44s n=%zu  p50 %7.2f us  p99 %7.2f us  max %8.2f us\n", label, micros.size(), at(0.50),
                    at(0.99), micros.back());
    }
};

Group make_group() {
    auto group = Group::create(kNames, kLimits);
    if (!group.ok()) {
        std::fprintf(stderr, "%s\n", group.error().message.c_str());
        std::exit(1);
    }
    return std::move(group).value();
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> position(-1.0, 1.0);
    JointSet all;
    all.set();

    // New targets for all ten joints every 15 ticks (about 30 Hz), from the
    // moving states the previous targets left them in.
    Group group = make_group();
    PerJoint<JointState> set_points{};
    PerJoint<double> targets{};
    Samples planning, ticks;
    double now = 0.0;
    for (int i = -repetitions / 10; i < repetitions; ++i) {  // the first tenth warms up
        for (auto& target : targets) target = position(rng);
        const auto start = Clock::now();
        const bool ok = group.move_to(now, all, targets, set_points).ok();
        const auto planned = Clock::now();
        if (!ok) return 1;
        for (int t = 0; t < 15; ++t) {
            const auto tick_start = Clock::now();
            group.advance(now += kTick, set_points);
            const auto tick_end = Clock::now();
            if (i >= 0) ticks.add(tick_end - tick_start);
        }
        if (i >= 0) planning.add(planned - start);
    }
    planning.print("plan a new target, 10 moving joints");
    ticks.print("tick set points, 10 joints following targets");

    // A timed trajectory of 20 waypoints for all ten joints, from rest at
    // the first one.
    Trajectory trajectory;
    for (std::size_t j = 0; j < kNames.size(); ++j) trajectory.joints.push_back(j);
    for (int k = 0; k < 20; ++k) {
        trajectory.times.push_back(0.25 * (k + 1));
        std::vector<double> row;
        for (std::size_t j = 0; j < kNames.size(); ++j) row.push_back(0.1 * std::sin(0.3 * k + static_cast<double>(j)));
        trajectory.positions.push_back(row);
    }
    PerJoint<JointState> at_rest{};
    for (std::size_t j = 0; j < kNames.size(); ++j) at_rest[j] = {trajectory.positions[0][j], 0.0, 0.0};
    Samples trajectory_planning, trajectory_ticks;
    const int trajectories = std::max(10, repetitions / 100);
    for (int i = 0; i < trajectories; ++i) {
        group.cancel(all);
        const auto start = Clock::now();
        const auto result = group.follow(now, trajectory, at_rest);
        trajectory_planning.add(Clock::now() - start);
        if (!result.ok()) {
            std::fprintf(stderr, "%s\n", result.error().message.c_str());
            return 1;
        }
        while (group.active().any()) {
            const auto tick_start = Clock::now();
            group.advance(now += kTick, set_points);
            trajectory_ticks.add(Clock::now() - tick_start);
        }
    }
    trajectory_planning.print("plan a trajectory, 10 joints x 20 waypoints");
    trajectory_ticks.print("tick set points, 10 joints on a trajectory");
    return 0;
}
