// The servos behind the pseudo-terminal, driven byte by byte from a raw port.
#include "test_client.hpp"
#include "torso_sim/torso_sim.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <thread>

namespace {

using namespace sim_test;
using torso_sim::TorsoSim;
constexpr double kPi = std::numbers::pi;
constexpr double kStep = 2 * kPi / 4096;

constexpr std::uint8_t kPing = 0x01, kRead = 0x02, kWrite = 0x03, kSyncRead = 0x82,
                       kSyncWrite = 0x83;

double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Status packet as a servo sends it.
Bytes status(std::uint8_t id, const Bytes& params = {}) {
    Bytes out{0xFF, 0xFF, id, static_cast<std::uint8_t>(params.size() + 2), 0x00};
    out.insert(out.end(), params.begin(), params.end());
    unsigned sum = 0;
    for (std::size_t i = 2; i < out.size(); ++i) sum += out[i];
    out.push_back(static_cast<std::uint8_t>(~sum & 0xFF));
    return out;
}

Bytes word(int value) { return {static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>((value >> 8) & 0xFF)}; }

class ServoSide : public ::testing::Test {
protected:
    void SetUp() override {
        sim = TorsoSim::start();
        ASSERT_NE(sim, nullptr);
        port = std::make_unique<SerialClient>(sim->serial_path());
        ASSERT_TRUE(port->is_open());
    }
    std::unique_ptr<TorsoSim> sim;
    std::unique_ptr<SerialClient> port;
};

TEST_F(ServoSide, AnswersPingAndReadsWithProtocolBytes) {
    EXPECT_EQ(port->exchange({0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}, 6), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(port->exchange(instruction(id, kPing), 6), status(id));
    EXPECT_TRUE(port->exchange(instruction(8, kPing), 1, 30ms).empty());

    sim->set_servo_position(3, kPi / 2);   // raw 3072
    EXPECT_EQ(port->exchange({0xFF, 0xFF, 0x03, 0x04, 0x02, 0x38, 0x02, 0xBC}, 8), status(3, {0x00, 0x0C}));
    EXPECT_DOUBLE_EQ(sim->servo_position(3), kPi / 2);
    EXPECT_DOUBLE_EQ(sim->servo_goal(3), kPi / 2);

    // Voltage 120 by default, PID gains P 32 D 32 I 0, lock set, unknown addresses zero.
    EXPECT_EQ(port->exchange(instruction(6, kRead, {62, 1}), 7), status(6, {120}));
    EXPECT_EQ(port->exchange(instruction(1, kRead, {21, 3}), 9), status(1, {32, 32, 0}));
    EXPECT_EQ(port->exchange(instruction(1, kRead, {55, 1}), 7), status(1, {1}));
    EXPECT_EQ(port->exchange(instruction(1, kRead, {100, 2}), 8), status(1, {0, 0}));

    // A write answers after applying; the register then reads back.
    EXPECT_EQ(port->exchange(instruction(2, kWrite, {21, 44, 32, 0}), 6), status(2));
    EXPECT_EQ(port->exchange(instruction(2, kRead, {21, 3}), 9), status(2, {44, 32, 0}));
    EXPECT_EQ(sim->servo_register(2, 21), 44);
    sim->set_servo_register(2, 23, 5);
    EXPECT_EQ(port->exchange(instruction(2, kRead, {23, 1}), 7), status(2, {5}));
}

TEST_F(ServoSide, SyncReadAnswersInListedOrderAndSkipsSilentServos) {
    sim->set_servo_position(1, 0.0);
    sim->set_servo_position(2, -kPi);
    sim->set_servo_position(3, kPi / 2);
    // FF FF FE 07 82 38 02 03 01 02 cs
    Bytes expected = status(3, word(3072));
    for (const Bytes& b : {status(1, word(2048)), status(2, word(0))}) expected.insert(expected.end(), b.begin(), b.end());
    EXPECT_EQ(port->exchange(instruction(0xFE, kSyncRead, {0x38, 2, 3, 1, 2}), expected.size()), expected);

    sim->set_servo_silent(1, true);
    Bytes without_1 = status(3, word(3072));
    const Bytes reply_2 = status(2, word(0));
    without_1.insert(without_1.end(), reply_2.begin(), reply_2.end());
    port->send(instruction(0xFE, kSyncRead, {0x38, 2, 3, 1, 2}));
    EXPECT_EQ(port->receive_all(), without_1);
    EXPECT_TRUE(port->exchange(instruction(1, kPing), 1, 30ms).empty());
    EXPECT_TRUE(port->exchange(instruction(1, kWrite, {40, 1}), 1, 30ms).empty());
    EXPECT_FALSE(sim->servo_torque(1));   // a silent servo is unplugged: it ignores writes too
}

TEST_F(ServoSide, SyncWriteSetsGoalsSilentlyAndTorqueMovesTheShaft) {
    // Goals 2048 and 1024 for servos 1 and 2, then torque on for 1 only.
    port->send({0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x04, 0x39});
    EXPECT_TRUE(port->receive_all().empty());
    EXPECT_DOUBLE_EQ(sim->servo_goal(2), -kPi / 2);
    EXPECT_DOUBLE_EQ(sim->servo_position(2), 0.0);   // torque off: stays
    port->send({0xFF, 0xFF, 0xFE, 0x08, 0x83, 0x28, 0x01, 0x01, 0x01, 0x02, 0x00, 0x49});
    EXPECT_TRUE(port->receive_all().empty());
    EXPECT_TRUE(sim->servo_torque(1));
    EXPECT_FALSE(sim->servo_torque(2));

    // Torque on, zero speed: the goal is reached at once, exactly.
    port->send(instruction(0xFE, kSyncWrite, {42, 2, 1, 0x8B, 0x0A}));   // 2699 = 1.0 rad
    EXPECT_EQ(port->exchange(instruction(1, kRead, {56, 2}), 8), status(1, word(2699)));

    // With a speed the shaft travels there in time.
    sim->set_servo_speed(kPi);
    port->send(instruction(0xFE, kSyncWrite, {42, 2, 1, 0x00, 0x08}));   // back to 0 rad
    EXPECT_GT(sim->servo_position(1), 0.5);
    const double deadline = monotonic_now() + 5.0;
    while (sim->servo_position(1) != 0.0 && monotonic_now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_DOUBLE_EQ(sim->servo_position(1), 0.0);
}

TEST_F(ServoSide, GoalsSaturateAtTheAngleLimitsInsteadOfWrapping) {
    // Limits 0 and 4095 by default (registers 9 and 11).
    EXPECT_EQ(port->exchange(instruction(5, kRead, {9, 4}), 10), status(5, {0, 0, 0xFF, 0x0F}));
    port->send(instruction(0xFE, kSyncWrite, {40, 1, 1, 1, 5, 1}));   // torque on, servos 1 and 5
    auto goal_then_present = [&](std::uint8_t id, int goal) {
        port->send(instruction(0xFE, kSyncWrite, {42, 2, id, static_cast<std::uint8_t>(goal & 0xFF),
                                                  static_cast<std::uint8_t>((goal >> 8) & 0xFF)}));
        const Bytes reply = port->exchange(instruction(id, kRead, {56, 2}), 8);
        return reply.size() == 8 ? reply[5] | (reply[6] << 8) : -1;
    };
    for (const int lo_hi : {0, 1}) {
        const int lo = lo_hi ? 1000 : 0, hi = lo_hi ? 3000 : 4095;
        if (lo_hi) {
            for (std::uint8_t id : {1, 5}) {
                EXPECT_EQ(port->exchange(instruction(id, kWrite, {9, 0xE8, 0x03, 0xB8, 0x0B}), 6), status(id));
            }
        }
        for (const int goal : {-32768, -1, 0, 500, 2048, 3500, 4095, 4096, 5000, 32767})
            for (std::uint8_t id : {1, 5}) EXPECT_EQ(goal_then_present(id, goal), std::clamp(goal, lo, hi)) << goal;
    }
    // Travelling, the shaft goes straight to the end of the range, never across it.
    EXPECT_EQ(port->exchange(instruction(1, kWrite, {9, 0, 0, 0xFF, 0x0F}), 6), status(1));
    EXPECT_EQ(goal_then_present(1, 100), 100);
    sim->set_servo_speed(kPi);
    const double before = sim->servo_position(1);
    goal_then_present(1, 4090);
    std::this_thread::sleep_for(20ms);
    EXPECT_GT(sim->servo_position(1), before);
}

TEST_F(ServoSide, OffsetIsSignMagnitudeLockedAndShiftsTheReading) {
    sim->set_servo_position(1, 0.5);
    const double before = sim->servo_position(1);
    // Locked EEPROM: the write is answered and ignored.
    EXPECT_EQ(port->exchange(instruction(1, kWrite, {31, 0xFF, 0x0B}), 6), status(1));
    EXPECT_EQ(sim->servo_offset(1), 0.0);
    // Unlocked: offset -1023 * pi / 2047 (0x0BFF), and present = encoder - offset.
    port->send(instruction(0xFE, kSyncWrite, {55, 1, 1, 0}));
    EXPECT_EQ(port->exchange(instruction(1, kWrite, {31, 0xFF, 0x0B}), 6), status(1));
    EXPECT_EQ(port->exchange(instruction(1, kRead, {31, 2}), 8), status(1, {0xFF, 0x0B}));
    EXPECT_NEAR(sim->servo_offset(1), -1023 * kPi / 2047, 1e-12);
    EXPECT_NEAR(sim->servo_position(1), before + 1023 * kPi / 2047, kStep);

    // Homing: present 3.0 rad with offset 1.0 rad is encoder 4.0 rad; writing
    // that angle (wrapped to 4 - 2 pi) as the new offset makes the pose read 0.
    sim->set_servo_offset(2, 1.0);
    sim->set_servo_position(2, 3.0);
    EXPECT_NEAR(sim->servo_position(2), 3.0, kStep);
    sim->set_servo_offset(2, 4.0 - 2 * kPi);
    EXPECT_NEAR(sim->servo_position(2), 0.0, 2 * kStep);
    const int magnitude = static_cast<int>(std::lround((2 * kPi - 4.0) * 2047 / kPi));
    EXPECT_EQ(sim->servo_register(2, 31) | (sim->servo_register(2, 32) << 8), magnitude | 0x0800);

    // The nose has no offset.
    sim->set_servo_offset(5, 1.0);
    EXPECT_EQ(sim->servo_offset(5), 0.0);
}

TEST_F(ServoSide, RebootAnswersThenStaysSilentWhileRestarting) {
    sim->set_reboot_silence(200ms);
    port->send(instruction(5, kWrite, {40, 1}));
    port->receive_all();
    EXPECT_TRUE(sim->servo_torque(5));
    EXPECT_EQ(port->exchange({0xFF, 0xFF, 0x05, 0x02, 0x08, 0xF0}, 6), status(5));
    EXPECT_TRUE(port->exchange(instruction(5, kPing), 1, 50ms).empty());
    EXPECT_EQ(port->exchange(instruction(6, kPing), 6), status(6));   // the others carry on
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(port->exchange(instruction(5, kPing), 6), status(5));
    EXPECT_FALSE(sim->servo_torque(5));
    EXPECT_EQ(sim->servo_reboot_count(5), 1u);
    EXPECT_EQ(sim->servo_reboot_count(6), 0u);
}

TEST_F(ServoSide, InjectedFaultsShapeTheReplies) {
    sim->set_corrupt_checksum(2, true);
    Bytes corrupted = status(2);
    corrupted.back() = static_cast<std::uint8_t>(corrupted.back() + 1);
    EXPECT_EQ(port->exchange(instruction(2, kPing), 6), corrupted);

    sim->set_reply_id_override(3, 4);
    EXPECT_EQ(port->exchange(instruction(3, kPing), 6), status(4));

    sim->set_garbage_before_reply(4, 5);
    const Bytes noisy = port->exchange(instruction(4, kPing), 11);
    ASSERT_EQ(noisy.size(), 11u);
    EXPECT_TRUE(std::none_of(noisy.begin(), noisy.begin() + 5, [](std::uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(Bytes(noisy.begin() + 5, noisy.end()), status(4));

    sim->set_reply_delay(std::chrono::microseconds(40000));
    const double sent = monotonic_now();
    EXPECT_EQ(port->exchange(instruction(7, kPing), 6), status(7));
    EXPECT_GE(monotonic_now() - sent, 0.039);

    sim->reset_faults();
    for (std::uint8_t id = 2; id <= 4; ++id) EXPECT_EQ(port->exchange(instruction(id, kPing), 6), status(id));

    sim->set_voltage(95);
    EXPECT_EQ(port->exchange(instruction(0xFE, kSyncRead, {62, 1, 1}), 7), status(1, {95}));
    sim->set_voltage_ramp(60, 120, 300ms);
    const std::uint8_t early = sim->servo_register(7, 62);
    EXPECT_GE(early, 60);
    EXPECT_LT(early, 120);
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(port->exchange(instruction(7, kRead, {62, 1}), 7), status(7, {120}));
}

TEST_F(ServoSide, ResynchronisesOnGarbageAndLogsWhatTheHostSent) {
    sim->clear_logs();
    EXPECT_TRUE(sim->serial_log().empty());

    // Noise, a bogus header that claims 64 bytes, then a real ping.
    Bytes noise{0x00, 0x12, 0xFF, 0xFF, 0x05, 0x40, 0x33};
    const Bytes ping = instruction(1, kPing);
    Bytes stream = noise;
    stream.insert(stream.end(), ping.begin(), ping.end());
    const double t0 = monotonic_now();
    EXPECT_EQ(port->exchange(stream, 6), status(1));
    // An instruction with a bad checksum is not answered.
    Bytes bad = instruction(2, kPing);
    bad.back() ^= 0x01;
    EXPECT_TRUE(port->exchange(bad, 1, 30ms).empty());
    EXPECT_EQ(port->exchange(instruction(2, kPing), 6), status(2));
    const double t1 = monotonic_now();

    const auto log = sim->serial_log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[0].parsed);
    EXPECT_EQ(log[0].bytes, noise);
    EXPECT_TRUE(log[1].parsed);
    EXPECT_EQ(log[1].bytes, ping);
    EXPECT_FALSE(log[2].parsed);
    EXPECT_EQ(log[2].bytes, bad);
    EXPECT_EQ(log[3].bytes, instruction(2, kPing));
    for (std::size_t i = 0; i < log.size(); ++i) {
        EXPECT_GE(log[i].time, t0);
        EXPECT_LE(log[i].time, t1);
        if (i > 0) {
            EXPECT_GE(log[i].time, log[i - 1].time);
        }
    }

    sim->clear_logs();
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(sim->serial_log().empty());
}

TEST_F(ServoSide, SurvivesTheHostClosingAndReopeningThePort) {
    EXPECT_EQ(port->exchange(instruction(1, kPing), 6), status(1));
    port.reset();
    port = std::make_unique<SerialClient>(sim->serial_path());
    ASSERT_TRUE(port->is_open());
    EXPECT_EQ(port->exchange(instruction(1, kPing), 6), status(1));
}

TEST_F(ServoSide, AnswersWithinAFractionOfAMillisecond) {
    constexpr int kRounds = 500;
    std::vector<double> round_trips;
    const Bytes request = instruction(0xFE, kSyncRead, {56, 2, 1, 2, 3, 4});
    for (int i = 0; i < kRounds; ++i) {
        const double t = monotonic_now();
        ASSERT_EQ(port->exchange(request, 32).size(), 32u);
        round_trips.push_back(monotonic_now() - t);
    }
    std::sort(round_trips.begin(), round_trips.end());
    const double median = round_trips[kRounds / 2], p99 = round_trips[kRounds * 99 / 100];
    std::printf("sync read of 4 servos over the pty: median %.1f us, p99 %.1f us\n", median * 1e6, p99 * 1e6);
    EXPECT_LT(median, 0.005);   // generous: the machine may be busy
}

}  // namespace
