// The loop thread samples set points every tick: that must never allocate.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "motion/group.hpp"
#include "motion_checks.hpp"

namespace {
std::atomic<long> allocations{0};
}  // namespace

// Counts every allocation of this test program. Not inlined, so that the
// compiler does not pair its own idea of new with this free.
[[gnu::noinline]] void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace quorvel::motion;
using namespace motion_test;

TEST(MotionAllocation, TicksNeverAllocate) {
    auto group = std::move(Group::create(kNames, std::vector<JointLimits>(max_joints, {2.0, 10.0, 100.0}))).value();
    PerJoint<JointState> set_points{};
    PerJoint<double> targets{};
    for (std::size_t j = 0; j < max_joints; ++j) targets[j] = 0.1 * static_cast<double>(j);
    JointSet first_half(0b11111), all;
    all.set();
    ASSERT_TRUE(group.move_to(0.0, first_half, targets, set_points).ok());
    const Trajectory trajectory{{5, 6, 7, 8, 9}, {0.5, 1.0}, {{0.1, 0.1, 0.1, 0.1, 0.1}, {0.0, 0.0, 0.0, 0.0, 0.0}}, {}};
    const long planning = allocations.load();
    ASSERT_TRUE(group.follow(0.0, trajectory, set_points).ok());
    ASSERT_GT(allocations.load(), planning);  // planning may, and the count sees it

    const long before = allocations.load();
    double now = 0.0;
    int written = 0;
    for (int tick = 0; tick < 1000; ++tick) {
        written += static_cast<int>(group.advance(now += kTick, set_points).count());
        written += group.set_point(now, 0).has_value();
        written += group.time_left(now) > 0.0;
    }
    EXPECT_EQ(allocations.load() - before, 0);
    EXPECT_GT(written, 1000);
}

}  // namespace
