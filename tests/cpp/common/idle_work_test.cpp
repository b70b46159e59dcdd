// A thread's waits lent to its idle work.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "common/idle_work.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Due every 5 ms; counts its runs.
class EveryFiveMs final : public common::IdleWork {
public:
    std::chrono::nanoseconds run_due() override {
        const auto now = Clock::now();
        if (now >= next_) {
            runs.push_back(now);
            next_ = now + 5ms;
        }
        return next_ - now;
    }
    std::vector<Clock::time_point> runs;

private:
    Clock::time_point next_ = Clock::now();
};

}  // namespace

TEST(IdleWork, ASleepIsLentToTheThreadsWorkAndStillEndsAtItsDeadline) {
    EveryFiveMs work;
    const auto began = Clock::now();
    {
        const common::LendWaits lend(work);
        EXPECT_EQ(common::current_idle_work(), &work);
        EXPECT_TRUE(common::sleep_lending(nullptr, began + 30ms));
    }
    EXPECT_EQ(common::current_idle_work(), nullptr);
    EXPECT_GE(Clock::now() - began, 30ms);
    // Run at once and then whenever due: a busy machine may merge some runs, never add any.
    ASSERT_GE(work.runs.size(), 2u);
    EXPECT_LE(work.runs.size(), 7u);
    for (std::size_t k = 1; k < work.runs.size(); ++k) EXPECT_GE(work.runs[k] - work.runs[k - 1], 5ms);

    // Without idle work a sleep is a plain sleep.
    const auto plain = Clock::now();
    EXPECT_TRUE(common::sleep_lending(nullptr, plain + 5ms));
    EXPECT_GE(Clock::now() - plain, 5ms);
}
