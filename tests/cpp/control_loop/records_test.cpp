#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "control_loop/motor_cmd.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/records.hpp"
#include "control_loop/reply_channel.hpp"

using namespace std::chrono_literals;
using quorvel::MotorError;

TEST(MotorErrorText, EveryKind) {
    EXPECT_EQ(MotorError(MotorError::MissingMotors{{"nose_left", "neck_yaw"}}).message(),
              "Missing motors: [\"nose_left\", \"neck_yaw\"]!");
    EXPECT_EQ(MotorError(MotorError::MissingMotors{{"neck_roll"}}).message(),
              "Missing motors: [\"neck_roll\"]!");
    EXPECT_EQ(MotorError(MotorError::MissingMotors{{"a\"b\\c"}}).message(),
              "Missing motors: [\"a\\\"b\\\\c\"]!");
    EXPECT_EQ(MotorError(MotorError::CommunicationFailure{}).message(),
              "Motor communication error! Check connections and power supply.");
    EXPECT_EQ(MotorError(MotorError::NoMotorsDetected{}).message(),
              "No motors detected. Check if the power supply is connected and turned on!");
    EXPECT_EQ(MotorError(MotorError::PortNotFound{"/dev/ttyUSB0"}).message(),
              "Check if your USB cable is connected. Could not find port: /dev/ttyUSB0!");
    EXPECT_EQ(MotorError(MotorError::PortOpenFailed{""}).message(),
              "Could not open serial port: ! Check permissions and if the port is already in use.");
}

TEST(MotorErrorText, VoltageTimeoutRendersVoltsAndDuration) {
    auto text = [](std::uint8_t volts, std::chrono::nanoseconds limit) {
        return MotorError(MotorError::VoltageTimeout{volts, limit}).message();
    };
    EXPECT_EQ(text(109, 30s), "Voltage did not ramp up to 12V (got 10.9V) within 30s!");
    EXPECT_EQ(text(109, 1500ms), "Voltage did not ramp up to 12V (got 10.9V) within 1.5s!");
    EXPECT_EQ(text(0, 0ns), "Voltage did not ramp up to 12V (got 0.0V) within 0ns!");
    EXPECT_EQ(text(255, 250ms), "Voltage did not ramp up to 12V (got 25.5V) within 250ms!");
}

TEST(MotorErrorValue, CopiesAreEqualAndIndependent) {
    MotorError original = MotorError::MissingMotors{{"neck_yaw"}};
    MotorError copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_TRUE(copy.is<MotorError::MissingMotors>());
    original = MotorError::CommunicationFailure{};
    EXPECT_EQ(copy.message(), "Missing motors: [\"neck_yaw\"]!");
}

TEST(TorsoPosition, FromServosSplitsJointGroupsAndStampsNow) {
    const double before = quorvel::wall_clock_timestamp();
    const auto p = quorvel::QuorvelTorsoPosition::from_servos({1, 2, 3, 4, 5, 6, 7}, {8, 9, 10});
    const double after = quorvel::wall_clock_timestamp();
    EXPECT_EQ(p.left_arm, (std::array<double, 2>{1, 2}));
    EXPECT_EQ(p.right_arm, (std::array<double, 2>{3, 4}));
    EXPECT_EQ(p.nose, (std::array<double, 3>{5, 6, 7}));
    EXPECT_EQ(p.neck, (std::array<double, 3>{8, 9, 10}));
    EXPECT_GE(p.timestamp, before);
    EXPECT_LE(p.timestamp, after);
    EXPECT_GT(before, 1.6e9);  // a real wall-clock reading, not a monotonic one
}

TEST(TorsoPosition, Repr) {
    quorvel::QuorvelTorsoPosition p;
    p.left_arm = {1, 2};
    p.right_arm = {0.25, 0.5};
    p.nose = {-0.0, 1e-5, 1e16};
    p.neck = {0.0, 0.1, -0.1};
    p.timestamp = 1712345678.98765;
    EXPECT_EQ(p.repr(),
              "QuorvelTorsoPosition(left_arm=[1.0, 2.0], right_arm=[0.25, 0.5], "
              "nose=[-0.0, 1e-5, 1e16], neck=[0.0, 0.1, -0.1], timestamp=1712345678.988)");
}

