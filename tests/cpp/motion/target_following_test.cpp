// Single-joint target following and stops on thousands of random states,
// targets and limits.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

#include "motion/jerk_profile.hpp"
#include "motion_checks.hpp"

namespace {

using namespace quorvel::motion;
using namespace motion_test;

// Samples a profile at every tick and once at its end; false at the first failure.
bool check_every_tick(const JerkProfile& profile, const JointLimits& limits, const std::string& what) {
    TickChecker checker(limits, what);
    double t = 0.0;
    for (; t < profile.duration(); t += kTick) {
        if (!checker.check(profile.sample(t), kTick)) return false;
    }
    return checker.check(profile.sample(profile.duration()), profile.duration() - (t - kTick));
}

std::string describe(int n, const JointState& s, double target) {
    return "case " + std::to_string(n) + " from (" + std::to_string(s.position) + ", " + std::to_string(s.velocity) +
           ", " + std::to_string(s.acceleration) + ") to " + std::to_string(target);
}

TEST(MotionTargetFollowing, KeepsEveryLimitAndArrivesAtRestOnTarget) {
    for_random_starts(1, 4000, [](int n, std::mt19937_64& rng, const JointLimits& limits, const JointState& start) {
        const double target = random_target(rng, start);
        const TargetMotion motion(start, target, limits);
        // Stretched by up to 3x for half of the cases, as a synchronised joint is.
        const double duration = motion.min_duration() * (n % 2 ? 1.0 : uniform(rng, 1.0, 3.0)) + (n % 7 == 0);
        const JerkProfile profile = motion.profile(duration);
        const std::string what = describe(n, start, target);
        ASSERT_NEAR(profile.duration(), std::max(duration, motion.min_duration()), 1e-9) << what;
        ASSERT_TRUE(check_every_tick(profile, limits, what));
        // The segments themselves land on the target (the exact final state
        // only removes rounding).
        const JointState last = profile.sample(profile.duration() * (1 - 1e-12));
        ASSERT_NEAR(last.position, target, 1e-9) << what;
        ASSERT_NEAR(last.velocity, 0.0, 1e-9) << what;
        const JointState end = profile.sample(profile.duration());
        ASSERT_EQ(end.position, target);
        ASSERT_EQ(end.velocity, 0.0);
        ASSERT_EQ(end.acceleration, 0.0);
    });
}

TEST(MotionTargetFollowing, StopReachesRestWithinLimitsAtFullJerk) {
    for_random_starts(2, 4000, [](int n, std::mt19937_64&, const JointLimits& limits, const JointState& start) {
        const JerkProfile stop = plan_stop(start, limits);
        ASSERT_TRUE(check_every_tick(stop, limits, describe(n, start, NAN)));
        const JointState end = stop.sample(stop.duration());
        ASSERT_EQ(end.velocity, 0.0);
        ASSERT_EQ(end.acceleration, 0.0);
        ASSERT_NEAR(stop.sample(stop.duration() * (1 - 1e-12)).velocity, 0.0, 1e-9);
        // Every stop is bang-bang: the jerk is always at its limit or zero
        // while the acceleration is.
        for (int i = 0; i < stop.segments(); ++i) {
            ASSERT_TRUE(std::fabs(stop.jerk(i)) == limits.max_jerk || stop.jerk(i) == 0.0);
        }
    });
}

// A start the limits no longer allow (lowered at run time, or an
// acceleration that will carry the velocity past its limit) comes back within
// them at the jerk limit without a jump, and reaches the target.
TEST(MotionTargetFollowing, StartBeyondTheLimitsComesBackWithinThemContinuously) {
    std::mt19937_64 rng(3);
    for (int n = 0; n < 3000; ++n) {
        const JointLimits old_limits = random_limits(rng);
        const JointState start{0.0, uniform(rng, -old_limits.max_velocity, old_limits.max_velocity),
                               uniform(rng, -old_limits.max_acceleration, old_limits.max_acceleration)};
        const JointLimits limits{old_limits.max_velocity * uniform(rng, 0.1, 1.0),
                                 old_limits.max_acceleration * uniform(rng, 0.1, 1.0),
                                 old_limits.max_jerk * uniform(rng, 0.1, 1.0)};
        const double target = random_target(rng, start);
        const JerkProfile profile = n % 3 ? TargetMotion(start, target, limits).profile() : plan_stop(start, limits);
        const std::string what = describe(n, start, target);
        // Once the state is one from which the limits can be kept, they are.
        const auto recoverable = [&](const JointState& s) {
            return std::fabs(s.velocity) <= limits.max_velocity &&
                   std::fabs(velocity_after_ramp(s, limits.max_jerk)) <= limits.max_velocity &&
                   std::fabs(s.acceleration) <= limits.max_acceleration;
        };
        TickChecker checker(limits, what);
        bool recovered = recoverable(start);
        JointState previous = start;
        // A much lowered jerk limit can make the way back very long: at most
        // 5 000 samples.
        const double dt = std::max(kTick, profile.duration() / 5000);
        for (double t = dt; t < profile.duration() + dt; t += dt) {
            const JointState s = profile.sample(t);
            ASSERT_LE(std::fabs(s.acceleration - previous.acceleration),
                      limits.max_jerk * dt * (1 + kRelative) + kAbsolute)
                << what;
            ASSERT_LE(std::fabs(s.velocity - previous.velocity),
                      (std::max(std::fabs(s.acceleration), std::fabs(previous.acceleration)) + limits.max_jerk * dt) *
                              dt + kAbsolute)
                << what;
            if (recovered) {
                ASSERT_TRUE(checker.check(s, dt)) << what << " at " << t;
            } else if (std::fabs(s.acceleration) > limits.max_acceleration * (1 + kRelative)) {
                // Beyond the acceleration limit the acceleration only shrinks.
                ASSERT_LT(std::fabs(s.acceleration), std::fabs(previous.acceleration)) << what;
            }
            recovered = recovered || recoverable(s);
            previous = s;
        }
        ASSERT_TRUE(recovered) << what;
        const JointState end = profile.sample(profile.duration());
        if (n % 3) {
            ASSERT_EQ(end.position, target) << what;
        }
        ASSERT_EQ(end.velocity, 0.0);
    }
}

}  // namespace
