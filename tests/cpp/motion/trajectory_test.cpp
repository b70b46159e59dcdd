// Timed trajectories: through the waypoints at their times without a jump,
// checked against the limits before they start, past waypoints skipped.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "motion/group.hpp"
#include "motion_checks.hpp"

namespace {

using namespace quorvel::motion;
using namespace motion_test;

Group make_group(const std::vector<JointLimits>& limits) {
    return std::move(Group::create(std::span(kNames.data(), limits.size()), limits)).value();
}

Trajectory random_trajectory(std::mt19937_64& rng, const PerJoint<JointState>& from, bool with_velocities) {
    Trajectory trajectory;
    for (std::size_t j = 0; j < max_joints; ++j) {
        if (rng() % 3 == 0) trajectory.joints.push_back(j);
    }
    if (trajectory.joints.empty()) trajectory.joints.push_back(rng() % max_joints);
    const int waypoints = 1 + static_cast<int>(rng() % 8);
    double t = 0.0;
    std::vector<double> position(trajectory.joints.size());
    for (std::size_t i = 0; i < position.size(); ++i) position[i] = from[trajectory.joints[i]].position;
    for (int k = 0; k < waypoints; ++k) {
        trajectory.times.push_back(t += uniform(rng, 0.2, 1.0));
        std::vector<double> velocity(position.size());
        for (std::size_t i = 0; i < position.size(); ++i) {
            position[i] += uniform(rng, -0.5, 0.5);
            velocity[i] = k + 1 == waypoints && rng() % 2 ? 0.0 : uniform(rng, -0.5, 0.5);
        }
        trajectory.positions.push_back(position);
        if (with_velocities) trajectory.velocities.push_back(velocity);
    }
    return trajectory;
}

// Moving start states: a few ticks into a move of every joint.
PerJoint<JointState> start_moving(std::mt19937_64& rng, Group& group, double& now) {
    PerJoint<JointState> set_points{};
    PerJoint<double> targets{};
    for (auto& target : targets) target = uniform(rng, -1.0, 1.0);
    JointSet all;
    all.set();
    EXPECT_TRUE(group.move_to(now, all, targets, set_points).ok());
    for (int ticks = static_cast<int>(rng() % 100); ticks > 0; --ticks) group.advance(now += kTick, set_points);
    return set_points;
}

TEST(MotionTrajectory, PassesThroughWaypointsAtTheirTimesWithoutJumps) {
    std::mt19937_64 rng(21);
    Group group = make_group(std::vector<JointLimits>(max_joints, JointLimits{100.0, 1000.0, 1e4}));
    for (int n = 0; n < 1000; ++n) {
        double now = 50.0 * n;
        const PerJoint<JointState> from = start_moving(rng, group, now);
        const bool with_velocities = n % 2;
        const Trajectory trajectory = random_trajectory(rng, from, with_velocities);
        // A third start late, past some waypoints (a past start time).
        const std::size_t passed = n % 3 == 0 ? rng() % trajectory.times.size() : 0;
        const double elapsed = passed > 0 ? trajectory.times[passed - 1] + uniform(rng, 0.0, 0.05) : 0.0;
        ASSERT_TRUE(group.follow(now, trajectory, from, elapsed).ok());
        for (std::size_t i = 0; i < trajectory.joints.size(); ++i) {
            const std::size_t j = trajectory.joints[i];
            const JointState at_start = *group.set_point(now, j);
            ASSERT_EQ(at_start.position, from[j].position);
            ASSERT_EQ(at_start.velocity, from[j].velocity);
            ASSERT_EQ(at_start.acceleration, from[j].acceleration);
            for (std::size_t k = 0; k < trajectory.times.size(); ++k) {
                if (trajectory.times[k] <= elapsed) continue;  // skipped
                const double t = now + (trajectory.times[k] - elapsed);
                const JointState at = *group.set_point(t, j);
                ASSERT_NEAR(at.position, trajectory.positions[k][i], 1e-9) << "case " << n;
                if (with_velocities) {
                    ASSERT_NEAR(at.velocity, trajectory.velocities[k][i], 1e-9);
                }
                // Continuous through the waypoint: over 0.2 us the velocity
                // changes by what the acceleration allows, the acceleration
                // by far less than a jump.
                const JointState before = *group.set_point(t - 1e-7, j), after = *group.set_point(t + 1e-7, j);
                const double a = std::max(std::fabs(before.acceleration), std::fabs(after.acceleration));
                ASSERT_NEAR(before.velocity, after.velocity, 2e-7 * a * 1.01 + 1e-9);
                ASSERT_NEAR(before.acceleration, after.acceleration, 1e-2);
            }
        }
        // Ends at rest: at the last waypoint, or after a stop from its velocity.
        const double end = now + group.time_left(now);
        PerJoint<JointState> set_points{};
        group.advance(end, set_points);
        ASSERT_TRUE(group.active().none());
        for (std::size_t i = 0; i < trajectory.joints.size(); ++i) {
            const JointState& last = set_points[trajectory.joints[i]];
            ASSERT_EQ(last.velocity, 0.0);
            if (!with_velocities || trajectory.velocities.back()[i] == 0.0) {
                ASSERT_EQ(last.position, trajectory.positions.back()[i]);
            }
        }
    }
}

// The check before the start agrees with the path sampled every 0.5 ms: an
// accepted trajectory stays within the limits, a refused one exceeds the
// named limit of the named joint before the named waypoint, and nothing
// earlier does.
TEST(MotionTrajectory, CheckBeforeTheStartAgreesWithTheSampledPath) {
    std::mt19937_64 rng(22);
    int refused = 0;
    for (int n = 0; n < 500; ++n) {
        std::vector<JointLimits> limits;
        for (std::size_t j = 0; j < max_joints; ++j) {
            limits.push_back({log_uniform(rng, 1.0, 10.0), log_uniform(rng, 5.0, 100.0), 1000.0});
        }
        Group group = make_group(limits);
        Group unlimited = make_group(std::vector<JointLimits>(max_joints, JointLimits{1e6, 1e6, 1e6}));
        double now = 0.0;
        const PerJoint<JointState> from{};
        const Trajectory trajectory = random_trajectory(rng, from, n % 2);
        const auto result = group.follow(now, trajectory, from);
        ASSERT_TRUE(unlimited.follow(now, trajectory, from).ok());

        // The first span (in time) where a joint exceeds a limit.
        std::size_t bad_waypoint = trajectory.times.size();
        for (std::size_t k = 0; k < trajectory.times.size() && bad_waypoint == trajectory.times.size(); ++k) {
            const double t0 = k == 0 ? 0.0 : trajectory.times[k - 1];
            for (double t = t0; t <= trajectory.times[k]; t += 5e-4) {
                for (const std::size_t j : trajectory.joints) {
                    const JointState s = *unlimited.set_point(t, j);
                    if (std::fabs(s.velocity) > limits[j].max_velocity * (1 + kRelative) ||
                        std::fabs(s.acceleration) > limits[j].max_acceleration * (1 + kRelative)) {
                        bad_waypoint = k;
                    }
                }
            }
        }
        if (result.ok()) {
            ASSERT_EQ(bad_waypoint, trajectory.times.size()) << "case " << n << " accepted";
            continue;
        }
        ++refused;
        ASSERT_EQ(result.error().kind, ErrorKind::OverLimit) << result.error().message;
        // The named waypoint is the one found by sampling, or the one after
        // when the excess is too brief for the sampling to see it first.
        std::smatch m;
        const std::regex form(R"(trajectory: (\w+) would reach ([0-9.e+-]+) (rad/s|rad/s\^2) before waypoint (\d+), )"
                              R"(over its (velocity|acceleration) limit of ([0-9.e+-]+) (rad/s|rad/s\^2))");
        ASSERT_TRUE(std::regex_match(result.error().message, m, form)) << result.error().message;
        const std::size_t named = std::stoul(m[4]);
        ASSERT_LE(named, bad_waypoint) << result.error().message;
        ASSERT_GT(std::stod(m[2]), std::stod(m[6]));
        ASSERT_EQ(m[3], m[7]);
    }
    // Both answers occur often.
    EXPECT_GT(refused, 100);
    EXPECT_LT(refused, 400);
}

TEST(MotionTrajectory, RefusalNamesJointWaypointAndLimitAndChangesNothing) {
    Group group = make_group({{1.0, 2.0, 10.0}, {1.0, 2.0, 10.0}, {2.0, 100.0, 1000.0}});
    const PerJoint<JointState> from{};
    const Trajectory too_fast{{2, 0}, {1.0, 2.0}, {{0.5, 0.0}, {3.0, 0.0}}, {{0.5, 0.0}, {0.0, 0.0}}};
    auto refused = group.follow(0.0, too_fast, from);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, ErrorKind::OverLimit);
    const std::regex velocity(R"(trajectory: left_shoulder would reach [0-9.]+ rad/s before waypoint 1, )"
                              R"(over its velocity limit of 2 rad/s)");
    EXPECT_TRUE(std::regex_match(refused.error().message, velocity)) << refused.error().message;

