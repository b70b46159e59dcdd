// The record ring under a producer that never waits and a consumer that
// falls behind: what is taken is in order and never torn, and every record
// pushed is either taken or counted dropped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "control_loop/flight_record.hpp"

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

}  // namespace
}  // namespace quorvel
