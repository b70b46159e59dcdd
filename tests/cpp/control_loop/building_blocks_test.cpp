// The control loop's building blocks on their own: the command queue, shared
// cells, statistics windows and the retry rule.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "common/stop_source.hpp"
#include "control_loop/command_queue.hpp"
#include "control_loop/reply_channel.hpp"
#include "control_loop/retry.hpp"
#include "control_loop/sample_window.hpp"
#include "control_loop/shared_cell.hpp"
#include "control_loop/stop_wait.hpp"
#include "log_capture.hpp"

using namespace std::chrono_literals;
using quorvel::QueueEvent;
using quorvel::SendError;
using Clock = std::chrono::steady_clock;

TEST(CommandQueue, BoundedFifoWithDeadlines) {
    auto queue = quorvel::bounded_queue<int>(2);
    auto& tx = queue.first;
    auto& rx = queue.second;
    int a = 1, b = 2, c = 3;
    EXPECT_FALSE(tx.try_send(a));
    EXPECT_FALSE(tx.try_send(b));
    EXPECT_EQ(tx.try_send(c), SendError::Full);
    EXPECT_EQ(tx.send_until(c, Clock::now() + 20ms), SendError::Timeout);
    EXPECT_EQ(c, 3);  // a refused item stays with the caller

    // A blocked sender goes through as soon as the receiver makes room.
    std::thread sender([&tx] { EXPECT_FALSE(tx.send(3)); });
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(rx.try_recv(), 1);
    sender.join();
    EXPECT_EQ(rx.try_recv(), 2);
    EXPECT_EQ(rx.try_recv(), 3);
    EXPECT_EQ(rx.try_recv(), std::nullopt);

    const auto start = Clock::now();
    EXPECT_EQ(rx.wait_until(start + 30ms), QueueEvent::Timeout);
    EXPECT_GE(Clock::now() - start, 29ms);
    tx.wake_receiver();
    EXPECT_EQ(rx.wait_until(Clock::now() + 5s), QueueEvent::Woken);
}

TEST(CommandQueue, EndsLearnWhenTheOtherSideIsGone) {
    auto [tx, rx] = quorvel::bounded_queue<int>(1);
    {
        auto second = tx;  // copies count as senders
        auto gone = std::move(tx);
    }
    EXPECT_EQ(rx.wait_until(Clock::now() + 5s), QueueEvent::Disconnected);

    // A sender blocked on a full queue is released when the receiver goes,
    // and queued items (with their reply channels) are dropped.
    using Reply = quorvel::ReplySender<int>;
    auto [sender, receiver] = quorvel::bounded_queue<Reply>(1);
    auto [reply, answer] = quorvel::reply_channel<int>();
    EXPECT_FALSE(sender.send(std::move(reply)));
    std::atomic<bool> refused{false};
    std::thread blocked([&refused, s = sender]() mutable {
        auto [extra, unused] = quorvel::reply_channel<int>();
        refused = s.send(std::move(extra)) == SendError::Closed;
    });
    std::this_thread::sleep_for(20ms);
    { auto closing = std::move(receiver); }
    blocked.join();
    EXPECT_TRUE(refused);
    EXPECT_EQ(answer.recv_for(1s).error(), quorvel::RecvError::Disconnected);
    int late = 5;
    auto [late_tx, late_rx] = quorvel::bounded_queue<int>(1);
    { auto drop = std::move(late_rx); }
    EXPECT_EQ(late_tx.try_send(late), SendError::Closed);
}

TEST(SharedCell, PoisonedOnlyByAFaultWhileHeld) {
    quorvel::SharedCell<int> cell(1);
    { *cell.lock() = 2; }
    EXPECT_FALSE(cell.lock().poisoned());
    try {
        auto held = cell.lock();
        *held = 3;
        throw std::runtime_error("fault");
    } catch (const std::runtime_error&) {
    }
    auto after = cell.lock();
    EXPECT_TRUE(after.poisoned());
    EXPECT_EQ(*after, 3);  // the content stays readable
}

TEST(SampleWindow, KeepsTheMostRecentSamplesInOrder) {
    quorvel::SampleWindow window(4);
    window.append(std::vector<double>{1, 2, 3});
    EXPECT_EQ(window.to_vector(), (std::vector<double>{1, 2, 3}));
    window.append(std::vector<double>{4, 5, 6});
    EXPECT_EQ(window.to_vector(), (std::vector<double>{3, 4, 5, 6}));
    for (int i = 7; i <= 13; ++i) window.push(i);
    EXPECT_EQ(window.to_vector(), (std::vector<double>{10, 11, 12, 13}));
    EXPECT_EQ(window.size(), 4U);
}

TEST(SampleWindow, SnapshotsShareStorageAndNeverSeeLaterSamples) {
    quorvel::SampleWindow window(5, 2);   // chunks of two samples
    for (int i = 1; i <= 4; ++i) window.push(i);
    const quorvel::SampleSeq early = window.snapshot();
    for (int i = 5; i <= 12; ++i) window.push(i);   // wraps past the early copy's chunks
    EXPECT_EQ(early.to_vector(), (std::vector<double>{1, 2, 3, 4}));
    const quorvel::SampleSeq late = window.snapshot();
    EXPECT_EQ(late.to_vector(), (std::vector<double>{8, 9, 10, 11, 12}));
    EXPECT_EQ(late.front(), 8);
    EXPECT_EQ(late[4], 12);
    EXPECT_EQ(late.end() - late.begin(), 5);
    std::vector<double> runs;
    late.for_each_run([&](std::span<const double> run) { runs.insert(runs.end(), run.begin(), run.end()); });
    EXPECT_EQ(runs, late.to_vector());
    EXPECT_EQ(late, (quorvel::SampleSeq{8, 9, 10, 11, 12}));
    EXPECT_TRUE(quorvel::SampleSeq().empty());
}

