// Arm and nose operations on the serial bus.
#include <chrono>
#include <cmath>
#include <thread>

#include "controller_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr double kStep = 2 * 3.141592653589793 / 4096;  // one position step

TEST_F(ControllerTest, GoalPositionsReachTheirServosInGroupOrder) {
    ASSERT_TRUE(ctl->enable_torque().ok());
    barrier();
    const std::array<double, 7> goals{0.1, -0.2, 0.3, -0.4, 0.5, -0.6, 0.7};
    sim->clear_logs();
    ASSERT_TRUE(ctl->set_all_goal_positions(goals).ok());
    barrier();
    const auto packets = serial_packets();
    ASSERT_EQ(packets.size(), 3U);
    EXPECT_EQ(sync_write_ids(packets[0]), (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(sync_write_ids(packets[1]), (std::vector<std::uint8_t>{5, 6, 7}));

    auto read = ctl->read_all_positions();
    ASSERT_TRUE(read.ok()) << read.error().message();
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_NEAR(sim->servo_goal(static_cast<std::uint8_t>(i + 1)), goals[i], kStep) << i;
        EXPECT_NEAR((*read)[i], goals[i], kStep) << i;
    }

    // Each group setter writes its own servos only.
    ASSERT_TRUE(ctl->set_left_arm_position({1.0, 1.1}).ok());
    ASSERT_TRUE(ctl->set_right_arm_position({1.2, 1.3}).ok());
    ASSERT_TRUE(ctl->set_nose_position({-1.0, -1.1, -1.2}).ok());
    barrier();
    const std::array<double, 7> after_groups{1.0, 1.1, 1.2, 1.3, -1.0, -1.1, -1.2};
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_NEAR(sim->servo_goal(static_cast<std::uint8_t>(i + 1)), after_groups[i], kStep) << i;
    ASSERT_TRUE(ctl->set_arms_position({0.0, 0.0, 0.0, 0.0}).ok());
    barrier();
    EXPECT_NEAR(sim->servo_goal(4), 0.0, kStep);
    EXPECT_NEAR(sim->servo_goal(5), -1.0, kStep);
}

TEST_F(ControllerTest, TorqueSwitchesAndReadsBack) {
    ASSERT_TRUE(ctl->enable_torque().ok());
    EXPECT_TRUE(ctl->is_torque_enabled().value());  // a round trip: the writes were handled
    sim->set_servo_torque(6, false);
    EXPECT_FALSE(ctl->is_torque_enabled().value());

    ASSERT_TRUE(ctl->disable_torque().ok());
    ASSERT_TRUE(ctl->enable_arms(true).ok());
    barrier();
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(sim->servo_torque(id), id <= 4) << int(id);
    ASSERT_TRUE(ctl->enable_nose(true).ok());
    ASSERT_TRUE(ctl->enable_arms(false).ok());
    barrier();
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(sim->servo_torque(id), id >= 5) << int(id);
}

TEST_F(ControllerTest, TorqueOnIdsSplitsArmAndNoseKeepingOrder) {
    const std::uint8_t ids[] = {6, 2, 42, 2};
    ASSERT_TRUE(ctl->set_torque_on_ids(ids, true).ok());
    barrier();
    auto packets = serial_packets();
    ASSERT_EQ(packets.size(), 3U);
    EXPECT_EQ(sync_write_ids(packets[0]), (std::vector<std::uint8_t>{2, 2}));
    EXPECT_EQ(sync_write_ids(packets[1]), (std::vector<std::uint8_t>{6}));
    EXPECT_TRUE(sim->servo_torque(2));
    EXPECT_TRUE(sim->servo_torque(6));
    EXPECT_FALSE(sim->servo_torque(1));

    sim->clear_logs();
    const std::uint8_t foreign[] = {9};
    EXPECT_TRUE(ctl->set_torque_on_ids(foreign, true).ok());
    EXPECT_TRUE(ctl->set_torque_on_ids({}, false).ok());
    barrier();
    EXPECT_EQ(sim->serial_log().size(), 1U);  // the barrier only
}

TEST_F(ControllerTest, RawPacketReturnsWhatArrives) {
    const std::uint8_t ping5[] = {0xFF, 0xFF, 0x05, 0x02, 0x01, 0xF7};
    auto reply = ctl->write_raw_packet(ping5);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(*reply, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x05, 0x02, 0x00, 0xF8}));
    ASSERT_EQ(sim->serial_log().size(), 1U);
    EXPECT_EQ(sim->serial_log()[0].bytes, std::vector<std::uint8_t>(std::begin(ping5), std::end(ping5)));

    sim->set_servo_silent(5, true);
    const auto start = std::chrono::steady_clock::now();
    reply = ctl->write_raw_packet(ping5);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_TRUE(reply->empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, kPatientSerial.raw_reply_window);

    // A reply that shows up after the first look is still caught by the polling.
    sim->set_servo_silent(5, false);
    sim->set_reply_delay(8ms);
    reply = ctl->write_raw_packet(ping5);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_EQ(reply->size(), 6U);

    // One that comes after the window is not the reply; the next transaction
    // drains it.
    sim->set_reply_delay(kPatientSerial.raw_reply_window + 50ms);
    reply = ctl->write_raw_packet(ping5);
    ASSERT_TRUE(reply.ok()) << reply.error().message;
    EXPECT_TRUE(reply->empty());
    sim->set_reply_delay(0us);
    std::this_thread::sleep_for(100ms);  // the late reply is on the line by now
    auto read = ctl->read_raw_bytes(5, 56, 2);
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(read->size(), 2U);
}

TEST_F(ControllerTest, RawRegisterAccessAndSilentServoRecovery) {
    const std::uint8_t gain[] = {17};
    ASSERT_TRUE(ctl->write_raw_bytes(5, 21, gain).ok());  // acknowledged: handled
    EXPECT_EQ(sim->servo_register(5, 21), 17);
    auto read = ctl->read_raw_bytes(5, 21, 1);
    ASSERT_TRUE(read.ok()) << read.error().message();
    EXPECT_EQ(*read, std::vector<std::uint8_t>{17});

    // Too long to encode: refused as an ordinary error, nothing sent.
    sim->clear_logs();
    const std::vector<std::uint8_t> huge(253, 0);
    auto refused = ctl->write_raw_bytes(5, 0, huge);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.error().serial(), nullptr);
    EXPECT_FALSE(refused.error().is_timed_out_or_interrupted());
    EXPECT_TRUE(sim->serial_log().empty());

    // A servo that goes silent fails reads with the retriable time-out and
    // leaves the controller usable once it is back.
    sim->set_servo_silent(4, true);  // the last arm to answer: nothing arrives in its place
    auto failed = ctl->read_all_positions();
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "Operation timed out");
    EXPECT_TRUE(failed.error().is_timed_out_or_interrupted());
    // The arm read failed, so the nose was not asked; the same for torque.
    EXPECT_EQ(sim->serial_log().size(), 1U);
    sim->clear_logs();
    EXPECT_TRUE(ctl->is_torque_enabled().error().is_timed_out_or_interrupted());
    EXPECT_EQ(sim->serial_log().size(), 1U);
    EXPECT_TRUE(ctl->read_raw_bytes(4, 56, 2).error().is_timed_out_or_interrupted());
    sim->set_servo_silent(4, false);
    EXPECT_TRUE(ctl->read_all_positions().ok());
    EXPECT_TRUE(ctl->read_raw_bytes(4, 56, 2).ok());
}

}  // namespace
}  // namespace quorvel::testing