    const Trajectory too_sudden{{0}, {0.2}, {{0.05}}, {}};
    refused = group.follow(0.0, too_sudden, from);
    const std::regex acceleration(R"(trajectory: right_shoulder would reach [0-9.]+ rad/s\^2 before waypoint 0, )"
                                  R"(over its acceleration limit of 2 rad/s\^2)");
    EXPECT_TRUE(std::regex_match(refused.error().message, acceleration)) << refused.error().message;
    EXPECT_TRUE(group.active().none());
}

TEST(MotionTrajectory, WaypointsAlreadyPassedAreSkippedNotRushed) {
    Group group = make_group({{2.0, 10.0, 100.0}});
    const PerJoint<JointState> from{};
    // Waypoint 1 is far away: the path must not go there.
    const Trajectory trajectory{{0}, {0.5, 1.0, 1.5, 2.0}, {{0.1}, {3.0}, {0.2}, {0.0}}, {}};
    ASSERT_TRUE(group.follow(10.0, trajectory, from, 1.2).ok());
    EXPECT_NEAR(group.time_left(10.0), 0.8, 1e-12);
    for (double t = 10.0; t <= 10.8; t += kTick) EXPECT_LT(std::fabs(group.set_point(t, 0)->position), 0.5);
    EXPECT_NEAR(group.set_point(10.3, 0)->position, 0.2, 1e-12);

    // All passed: the joint goes to the last waypoint within its limits.
    PerJoint<JointState> at{};
    group.advance(20.0, at);
    at[0].position = 1.0;
    ASSERT_TRUE(group.follow(20.0, trajectory, at, 2.5).ok());
    EXPECT_NEAR(group.time_left(20.0), TargetMotion(at[0], 0.0, group.limits(0)).min_duration(), 1e-12);
    EXPECT_EQ(group.target(0), 0.0);
}