namespace {
quorvel::ControllerError timed_out() {
    return quorvel::ControllerError(smartbus::Error(smartbus::IoError{smartbus::IoErrorKind::TimedOut, "timed out"}));
}
}  // namespace

TEST(WithRetry, RetriesOnlyTimeoutsAndLogsTheRecovery) {
    test_support::clear_captured_records();
    int calls = 0;
    auto flaky = [&]() -> quorvel::ControllerResult<int> {
        if (++calls < 3) return common::Err{timed_out()};
        return 7;
    };
    const auto start = Clock::now();
    auto result = quorvel::with_retry(5, nullptr, flaky);
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(result.value(), 7);
    EXPECT_EQ(calls, 3);
    EXPECT_GE(Clock::now() - start, 39ms);  // two 20 ms pauses
    auto recovered = test_support::records_starting_with("Serial I/O recovered");
    ASSERT_EQ(recovered.size(), 1U);
    EXPECT_EQ(recovered[0].message, "Serial I/O recovered after 2 retries");
    EXPECT_EQ(recovered[0].level, common::log::Level::Info);
    EXPECT_EQ(recovered[0].origin, "quorvel_motor_controller::control_loop");

    calls = 0;
    EXPECT_FALSE(quorvel::with_retry(2, nullptr, flaky).ok());  // attempts run out
    EXPECT_EQ(calls, 2);

    calls = 0;
    auto parse_error = [&]() -> quorvel::ControllerResult<int> {
        ++calls;
        return common::Err{quorvel::ControllerError(
            smartbus::Error(smartbus::CommunicationErrorKind{smartbus::CommunicationErrorCode::TimeoutError}))};
    };
    EXPECT_FALSE(quorvel::with_retry(5, nullptr, parse_error).ok());
    EXPECT_EQ(calls, 1);  // the protocol's own TimeoutError is not retried
}

TEST(CommandQueue, ClosingForSendingKeepsWhatIsQueued) {
    auto [tx, rx] = quorvel::bounded_queue<int>(1);
    EXPECT_FALSE(tx.send(1));
    // A sender waiting for room is refused as soon as sending closes.
    std::thread waiting([&tx = tx] { EXPECT_EQ(tx.send(2), SendError::Closed); });
    std::this_thread::sleep_for(20ms);
    auto other = tx;
    other.close_sending();
    waiting.join();
    int late = 3;
    EXPECT_EQ(tx.try_send(late), SendError::Closed);
    EXPECT_EQ(rx.try_recv(), 1);  // queued before: still delivered
    EXPECT_EQ(tx.send(4), SendError::Closed);  // room now, but closed all the same
    EXPECT_EQ(rx.try_recv(), std::nullopt);
}

TEST(StopWait, EndsDoneTimedOutOrStopped) {
    using quorvel::WaitEnd;
    int checks = 0;
    common::StopSource stop([&checks] { return ++checks == 2; });
    const auto never = [](Clock::time_point until) {
        std::this_thread::sleep_until(until);
        return false;
    };
    // Done at once: the stop is not even looked at.
    EXPECT_EQ(quorvel::wait_unless_stopped(Clock::time_point::max(), &stop, [](Clock::time_point) { return true; }),
              WaitEnd::Done);
    EXPECT_EQ(checks, 0);
    EXPECT_EQ(quorvel::wait_unless_stopped(Clock::now() + 1ms, &stop, never), WaitEnd::TimedOut);
    // Without a deadline, only the stop ends a wait that is never done: after the second slice.
    EXPECT_EQ(quorvel::wait_unless_stopped(Clock::time_point::max(), &stop, never), WaitEnd::Stopped);
    EXPECT_EQ(checks, 2);
}

TEST(StopSource, EndsSleepsAndRetriesEarly) {
    common::StopSource stop;
    EXPECT_TRUE(common::sleep_unless_stopped(&stop, 1ms));
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(30ms);
        stop.request_stop();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(common::sleep_unless_stopped(&stop, 60s));
    EXPECT_LT(Clock::now() - start, 30s);
    stopper.join();
    EXPECT_TRUE(stop.stop_requested());

    // A check the sleeping thread runs stops it too, and for good.
    int checks = 0;
    common::StopSource checked([&checks] { return ++checks == 3; });
    EXPECT_FALSE(checked.sleep_until(Clock::now() + 60s));  // checked every 40 ms
    EXPECT_EQ(checks, 3);
    EXPECT_TRUE(checked.stop_requested());
    EXPECT_EQ(checks, 3);

    // Retries of a silent servo end once stopped, the pause cut short.
    int calls = 0;
    auto silent = [&]() -> quorvel::ControllerResult<int> {
        ++calls;
        return common::Err{timed_out()};
    };
    common::StopSource later;
    std::thread closer([&later] {
        std::this_thread::sleep_for(30ms);
        later.request_stop();
    });
    EXPECT_FALSE(quorvel::with_retry(1'000'000, &later, silent).ok());
    closer.join();
    EXPECT_LT(calls, 1'000'000);
    calls = 0;
    EXPECT_FALSE(quorvel::with_retry(1'000'000, &stop, silent).ok());
    EXPECT_EQ(calls, 1);  // already stopped: no second attempt
}
