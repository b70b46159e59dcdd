// Queued commands as the simulated torso sees them.
#include <chrono>
#include <cmath>
#include <tuple>
#include <vector>

#include "sim_fixture.hpp"

using namespace std::chrono_literals;
using quorvel::QuorvelTorsoPosition;
using test_support::eventually;
using test_support::LoopSettings;
namespace cmd = quorvel::motor_cmd;

class Commands : public test_support::SimTest {};

namespace {
// Goal registers hold 4096 steps per turn.
constexpr double kStep = 2 * M_PI / 4096;
}  // namespace

TEST_F(Commands, PositionsReachTheServosAndTheNeckIsClamped) {
    auto loop = start();
    ASSERT_TRUE(loop);
    EXPECT_FALSE(loop->send_command(cmd::EnableNeck{true}));  // a disabled motor ignores set-points
    ASSERT_TRUE(eventually([&] { return sim->neck_state(2).enabled; }));
    sim->clear_logs();

    QuorvelTorsoPosition goal;
    goal.left_arm = {0.1, 0.2};
    goal.right_arm = {0.3, 0.4};
    goal.nose = {0.5, 0.6, 0.7};
    goal.neck = {0.3, 0.3, 0.3};  // ignored: the neck does not move
    EXPECT_FALSE(loop->send_command(cmd::SetAllGoalPositions{goal}));
    EXPECT_FALSE(loop->send_command(cmd::SetRightArmPosition{{-0.3, -0.4}}));
    EXPECT_FALSE(loop->send_command(cmd::SetNeckPosition{{0.9, 0.2, -0.1}}));
    EXPECT_FALSE(loop->send_command(cmd::SetNeckJointPosition{2, -0.2}));
    ASSERT_TRUE(eventually([&] { return std::abs(sim->neck_state(2).commanded_position + 0.2) < 1e-4; }));
    // Sync writes have no reply, and the serial line hands bytes over later
    // than the CAN bus: wait for the last one to be applied.
    ASSERT_TRUE(eventually([&] { return std::abs(sim->servo_goal(3) + 0.3) < kStep; }));

    EXPECT_NEAR(sim->servo_goal(1), 0.1, kStep);
    EXPECT_NEAR(sim->servo_goal(2), 0.2, kStep);
    EXPECT_NEAR(sim->servo_goal(3), -0.3, kStep);
    EXPECT_NEAR(sim->servo_goal(7), 0.7, kStep);
    EXPECT_NEAR(sim->neck_state(0).commanded_position, 0.5, 1e-3);  // yaw clamped to its bound
    EXPECT_NEAR(sim->neck_state(1).commanded_position, 0.2, 1e-3);
    int mit_frames = 0;
    for (const auto& frame : sim->can_log()) mit_frames += (frame.id >= 1 && frame.id <= 3) ? 1 : 0;
    EXPECT_EQ(mit_frames, 4);  // three for the neck command, one for the roll; none for the torso goal
}

TEST_F(Commands, TorqueCommandsSetTheReportedState) {
    auto loop = start();
    ASSERT_TRUE(loop);
    EXPECT_FALSE(loop->is_torque_enabled().value());

    EXPECT_FALSE(loop->send_command(cmd::EnableTorqueOnIds{{3}}));
    ASSERT_TRUE(eventually([&] { return loop->is_torque_enabled().value(); }));
    // The flag is set once the sync write is sent; the servo acts on it a moment later.
    EXPECT_TRUE(eventually([&] { return sim->servo_torque(3); }));
    EXPECT_FALSE(sim->servo_torque(1));  // the stored flag stands for all servos anyway

    EXPECT_FALSE(loop->send_command(cmd::DisableTorque{}));
    ASSERT_TRUE(eventually([&] { return !loop->is_torque_enabled().value(); }));
    EXPECT_FALSE(loop->send_command(cmd::EnableArms{true}));
    EXPECT_FALSE(loop->send_command(cmd::EnableNose{true}));
    ASSERT_TRUE(eventually([&] { return sim->servo_torque(7); }));
    EXPECT_TRUE(sim->servo_torque(1));
    EXPECT_FALSE(loop->is_torque_enabled().value());  // arms/nose switches leave it alone

    sim->set_servo_silent(6, true);  // sync writes expect no reply
    EXPECT_FALSE(loop->send_command(cmd::EnableTorque{}));
    EXPECT_TRUE(eventually([&] { return loop->is_torque_enabled().value(); }));
}