TEST(MotionTrajectory, RefusesBadInputNamingWhatIsWrong) {
    Group group = make_group({{1.0, 2.0, 10.0}, {1.0, 2.0, 10.0}});
    const PerJoint<JointState> from{};
    const auto refusal = [&](const Trajectory& t, double elapsed = 0.0) {
        const auto result = group.follow(0.0, t, from, elapsed);
        return result.ok() ? std::string("accepted") : result.error().message;
    };
    EXPECT_EQ(refusal({{}, {1.0}, {{}}, {}}), "trajectory: no joints");
    EXPECT_EQ(refusal({{0, 0}, {1.0}, {{0.1, 0.1}}, {}}), "trajectory: right_shoulder is named twice");
    EXPECT_EQ(refusal({{0}, {}, {}, {}}), "trajectory: no waypoints");
    EXPECT_EQ(refusal({{0}, {1.0, 2.0}, {{0.1}}, {}}), "trajectory: 2 times for 1 waypoints of positions");
    EXPECT_EQ(refusal({{0, 1}, {1.0}, {{0.1}}, {}}), "trajectory: waypoint 0 has 1 positions for 2 joints");
    EXPECT_EQ(refusal({{0}, {1.0}, {{0.1}}, {{0.1, 0.2}}}), "trajectory: waypoint 0 has 2 velocities for 1 joints");
    EXPECT_EQ(refusal({{1}, {1.0, 2.0}, {{0.1}, {NAN}}, {}}), "trajectory: position of right_elbow at waypoint 1 is NaN");
    EXPECT_EQ(refusal({{1}, {1.0}, {{0.1}}, {{-INFINITY}}}), "trajectory: velocity of right_elbow at waypoint 0 is -inf");
    EXPECT_EQ(refusal({{0}, {0.0}, {{0.1}}, {}}), "trajectory: time of waypoint 0 must be positive (got 0)");
    EXPECT_EQ(refusal({{0}, {1.0, 1.0}, {{0.1}, {0.1}}, {}}),
              "trajectory: time of waypoint 1 (1 s) is not after that of waypoint 0 (1 s)");
    EXPECT_EQ(refusal({{0}, {1.0}, {{0.1}}, {}}, -1.0),
              "trajectory: elapsed time must be finite and not negative (got -1)");
    const auto unknown = group.follow(0.0, {{2}, {1.0}, {{0.1}}, {}}, from);
    EXPECT_EQ(unknown.error().kind, ErrorKind::UnknownJoint);
    EXPECT_EQ(unknown.error().message, "trajectory: joint index 2 is not in the group");
    EXPECT_TRUE(group.active().none());
}

}  // namespace
