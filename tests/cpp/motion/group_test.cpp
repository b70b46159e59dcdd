// A group of joints: synchronised arrival, replacements, stops and limit
// changes at any tick, and which joints it writes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "motion/group.hpp"
#include "motion_checks.hpp"

namespace {

using namespace quorvel::motion;
using namespace motion_test;

Group random_group(std::mt19937_64& rng, std::size_t size, std::vector<JointLimits>& limits) {
    limits.clear();
    for (std::size_t j = 0; j < size; ++j) limits.push_back(random_limits(rng));
    auto group = Group::create(std::span(kNames.data(), size), limits);
    EXPECT_TRUE(group.ok());
    return std::move(group).value();
}

JointSet random_subset(std::mt19937_64& rng, std::size_t size) {
    JointSet joints;
    for (std::size_t j = 0; j < size; ++j) joints[j] = rng() % 2 == 0;
    return joints;
}

PerJoint<double> random_targets(std::mt19937_64& rng, const PerJoint<JointState>& from) {
    PerJoint<double> targets{};
    for (std::size_t j = 0; j < max_joints; ++j) targets[j] = random_target(rng, from[j]);
    return targets;
}

// Moves all ten joints, then gives new targets mid-motion: from these moving
// states all arrive on the same tick, at rest on their targets.
TEST(MotionGroup, SynchronisedJointsArriveOnTheSameTick) {
    std::mt19937_64 rng(11);
    for (int n = 0; n < 200; ++n) {
        std::vector<JointLimits> limits;
        Group group = random_group(rng, max_joints, limits);
        PerJoint<JointState> set_points{};
        JointSet all;
        all.set();
        double now = uniform(rng, 0.0, 100.0);
        ASSERT_TRUE(group.move_to(now, all, random_targets(rng, set_points), set_points).ok());
        for (int ticks = static_cast<int>(rng() % 200); ticks > 0; --ticks) group.advance(now += kTick, set_points);

        PerJoint<double> targets = random_targets(rng, set_points);
        for (std::size_t j = 0; j < max_joints; ++j) {
            // Often just past where the joint would stop: it eases its braking.
            const double stop = plan_stop(set_points[j], limits[j]).final_state().position;
            if (rng() % 3 == 0) targets[j] = stop + (stop - set_points[j].position) * uniform(rng, 0.0, 0.1);
        }
        const double min_duration = n % 4 == 0 ? uniform(rng, 0.0, 3.0) : 0.0;
        JointSet going;  // joints with somewhere to go
        for (std::size_t j = 0; j < max_joints; ++j) {
            const JointState& s = set_points[j];
            going[j] = s.velocity != 0.0 || s.acceleration != 0.0 || s.position != targets[j];
        }
        ASSERT_TRUE(group.move_to(now, all, targets, set_points, min_duration).ok());
        const double time_left = group.time_left(now);
        ASSERT_GE(time_left, min_duration - 1e-9);
        std::vector<TickChecker> checkers;
        for (std::size_t j = 0; j < max_joints; ++j) checkers.emplace_back(limits[j], kNames[j]);
        for (std::size_t j = 0; j < max_joints; ++j) checkers[j].check(set_points[j], 0.0);
        int ticks = 0;
        while (group.active().any()) {
            const JointSet moving = group.active();
            PerJoint<JointState> previous = set_points;
            ASSERT_EQ(group.advance(now += kTick, set_points), moving);
            ++ticks;
            // Either all are still moving or all have arrived.
            ASSERT_TRUE(group.active().none() || group.active().all()) << "case " << n << " tick " << ticks;
            for (std::size_t j = 0; j < max_joints; ++j) ASSERT_TRUE(checkers[j].check(set_points[j], kTick));
            if (group.active().none()) {
                // None arrived early: each was still moving on the tick before.
                for (std::size_t j = 0; j < max_joints; ++j) {
                    if (going[j] && ticks > 1) {
                        ASSERT_NE(previous[j].velocity, 0.0) << "case " << n << " joint " << j;
                    }
                }
            }
        }
        ASSERT_EQ(ticks, static_cast<int>(std::ceil(time_left / kTick - 1e-9)));
        ASSERT_EQ(group.time_left(now), 0.0);
        for (std::size_t j = 0; j < max_joints; ++j) {
            ASSERT_EQ(set_points[j].position, targets[j]);
            ASSERT_EQ(set_points[j].velocity, 0.0);
        }
    }
}

// A joint braking towards a target just past where it would stop reaches
// some longer durations only by arriving early: a synchronised move (here
// its minimum duration) lasts longer instead, and the joint moves to the end.
TEST(MotionGroup, BrakingJointStretchedNeverArrivesEarly) {
    std::mt19937_64 rng(14);
    int found = 0;
    for (int attempt = 0; attempt < 200000 && found < 100; ++attempt) {
        const JointLimits limits = random_limits(rng);
        const JointState start = random_state(rng, limits);
        const double stop = plan_stop(start, limits).final_state().position;
        const double target = stop + (stop - start.position) * uniform(rng, 0.0, 0.1);
        const TargetMotion motion(start, target, limits);
        const double wanted = motion.min_duration() * uniform(rng, 1.0, 1.5);
        if (!(motion.exact_duration(wanted) > wanted)) continue;
        ++found;
        auto group = std::move(Group::create(std::span(kNames.data(), 1), std::vector<JointLimits>{limits})).value();
        PerJoint<JointState> set_points{};
        set_points[0] = start;
        PerJoint<double> targets{};
        targets[0] = target;
        ASSERT_TRUE(group.move_to(0.0, JointSet(1), targets, set_points, wanted).ok());
        const double end = group.time_left(0.0);
        ASSERT_NEAR(end, motion.exact_duration(wanted), 1e-12);
        ASSERT_NE(group.set_point(end - 1e-6, 0)->velocity, 0.0);
    }
    EXPECT_EQ(found, 100);
}

// Random new targets, stops and limit raises at random ticks over minutes
// of motion: the set points never exceed a limit nor jump.
TEST(MotionGroup, ReplacementsAndStopsAtAnyTickStayContinuousAndWithinLimits) {
    std::mt19937_64 rng(12);
    for (int run = 0; run < 20; ++run) {
        std::vector<JointLimits> limits;
        Group group = random_group(rng, max_joints, limits);
        std::vector<TickChecker> checkers;
        for (std::size_t j = 0; j < max_joints; ++j) checkers.emplace_back(limits[j], kNames[j]);
        PerJoint<JointState> set_points{};
        double now = 0.0;
        for (int tick = 0; tick < 5000; ++tick) {
            const auto dice = rng() % 1000;
            if (dice < 30) {
                ASSERT_TRUE(group
                                .move_to(now, random_subset(rng, max_joints), random_targets(rng, set_points),
                                         set_points, dice < 5 ? uniform(rng, 0.0, 2.0) : 0.0)
                                .ok());
            } else if (dice < 40) {
                group.stop(now, random_subset(rng, max_joints));
            } else if (dice < 42) {
                // Raised limits apply from now on.
                const std::size_t j = rng() % max_joints;
                const JointLimits raised{limits[j].max_velocity * uniform(rng, 1.0, 2.0),
                                         limits[j].max_acceleration * uniform(rng, 1.0, 2.0),
                                         limits[j].max_jerk * uniform(rng, 1.0, 2.0)};
                ASSERT_TRUE(group.set_limits(now, j, raised).ok());
                limits[j] = raised;
                checkers[j].set_limits(raised);
            }
            const JointSet written = group.advance(now += kTick, set_points);
            for (std::size_t j = 0; j < max_joints; ++j) {
                ASSERT_TRUE(checkers[j].check(set_points[j], kTick)) << "run " << run << " tick " << tick;
                ASSERT_TRUE(written[j] || !group.active()[j]);
            }
        }
    }
}

// Limits lowered below the present state: back within them as fast as the
// old jerk allows, without a jump, then on to the same target.
TEST(MotionGroup, LoweredLimitsBringTheJointBackWithinThemContinuously) {
    std::mt19937_64 rng(13);
    for (int n = 0; n < 2000; ++n) {
        std::vector<JointLimits> limits;
        Group group = random_group(rng, 1, limits);
        PerJoint<JointState> set_points{};
        PerJoint<double> targets{};
        targets[0] = uniform(rng, -3.0, 3.0);
        double now = 0.0;
        ASSERT_TRUE(group.move_to(now, JointSet(1), targets, set_points).ok());
        for (int ticks = static_cast<int>(rng() % 500); ticks > 0; --ticks) group.advance(now += kTick, set_points);
        const JointLimits old = limits[0];
        const JointLimits lowered{old.max_velocity * uniform(rng, 0.1, 1.0), old.max_acceleration * uniform(rng, 0.1, 1.0),
                                  old.max_jerk * uniform(rng, 0.1, 1.0)};
        ASSERT_TRUE(group.set_limits(now, 0, lowered).ok());
        const bool moving = group.active()[0];

        const auto recoverable = [&](const JointState& s) {
            return std::fabs(s.velocity) <= lowered.max_velocity &&
                   std::fabs(velocity_after_ramp(s, lowered.max_jerk)) <= lowered.max_velocity &&
                   std::fabs(s.acceleration) <= lowered.max_acceleration;
        };
        TickChecker checker(lowered, "case " + std::to_string(n));
        bool recovered = recoverable(set_points[0]);
        JointState previous = set_points[0];
        while (group.active()[0]) {
            group.advance(now += kTick, set_points);
            const JointState& s = set_points[0];
            ASSERT_LE(std::fabs(s.acceleration - previous.acceleration),
                      std::max(old.max_jerk, lowered.max_jerk) * kTick * (1 + kRelative) + kAbsolute);
            if (recovered) {
                ASSERT_TRUE(checker.check(s, kTick));
            }
            recovered = recovered || recoverable(s);
            previous = s;
        }
        if (moving) {
            ASSERT_EQ(set_points[0].position, targets[0]);
        }
        ASSERT_EQ(set_points[0].velocity, 0.0);
    }
}

TEST(MotionGroup, WritesOnlyJointsUnderMotionAndAnswersForThem) {
    const std::vector<JointLimits> limits(3, JointLimits{1.0, 2.0, 10.0});
    auto created = Group::create(std::span(kNames.data(), 3), limits);
    ASSERT_TRUE(created.ok());
    Group group = std::move(created).value();
    EXPECT_EQ(group.index_of("left_shoulder"), 2u);
    EXPECT_EQ(group.index_of("neck_yaw"), std::nullopt);

    PerJoint<JointState> idle{};
    PerJoint<double> targets{};
    targets[0] = 1.0;
    targets[2] = -0.5;
    ASSERT_TRUE(group.move_to(10.0, JointSet(0b101), targets, idle).ok());
    EXPECT_EQ(group.active(), JointSet(0b101));
    EXPECT_EQ(group.target(0), 1.0);
    EXPECT_EQ(group.target(1), std::nullopt);
    const double duration = group.time_left(10.0);
    EXPECT_GT(duration, 0.0);

    PerJoint<JointState> set_points{};
    set_points[1] = {7.0, 7.0, 7.0};
    EXPECT_EQ(group.advance(10.5, set_points), JointSet(0b101));
    EXPECT_EQ(set_points[1].position, 7.0);
    EXPECT_GT(set_points[0].position, 0.0);

    group.cancel(JointSet(0b001));
    EXPECT_EQ(group.active(), JointSet(0b100));
    set_points[0] = {7.0, 7.0, 7.0};
    EXPECT_EQ(group.advance(10.6, set_points), JointSet(0b100));
    EXPECT_EQ(set_points[0].position, 7.0);

    // A stop comes to rest short of the target, sooner.
    group.stop(10.6, JointSet(0b111));
    EXPECT_EQ(group.active(), JointSet(0b100));
    EXPECT_GT(*group.target(2), -0.5);
    EXPECT_LT(group.time_left(10.6), duration - 0.6);
    const double end = 10.6 + group.time_left(10.6);
    group.advance(end, set_points);
    EXPECT_TRUE(group.active().none());
    EXPECT_EQ(group.time_left(end), 0.0);
    EXPECT_EQ(group.set_point(end, 2), std::nullopt);
}

TEST(MotionGroup, RefusesBadInputNamingWhatIsWrongAndChangesNothing) {
    const JointLimits ok{1.0, 2.0, 10.0};
    const std::vector<std::string> twice = {"neck_yaw", "neck_yaw"};
    EXPECT_EQ(Group::create(twice, std::vector<JointLimits>(2, ok)).error().message,
              "motion group: neck_yaw is named twice");
    const std::vector<std::string> one = {"neck_yaw"};
    EXPECT_EQ(Group::create(one, std::vector<JointLimits>{{1.0, 2.0, 0.0}}).error().message,
              "motion limits of neck_yaw: max_jerk must be positive and finite (got 0)");
    EXPECT_EQ(Group::create(one, std::vector<JointLimits>{{NAN, 2.0, 1.0}}).error().message,
              "motion limits of neck_yaw: max_velocity must be positive and finite (got NaN)");
    EXPECT_EQ(Group::create(std::vector<std::string>(11, "x"), std::vector<JointLimits>(11, ok)).error().message,
              "motion group: 11 joints, at most 10");

    auto group = std::move(Group::create(one, std::vector<JointLimits>{ok})).value();
    PerJoint<JointState> idle{};
    PerJoint<double> targets{};
    targets[0] = NAN;
    auto refused = group.move_to(0.0, JointSet(1), targets, idle);
    EXPECT_EQ(refused.error().kind, ErrorKind::InvalidInput);
    EXPECT_EQ(refused.error().message, "move: target of neck_yaw is NaN");
    targets[0] = 1.0;
    refused = group.move_to(0.0, JointSet(0b10), targets, idle);
    EXPECT_EQ(refused.error().kind, ErrorKind::UnknownJoint);
    EXPECT_EQ(refused.error().message, "move: joint index 1 is not in the group");
    EXPECT_EQ(group.move_to(0.0, JointSet(1), targets, idle, -1.0).error().message,
              "move: minimum duration must be finite and not negative (got -1)");
    EXPECT_EQ(group.set_limits(0.0, 0, {1.0, -2.0, 1.0}).error().message,
              "motion limits of neck_yaw: max_acceleration must be positive and finite (got -2)");
    EXPECT_TRUE(group.active().none());
    EXPECT_EQ(group.limits(0).max_acceleration, 2.0);
}

}  // namespace
