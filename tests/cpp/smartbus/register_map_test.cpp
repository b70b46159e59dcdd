// Register accessors of both models against scripted servos.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "pty_peer.hpp"
#include "scripted_bus.hpp"
#include "smartbus/registers.hpp"
#include "smartbus/sm40bl.hpp"

using namespace smartbus;
using namespace std::chrono_literals;
using feetech_servo::kPi;
using smartbus_test::Bytes;
using smartbus_test::communication_code;
using smartbus_test::io_kind;

namespace {

class Servos : public smartbus_test::ScriptedBus {
protected:
    // Sync writes are not answered: wait until the peer has applied the packets.
    void wait_for_packets(std::size_t count) {
        ASSERT_TRUE(peer.wait_until_applied(count));
        ASSERT_EQ(peer.received().size(), count);
    }

    const Bytes arms{1, 2, 3, 4};
    const Bytes nose{5, 6, 7};
};

}  // namespace

TEST_F(Servos, PresentPositionOfFourArmServosInIdOrder) {
    servos.set_u16(1, 56, 2048);
    servos.set_u16(2, 56, 0);
    servos.set_u16(3, 56, 3072);
    servos.set_u16(4, 56, 0xFFFF);
    auto radians = feetech_servo::sync_read_present_position(handler, *port, arms);
    ASSERT_TRUE(radians.ok()) << radians.error().message();
    EXPECT_EQ(*radians, (std::vector<double>{0.0, -kPi, kPi / 2, -kPi - 2 * kPi / 4096}));
    auto raw = feetech_servo::sync_read_raw_present_position(handler, *port, arms);
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(*raw, (std::vector<std::int16_t>{2048, 0, 3072, -1}));
}

TEST_F(Servos, GoalPositionWritesSaturatedSteps) {
    const double goals[] = {kPi, 0.0, 100.0};
    ASSERT_TRUE(feetech_servo::sync_write_goal_position(handler, *port, nose, goals).ok());
    wait_for_packets(1);
    EXPECT_EQ(servos.u16(5, 42), 0x1000);
    EXPECT_EQ(servos.u16(6, 42), 2048);
    EXPECT_EQ(servos.u16(7, 42), 32767);
    EXPECT_EQ(peer.received()[0][6], 2);  // per-servo length
}

TEST_F(Servos, TorqueAndVoltage) {
    const Bytes ids{1, 2};
    ASSERT_TRUE(feetech_servo::sync_write_torque_enable(handler, *port, ids, {true, false}).ok());
    wait_for_packets(1);
    EXPECT_EQ(peer.received()[0],
              (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x83, 0x28, 0x01, 0x01, 0x01, 0x02, 0x00, 0x49}));

    servos.set_byte(5, 40, 7);  // any non-zero value is on
    auto on = feetech_servo::sync_read_torque_enable(handler, *port, nose);
    ASSERT_TRUE(on.ok());
    EXPECT_EQ(*on, (std::vector<bool>{true, false, false}));

    for (std::uint8_t id = 1; id <= 7; ++id) servos.set_byte(id, 62, static_cast<std::uint8_t>(115 + id));
    auto volts = feetech_servo::sync_read_present_voltage(handler, *port, nose);
    ASSERT_TRUE(volts.ok());
    EXPECT_EQ(*volts, (Bytes{120, 121, 122}));
}

TEST_F(Servos, OffsetAndLockOfTheArmServos) {
    const double offsets[] = {-kPi / 2, -0.0, 0.1, kPi};
    ASSERT_TRUE(sm40bl::sync_write_lock(handler, *port, arms, {false, false, false, false}).ok());
    ASSERT_TRUE(sm40bl::sync_write_offset(handler, *port, arms, offsets).ok());
    ASSERT_TRUE(sm40bl::sync_write_lock(handler, *port, arms, {true, true, true, true}).ok());
    wait_for_packets(3);
    EXPECT_EQ(servos.u16(1, 31), 0x0BFF);
    EXPECT_EQ(servos.u16(2, 31), 0x0800);
    EXPECT_EQ(servos.u16(3, 31), 0x0041);
    EXPECT_EQ(servos.u16(4, 31), 0x07FF);
    EXPECT_EQ(servos.byte(4, 55), 1);
    EXPECT_EQ(peer.received()[0][5], 55);

    servos.set_u16(3, 31, 0x1400);
    auto read_back = sm40bl::sync_read_offset(handler, *port, arms);
    ASSERT_TRUE(read_back.ok());
    EXPECT_EQ((*read_back)[2], 1024 * kPi / 2047);
    EXPECT_TRUE(std::signbit((*read_back)[1]));

    // Beyond pi: refused, nothing sent.
    peer.clear_received();
    const double too_far[] = {0.0, 3.5, 0.0, 0.0};
    auto refused = sm40bl::sync_write_offset(handler, *port, arms, too_far);
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.error().io(), nullptr);
    EXPECT_EQ(io_kind(refused.error()), IoErrorKind::InvalidInput);
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(peer.received().empty());
}

TEST_F(Servos, WrongReplyWidthIsAParsingError) {
    servos.faults()->extra_params[2] = 1;  // three bytes for a two-byte register
    auto positions = feetech_servo::sync_read_present_position(handler, *port, arms);
    ASSERT_FALSE(positions.ok());
    ASSERT_NE(positions.error().communication(), nullptr);
    EXPECT_EQ(communication_code(positions.error()), CommunicationErrorCode::ParsingError);

    servos.faults()->extra_params[2] = -1;  // nothing for a one-byte register
    auto torque = feetech_servo::sync_read_raw_torque_enable(handler, *port, arms);
    ASSERT_FALSE(torque.ok());
    ASSERT_NE(torque.error().communication(), nullptr);
    EXPECT_EQ(communication_code(torque.error()), CommunicationErrorCode::ParsingError);
}

TEST_F(Servos, ErrorsOfTheTransactionPassThrough) {
    servos.faults()->silent.insert(7);
    auto positions = feetech_servo::sync_read_present_position(handler, *port, nose);
    ASSERT_FALSE(positions.ok());
    EXPECT_TRUE(positions.error().is_timed_out_or_interrupted());

    const double one[] = {0.0};
    auto mismatch = feetech_servo::sync_write_goal_position(handler, *port, arms, one);
    ASSERT_FALSE(mismatch.ok());
    ASSERT_NE(mismatch.error().io(), nullptr);
    EXPECT_EQ(io_kind(mismatch.error()), IoErrorKind::InvalidInput);
}

TEST(RegisterTable, PidGainsAreRegisters21To23InTheOrderPDI) {
    namespace regs = smartbus::feetech_servo;
    EXPECT_EQ(regs::kPidGains.address, 21);
    EXPECT_EQ(regs::kPidGains.width, 3);
    const auto bytes = regs::pid_gain_bytes({.p = 32, .i = 5, .d = 7});
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 3>{32, 7, 5}));
    const regs::PidGains gains = regs::pid_gains_from_bytes(bytes[0], bytes[1], bytes[2]);
    EXPECT_EQ(gains.p, 32);
    EXPECT_EQ(gains.i, 5);
    EXPECT_EQ(gains.d, 7);
}