TEST(Stats, ReprMeansInMilliseconds) {
    quorvel::ControlLoopStats s;
    EXPECT_EQ(s.repr(), "ControlLoopStats(period=~NaNms, read_dt=~NaN ms, write_dt=~NaN ms)");
    s.period = {0.01, 0.02};
    s.read_dt = {0.0005};
    s.write_dt = {0.0, 0.0};
    EXPECT_EQ(s.repr(), "ControlLoopStats(period=~15.00ms, read_dt=~0.50 ms, write_dt=~0.00 ms)");
}

TEST(MotorCommand, CarriesItsPayloadAndMoves) {
    auto [tx, rx] = quorvel::reply_channel<std::vector<std::uint8_t>>();
    quorvel::MotorCmd cmd = quorvel::motor_cmd::ReadRawBytes{1, 21, 3, std::move(tx)};
    quorvel::MotorCmd moved = std::move(cmd);
    EXPECT_EQ(moved.index(), 14u);
    auto& read = std::get<quorvel::motor_cmd::ReadRawBytes>(moved);
    EXPECT_TRUE(read.reply.send({32, 0, 5}));
    auto reply = rx.recv_for(1s);
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply.value(), (std::vector<std::uint8_t>{32, 0, 5}));
    EXPECT_EQ(std::variant_size_v<quorvel::MotorCmd>, 23u);  // with the two status reads, one neck joint setter
}

// --- reply channel ---

using Bytes = std::vector<std::uint8_t>;

TEST(ReplyChannel, SendThenReceive) {
    auto [tx, rx] = quorvel::reply_channel<Bytes>();
    EXPECT_TRUE(tx.send({1, 2}));
    EXPECT_FALSE(tx.send({3}));  // single use
    auto got = rx.recv_for(0ns);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value(), (Bytes{1, 2}));
    EXPECT_EQ(rx.recv_for(0ns).error(), quorvel::RecvError::Disconnected);
}

TEST(ReplyChannel, TimeoutWhileSenderHoldsOn) {
    auto [tx, rx] = quorvel::reply_channel<Bytes>();
    auto got = rx.recv_for(20ms);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), quorvel::RecvError::Timeout);
    EXPECT_STREQ(quorvel::recv_error_text(got.error()), "timed out waiting on channel");
    EXPECT_TRUE(tx.send({})); // still connected; an empty reply is a reply
    EXPECT_TRUE(rx.recv().ok());
}

TEST(ReplyChannel, DroppedSenderWakesWaiterPromptly) {
    auto [tx, rx] = quorvel::reply_channel<Bytes>();
    std::thread loop([sender = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        auto gone = std::move(sender);  // dropped without sending
    });
    const auto start = std::chrono::steady_clock::now();
    auto got = rx.recv_for(30s);
    const auto waited = std::chrono::steady_clock::now() - start;
    loop.join();
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error(), quorvel::RecvError::Disconnected);
    EXPECT_STREQ(quorvel::recv_error_text(got.error()), "receiving on a closed channel");
    EXPECT_LT(waited, 10s);
}

TEST(ReplyChannel, ReplyFromAnotherThreadUnlimitedWait) {
    auto [tx, rx] = quorvel::reply_channel<Bytes>();
    std::thread loop([sender = std::move(tx)]() mutable {
        std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(sender.send({0xFF, 0xFF, 1, 2, 0, 0xFC}));
    });
    auto got = rx.recv();
    loop.join();
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(got.value().size(), 6u);
}

TEST(ReplyChannel, SendAfterReceiverGoneFails) {
    auto [tx, rx] = quorvel::reply_channel<Bytes>();
    { auto gone = std::move(rx); }
    EXPECT_FALSE(tx.send({1}));
}

TEST(ReplyChannel, ManyRacingPairs) {
    // Sender and receiver ends released concurrently must never lose a
    // wake-up or touch freed state (run under the sanitizers too).
    for (int i = 0; i < 200; ++i) {
        auto [tx, rx] = quorvel::reply_channel<Bytes>();
        const bool send = i % 2 == 0;
        std::thread loop([sender = std::move(tx), send]() mutable {
            if (send) sender.send({static_cast<std::uint8_t>(1)});
        });
        auto got = rx.recv_for(30s);
        loop.join();
        if (send) {
            ASSERT_TRUE(got.ok());
        } else {
            ASSERT_EQ(got.error(), quorvel::RecvError::Disconnected);
        }
    }
}
