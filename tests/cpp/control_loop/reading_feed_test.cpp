// The feed of readings that callers wait on, alone and on a running loop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "control_loop/reading_feed.hpp"
#include "sim_fixture.hpp"

using namespace std::chrono_literals;
using quorvel::FeedEnd;
using quorvel::QuorvelTorsoPosition;
using quorvel::ReadingFeed;
using Clock = std::chrono::steady_clock;

namespace {

QuorvelTorsoPosition stamped(double t) {
    QuorvelTorsoPosition p;
    p.neck = {t, -t, 0.5};
    p.timestamp = t;
    return p;
}

}  // namespace

TEST(ReadingFeed, AConsumerThatKeepsUpSeesEveryReadingOnceInOrder) {
    ReadingFeed feed;
    constexpr int kReadings = 2000;
    std::vector<double> seen;
    std::atomic<int> consumed{0};
    std::thread consumer([&] {
        std::optional<double> after = 0.0;  // everything published from now on
        while (seen.size() < kReadings) {
            auto next = feed.wait_newer(after, Clock::now() + 10s, nullptr);
            ASSERT_TRUE(next);
            seen.push_back(next.value().timestamp);
            EXPECT_EQ(next.value().neck[1], -next.value().timestamp);
            after = next.value().timestamp;
            consumed = static_cast<int>(seen.size());
        }
    });
    // Bursts shorter than the ring: whatever the interleaving, nothing is lost.
    for (int i = 1; i <= kReadings; ++i) {
        feed.publish_success(stamped(i));
        if (i % 100 == 0)
            while (consumed < i - 100) std::this_thread::sleep_for(1ms);
    }
    consumer.join();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kReadings));
    for (int i = 0; i < kReadings; ++i) EXPECT_EQ(seen[i], i + 1);
}

TEST(ReadingFeed, EndsOnFailureTimeoutStopAndClose) {
    ReadingFeed feed;
    feed.publish_success(stamped(1.0));
    EXPECT_EQ(feed.wait_newer(1.0, Clock::now() + 20ms, nullptr).error(), FeedEnd::TimedOut);
    EXPECT_EQ(feed.wait_newer(std::nullopt, Clock::now(), nullptr).error(), FeedEnd::TimedOut);

    feed.publish_failure();
    EXPECT_EQ(feed.wait_newer(1.0, Clock::now(), nullptr).error(), FeedEnd::ReadFailed);

    common::StopSource stop;
    stop.request_stop();
    EXPECT_EQ(feed.wait_newer(std::nullopt, Clock::time_point::max(), &stop).error(), FeedEnd::Stopped);

    // A waiter without a deadline is released by the close; what is kept is still handed out.
    feed.publish_success(stamped(1e12));
    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        feed.close();
    });
    EXPECT_EQ(feed.wait_newer(std::nullopt, Clock::time_point::max(), nullptr).error(), FeedEnd::Closed);
    closer.join();
    EXPECT_EQ(feed.wait_newer(1e11, Clock::time_point::max(), nullptr).value().timestamp, 1e12);
}

TEST(ReadingFeed, AFarBehindConsumerGetsTheOldestKeptAndASteppedClockDoesNotStall) {
    ReadingFeed feed;
    const auto n = static_cast<int>(ReadingFeed::kCapacity) + 10;
    for (int i = 1; i <= n; ++i) feed.publish_success(stamped(100.0 + i));
    EXPECT_EQ(feed.wait_newer(0.0, Clock::now(), nullptr).value().timestamp, 100.0 + 11);

    // The wall clock stepped back: the next reading counts as newer all the same.
    std::thread publisher([&] {
        std::this_thread::sleep_for(20ms);
        feed.publish_success(stamped(5.0));
    });
    EXPECT_EQ(feed.wait_newer(100.0 + n, Clock::now() + 10s, nullptr).value().timestamp, 5.0);
    publisher.join();
}

class LoopReadings : public test_support::SimTest {};

TEST_F(LoopReadings, EveryTickIsHandedOutOnceWithTheSimulatorsPositions) {
    test_support::LoopSettings settings;
    settings.period = 5ms;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    auto first = loop->wait_for_position(std::nullopt, Clock::now() + 5s);
    ASSERT_TRUE(first);
    double after = first.value().timestamp;
    for (int i = 0; i < 20; ++i) {
        auto next = loop->wait_for_position(after, Clock::now() + 5s);
        ASSERT_TRUE(next);
        EXPECT_GT(next.value().timestamp, after);
        after = next.value().timestamp;
    }
    EXPECT_NEAR(loop->get_last_position().value().neck[0], sim->neck_state(0).position, 0.01);

    sim->set_servo_silent(7, true);
    auto failed = loop->wait_for_position(after, Clock::now() + 10s);
    while (failed) failed = loop->wait_for_position(failed.value().timestamp, Clock::now() + 10s);
    EXPECT_EQ(failed.error(), FeedEnd::ReadFailed);
    sim->set_servo_silent(7, false);

    loop->close();
    EXPECT_EQ(loop->wait_for_position(std::nullopt, Clock::time_point::max()).error(), FeedEnd::Closed);
}
