// The direct controller's mutex cell: a fault while it is held makes every
// later use fail, and waiting callers are serialised.
#include "bindings/controller_cell.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using qmc::py::PoisonableCell;

TEST(PoisonableCell, FaultPoisonsEveryLaterUse) {
    PoisonableCell<int> cell(1);
    EXPECT_EQ(cell.with_lock([](int& v) { return ++v; }), 2);

    EXPECT_THROW(cell.with_lock([](int& v) -> int {
                     v = 99;  // half-done update
                     throw std::runtime_error("fault");
                 }),
                 std::runtime_error);

    bool ran = false;
    EXPECT_EQ(cell.with_lock([&](int& v) {
                  ran = true;
                  return v;
              }),
              std::nullopt);
    EXPECT_FALSE(ran);
    // The mutex was released by the fault: a second refusal does not hang.
    EXPECT_EQ(cell.with_lock([](int& v) { return v; }), std::nullopt);
}

TEST(PoisonableCell, ConcurrentCallersAreSerialised) {
    PoisonableCell<int> cell(0);
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                (void)cell.with_lock([&](int& v) {
                    if (inside.fetch_add(1) != 0) overlap = true;
                    const int read = v;
                    std::this_thread::yield();
                    v = read + 1;
                    inside.fetch_sub(1);
                    return v;
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(cell.with_lock([](int& v) { return v; }), 800);
}

TEST(PoisonableCell, BoundedWaitsSayWhyNothingRan) {
    using qmc::py::LockWait;
    using namespace std::chrono_literals;
    PoisonableCell<int> cell(5);
    LockWait wait = LockWait::Busy;
    EXPECT_EQ(cell.with_lock_for(1ms, wait, [](int& v) { return v; }), 5);
    EXPECT_EQ(wait, LockWait::Locked);

    // Re-entered from inside an operation (a callback it runs): refused, no self-deadlock.
    LockWait inner = LockWait::Locked;
    (void)cell.with_lock([&](int& v) {
        EXPECT_EQ(cell.with_lock_for(1ms, inner, [](int& x) { return x; }), std::nullopt);
        return v;
    });
    EXPECT_EQ(inner, LockWait::HeldByThisThread);

    // Held by another thread: the wait gives up after its time.
    std::atomic<bool> holding{false}, release{false};
    std::thread holder([&] {
        (void)cell.with_lock([&](int& v) {
            holding = true;
            while (!release) std::this_thread::sleep_for(1ms);
            return v;
        });
    });
    while (!holding) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(cell.with_lock_for(5ms, wait, [](int& v) { return v; }), std::nullopt);
    EXPECT_EQ(wait, LockWait::Busy);
    release = true;
    holder.join();
}

}  // namespace
