// The record ring under a producer that never waits and a consumer that
// falls behind: what is taken is in order and never torn, and every record
// pushed is either taken or counted dropped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string_view>
#include <cstdint>
#include <thread>
#include <vector>

#include "control_loop/flight_record.hpp"
#include "control_loop/flight_recorder.hpp"
#include "sim_fixture.hpp"

namespace quorvel {
namespace {

FlightRecord numbered(std::uint64_t n) {
    FlightRecord record;
    record.kind = RecordKind::Tick;
    record.stamp_ns = static_cast<std::int64_t>(n);
    for (double& v : record.values) v = static_cast<double>(n);  // a torn copy mixes numbers
    return record;
}

TEST(RecordRing, KeepsOrderAndCountsWhatWasOverwritten) {
    constexpr std::uint64_t kPushed = 200000;
    RecordRing ring(64);
    std::thread producer([&] {
        for (std::uint64_t n = 0; n < kPushed; ++n) {
            ring.push(numbered(n));
            if (n % 5000 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    std::vector<FlightRecord> batch(16);
    std::uint64_t taken = 0;
    std::int64_t last = -1;
    bool in_order = true;
    bool whole = true;
    auto drain = [&]() -> std::size_t {
        const std::size_t n = ring.pop(batch.data(), batch.size());
        for (std::size_t i = 0; i < n; ++i) {
            in_order = in_order && batch[i].stamp_ns > last;
            for (double v : batch[i].values) whole = whole && v == static_cast<double>(batch[i].stamp_ns);
            last = batch[i].stamp_ns;
        }
        taken += n;
        return n;
    };
    while (last + 1 < static_cast<std::int64_t>(kPushed)) {
        drain();
        if (taken % 7 == 0) std::this_thread::yield();
    }
    producer.join();
    while (drain() > 0) {
    }
    EXPECT_TRUE(in_order);
    EXPECT_TRUE(whole);
    EXPECT_EQ(taken + ring.dropped(), kPushed);
    EXPECT_GT(ring.dropped(), 0U);  // the consumer did fall behind
    EXPECT_GT(taken, 0U);
}

TEST(RecordRing, SlowConsumerLosesOnlyTheOldest) {
    RecordRing ring(16);
    for (std::uint64_t n = 0; n < 100; ++n) ring.push(numbered(n));
    std::vector<FlightRecord> out(100);
    const std::size_t n = ring.pop(out.data(), out.size());
    ASSERT_GT(n, 0U);
    EXPECT_EQ(out[n - 1].stamp_ns, 99);  // the newest is kept
    EXPECT_EQ(n + ring.dropped(), 100U);
}

// A loop recording while a writer drains it from another thread: every tick
// once and in order, the goal with its joints, and the loop's log records.
class Recording : public test_support::SimTest {};

TEST_F(Recording, EveryTickOnceInOrderWithGoalsAndLogRecords) {
    test_support::LoopSettings settings;
    settings.period = std::chrono::milliseconds(2);
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    auto recorder = loop->flight_recorder();
    recorder->start();
    std::vector<FlightRecord> taken;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<FlightRecord> batch(256);
        while (!done.load()) {
            const std::size_t n = recorder->take(batch.data(), batch.size());
            taken.insert(taken.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n));
            if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    ASSERT_FALSE(loop->send_command(motor_cmd::SetNosePosition{{0.1, 0.2, 0.3}}));
    sim->set_servo_silent(6, true);
    ASSERT_TRUE(test_support::eventually([&] { return !loop->get_last_position().ok(); }));
    sim->set_servo_silent(6, false);
    ASSERT_TRUE(test_support::eventually([&] { return loop->get_last_position().ok(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    recorder->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    done.store(true);
    writer.join();
    while (true) {  // what the writer left
        std::vector<FlightRecord> batch(256);
        const std::size_t n = recorder->take(batch.data(), batch.size());
        if (n == 0) break;
        taken.insert(taken.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(n));
    }

    std::vector<double> ticks;
    bool goal = false, failed_read = false, log_record = false;
    for (const FlightRecord& r : taken) {
        if (r.kind == RecordKind::Tick) ticks.push_back(r.values[0]);
        if (r.kind == RecordKind::Command)
            goal = goal || (r.joints == 0b1110000 && r.values[4] == 0.1 && r.values[6] == 0.3);
        if (r.kind == RecordKind::Reading && r.detail == 1) failed_read = failed_read || r.joints == 1U << 5;
        if (r.kind == RecordKind::Event && r.detail == static_cast<std::uint8_t>(EventKind::Log))
            log_record = log_record || std::string_view(r.text.data()).find("Periodic read") == 0;
    }
    ASSERT_GT(ticks.size(), 10U);
    for (std::size_t i = 1; i < ticks.size(); ++i) ASSERT_EQ(ticks[i], ticks[i - 1] + 1);
    EXPECT_TRUE(goal);
    EXPECT_TRUE(failed_read);
    EXPECT_TRUE(log_record);
    EXPECT_EQ(recorder->dropped(), 0U);
}

}  // namespace
}  // namespace quorvel