TEST_F(Commands, RawReadsWritesAndPackets) {
    auto loop = start();
    ASSERT_TRUE(loop);
    sim->set_servo_position(5, 1.0);
    auto bytes = loop->async_read_raw_bytes(5, 56, 2);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, (std::vector<std::uint8_t>{sim->servo_register(5, 56), sim->servo_register(5, 57)}));

    EXPECT_FALSE(loop->send_command(cmd::WriteRawBytes{1, 21, {44, 32, 0}}));
    // More data than a packet can carry fails that command only.
    EXPECT_FALSE(loop->send_command(cmd::WriteRawBytes{1, 21, std::vector<std::uint8_t>(253, 9)}));
    EXPECT_FALSE(loop->send_command(cmd::WriteRawBytes{2, 21, {7}}));
    ASSERT_TRUE(eventually([&] { return sim->servo_register(2, 21) == 7; }));
    EXPECT_EQ(sim->servo_register(1, 21), 44);
    EXPECT_EQ(sim->servo_register(1, 22), 32);
    EXPECT_EQ(sim->servo_register(1, 23), 0);

    // A ping of servo 1, written as it is; the status packet comes back.
    auto [reply, answer] = quorvel::reply_channel<std::vector<std::uint8_t>>();
    EXPECT_FALSE(loop->send_command(cmd::WriteRawPacket{{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}, std::move(reply)}));
    auto status = answer.recv_for(2s);
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(*status, (std::vector<std::uint8_t>{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}));

    // A silent servo: five attempts, then the reply is released unanswered.
    sim->set_servo_silent(4, true);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(loop->async_read_raw_bytes(4, 56, 2).error().message(),
              "Motor communication error! Check connections and power supply.");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 80ms);  // four 20 ms pauses
}

TEST_F(Commands, PidGainsAreOneByteEachInRegisters21To23) {
    auto loop = start();
    ASSERT_TRUE(loop);
    const auto refused = loop->async_write_pid_gains(1, 32, 256, 0);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "async_write_pid_gains: i must be between 0 and 255 (one register byte), got 256");
    ASSERT_TRUE(loop->async_write_pid_gains(1, 255, 7, 32).ok());
    ASSERT_TRUE(eventually([&] { return sim->servo_register(1, 23) == 7; }));
    EXPECT_EQ(sim->servo_register(1, 21), 255);  // P, then D before I
    EXPECT_EQ(sim->servo_register(1, 22), 32);
    const auto gains = loop->async_read_pid_gains(1);
    ASSERT_TRUE(gains.ok());
    EXPECT_EQ(std::make_tuple(gains->p, gains->i, gains->d), std::make_tuple(255, 7, 32));
}

TEST_F(Commands, NeckOnlyLoopFailsServoCommandsQuietly) {
    LoopSettings settings;
    settings.with_serial = false;
    settings.stats_pub_period = 10ms;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    sim->clear_logs();

    EXPECT_FALSE(loop->send_command(cmd::SetLeftArmPosition{{0.1, 0.2}}));
    EXPECT_FALSE(loop->send_command(cmd::EnableTorque{}));
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop->async_read_raw_bytes(1, 56, 2).ok());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);  // no attempt on any bus
    auto [reply, answer] = quorvel::reply_channel<std::vector<std::uint8_t>>();
    EXPECT_FALSE(loop->send_command(cmd::WriteRawPacket{{0xFF}, std::move(reply)}));
    EXPECT_EQ(answer.recv_for(2s).error(), quorvel::RecvError::Disconnected);

    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(loop->is_torque_enabled().value());
    EXPECT_TRUE(loop->get_stats()->write_dt.empty());  // failed commands add no sample
    EXPECT_TRUE(sim->serial_log().empty());
    for (const auto& frame : sim->can_log()) EXPECT_FALSE(frame.id >= 1 && frame.id <= 3);  // feedback requests only
}
