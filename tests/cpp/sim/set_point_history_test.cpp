// The set points that reached the servos and the neck motors, as the
// simulator keeps them: only what a servo or motor took, with its arrival time.
#include "test_client.hpp"
#include "torso_sim/torso_sim.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <numbers>

namespace {

using namespace sim_test;
using torso_sim::TorsoSim;

constexpr std::uint8_t kWrite = 0x03, kSyncWrite = 0x83, kPing = 0x01, kGoal = 42;
constexpr double kStep = 2 * std::numbers::pi / 4096;
const Bytes kEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};

double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::uint8_t lo(int v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t hi(int v) { return static_cast<std::uint8_t>(v >> 8); }

TEST(SimSetPointHistory, KeepsWhatTheServosAndMotorsTookInOrderOfArrival) {
    auto sim = TorsoSim::start();
    ASSERT_NE(sim, nullptr);
    SerialClient port(sim->serial_path());
    CanNode node(sim->can_bus());
    ASSERT_TRUE(port.is_open() && node.is_open());
    const double before = monotonic_now();

    // Three sync writes of servos 1 and 2, then a write of 40-43 (torque and
    // goal) to servo 3 and a torque-only write to servo 4, which covers no goal.
    const int goals[3][2] = {{2048, 1000}, {2100, 3000}, {4095, 0}};
    for (const auto& g : goals) {
        port.send(instruction(0xFE, kSyncWrite, {kGoal, 2, 1, lo(g[0]), hi(g[0]), 2, lo(g[1]), hi(g[1])}));
        ASSERT_EQ(port.exchange(instruction(1, kPing), 6).size(), 6u);   // taken before the next
    }
    ASSERT_EQ(port.exchange(instruction(3, kWrite, {40, 1, 0, lo(3000), hi(3000)}), 6).size(), 6u);
    ASSERT_EQ(port.exchange(instruction(4, kWrite, {40, 1}), 6).size(), 6u);
    // A goal write with a bad checksum is noise to the servo: not taken.
    Bytes refused = instruction(4, kWrite, {kGoal, lo(1234), hi(1234)});
    refused.back() = static_cast<std::uint8_t>(refused.back() + 1);
    EXPECT_TRUE(port.exchange(refused, 1, 50ms).empty());

    for (std::uint8_t id : {1, 2}) {
        const auto history = sim->servo_goal_history(id);
        ASSERT_EQ(history.size(), 3u) << int{id};
        for (std::size_t k = 0; k < history.size(); ++k) {
            EXPECT_EQ(history[k].steps, goals[k][id - 1]);
            EXPECT_NEAR(history[k].goal, (goals[k][id - 1] - 2048) * kStep, 1e-12);
            EXPECT_GE(history[k].time, k == 0 ? before : history[k - 1].time);
        }
    }
    const auto third = sim->servo_goal_history(3);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].steps, 3000);
    EXPECT_GT(third[0].time, sim->servo_goal_history(1).back().time);
    // The arrival time is the packet's log time stamp.
    bool logged = false;
    for (const auto& e : sim->serial_log()) logged |= e.time == third[0].time && e.bytes[4] == kWrite;
    EXPECT_TRUE(logged);
    EXPECT_TRUE(sim->servo_goal_history(4).empty());
    EXPECT_EQ(sim->servo_goal(4), 0.0);

    // MIT frames: ignored by a disabled motor, taken once it is enabled.
    const Bytes first = mit_frame(0.5f, 1.0f, 20.0f, 0.5f, 0.25f, 12.5f, 30.0f, 10.0f);
    node.send(1, first);
    ASSERT_TRUE(node.receive());
    node.send(1, kEnable);
    ASSERT_TRUE(node.receive());
    node.send(1, first);
    ASSERT_TRUE(node.receive());
    node.send(1, mit_frame(-0.75f, -2.0f, 40.0f, 1.0f, -0.5f, 12.5f, 30.0f, 10.0f));
    ASSERT_TRUE(node.receive());
    const auto commands = sim->neck_command_history(0);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_NEAR(commands[0].position, 0.5, 25.0 / 65535);
    EXPECT_NEAR(commands[0].velocity, 1.0, 60.0 / 4095);
    EXPECT_NEAR(commands[0].kp, 20.0, 500.0 / 4095);
    EXPECT_NEAR(commands[0].kd, 0.5, 5.0 / 4095);
    EXPECT_NEAR(commands[0].torque, 0.25, 20.0 / 4095);
    EXPECT_NEAR(commands[1].position, -0.75, 25.0 / 65535);
    EXPECT_NEAR(commands[1].torque, -0.5, 20.0 / 4095);
    EXPECT_LE(third[0].time, commands[0].time);
    EXPECT_LE(commands[0].time, commands[1].time);
    EXPECT_LE(commands[1].time, monotonic_now());
    EXPECT_TRUE(sim->neck_command_history(1).empty());

    sim->clear_set_point_history();
    EXPECT_TRUE(sim->servo_goal_history(1).empty());
    EXPECT_TRUE(sim->neck_command_history(0).empty());
}

}  // namespace
