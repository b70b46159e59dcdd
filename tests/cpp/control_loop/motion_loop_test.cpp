// Generated motion executed by a running loop, as the simulated torso sees it.
#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "sim_fixture.hpp"

using namespace std::chrono_literals;
using quorvel::MotionJoints;
using test_support::eventually;
namespace cmd = quorvel::motor_cmd;

namespace {

constexpr std::size_t kNoseTop = 4;
constexpr std::size_t kNeckYaw = 7;

class MotionLoop : public test_support::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        loop = start();
        ASSERT_TRUE(loop);
    }
    void send(quorvel::MotorCmd command) {
        ASSERT_FALSE(loop->send_motion_command(command, nullptr).has_value());
    }
    cmd::MoveTo move(std::initializer_list<std::pair<std::size_t, double>> targets) {
        cmd::MoveTo m;
        for (const auto& [joint, target] : targets) {
            m.joints.set(joint);
            m.targets[joint] = target;
        }
        return m;
    }
    void enable_all() {
        ASSERT_FALSE(loop->send_command(cmd::EnableTorque{}));
        ASSERT_FALSE(loop->send_command(cmd::EnableNeck{true}));
        ASSERT_TRUE(eventually([&] { return loop->motion_state().torque_on.all(); }));
    }
    std::unique_ptr<quorvel::QuorvelControlLoop> loop;
};

}  // namespace

TEST_F(MotionLoop, MovesBySmallStepsAndTheNeckCommandIsItsReading) {
    enable_all();
    sim->clear_set_point_history();
    sim->clear_logs();
    send(move({{kNoseTop, 0.6}, {kNeckYaw, 0.3}}));
    ASSERT_EQ(loop->wait_motion_until(std::chrono::steady_clock::now() + 10s, nullptr), quorvel::WaitEnd::Done);

    // Every goal a little beyond the last: at most 2 rad/s over the time
    // between them (plus a few ticks of a busy machine's lateness and one goal step).
    const auto goals = sim->servo_goal_history(5);
    ASSERT_GT(goals.size(), 10u);
    for (std::size_t k = 1; k < goals.size(); ++k) {
        EXPECT_GE(goals[k].goal, goals[k - 1].goal - 2e-3);
        EXPECT_LE(goals[k].goal - goals[k - 1].goal, 2.0 * (goals[k].time - goals[k - 1].time + 0.03) + 2e-3);
    }
    EXPECT_NEAR(goals.back().goal, 0.6, 2e-3);
    // The servos that did not move got no goal.
    EXPECT_TRUE(sim->servo_goal_history(6).empty());
    // One sync write per tick for the one servo group that moved (the last
    // may still be on its way to the servo when the log has it).
    const auto sync_writes = [&] {
        std::size_t n = 0;
        for (const auto& entry : sim->serial_log()) n += entry.bytes.size() > 4 && entry.bytes[4] == 0x83 ? 1 : 0;
        return n;
    };
    EXPECT_TRUE(eventually([&] { return sync_writes() == sim->servo_goal_history(5).size(); }));

    const auto neck = sim->neck_command_history(0);
    ASSERT_GT(neck.size(), 10u);
    EXPECT_NEAR(neck.back().position, 0.3, 1e-3);
    // While yaw moved, its MIT command replaced the feedback request: none
    // was sent to it between its first and last command.
    std::size_t requests = 0;
    for (const auto& frame : sim->can_log())
        if (frame.id == 0x7FF && frame.data.size() >= 3 && frame.data[0] == 1 && frame.data[2] == 0xCC &&
            frame.time > neck.front().time && frame.time < neck.back().time)
            ++requests;
    EXPECT_EQ(requests, 0u);
    EXPECT_NEAR(loop->get_last_position().value().neck[0], 0.3, 0.05);
}

TEST_F(MotionLoop, StepGoalAndTorqueOffEndTheMotionOfTheirJoints) {
    enable_all();
    send(move({{kNoseTop, 1.0}, {kNeckYaw, -0.4}, {0, 1.0}}));
    ASSERT_TRUE(eventually([&] { return loop->motion_state().active.count() == 3; }));
    ASSERT_FALSE(loop->send_command(cmd::SetNosePosition{{0.0, 0.0, 0.0}}));
    ASSERT_FALSE(loop->send_command(cmd::DisableTorqueOnIds{{1}}));
    ASSERT_TRUE(eventually([&] { return loop->motion_state().active == MotionJoints().set(kNeckYaw); }));

    // A joint the loop knows to be limp is refused at the call.
    const auto refused = loop->check_motion_start("move_to", MotionJoints().set(0));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "move_to: left_arm_pitch has torque off; enable torque first");
}

TEST_F(MotionLoop, NeckJointATurnOffZeroGetsNoMotion) {
    enable_all();
    sim->set_neck_position(0, 2 * M_PI + 0.1);
    ASSERT_TRUE(eventually([&] { return loop->get_last_position().value().neck[0] > 6.0; }));
    const auto refused = loop->check_motion_start("move_to", MotionJoints().set(kNeckYaw));
    ASSERT_FALSE(refused.ok());
    EXPECT_NE(refused.error().message().find("neck_yaw"), std::string::npos);
    EXPECT_NE(refused.error().message().find("power-cycle the neck motors"), std::string::npos);
    // Queued all the same, the loop does not move it.
    sim->clear_set_point_history();
    send(move({{kNeckYaw, 0.2}}));
    EXPECT_EQ(loop->wait_motion_until(std::chrono::steady_clock::now() + 5s, nullptr), quorvel::WaitEnd::Done);
    EXPECT_TRUE(sim->neck_command_history(0).empty());
}

TEST_F(MotionLoop, ASilentServoHoldsUpNeitherTheNecksMotionNorItsCommands) {
    enable_all();
    // Every read now takes its five attempts: at least 170 ms with its pauses.
    sim->set_servo_silent(7, true);
    std::this_thread::sleep_for(50ms);
    sim->clear_set_point_history();
    cmd::MoveTo slow = move({{kNeckYaw, 0.3}});
    slow.min_duration = 0.6;
    send(slow);
    ASSERT_EQ(loop->wait_motion_until(std::chrono::steady_clock::now() + 10s, nullptr), quorvel::WaitEnd::Done);
    // The neck kept its 10 ms period through the retries (a few reads' worth
    // of set points, not one a read).
    EXPECT_GE(sim->neck_command_history(0).size(), 30u);

    // A neck command waits for no read to end.
    sim->clear_set_point_history();
    const double sent = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    ASSERT_FALSE(loop->send_command(cmd::SetNeckPosition{{-0.1, 0.0, 0.0}}));
    ASSERT_TRUE(eventually([&] { return !sim->neck_command_history(0).empty(); }));
    EXPECT_LT(sim->neck_command_history(0).front().time - sent, 0.12);

    // Servo commands keep their order around the neck's.
    ASSERT_FALSE(loop->send_command(cmd::SetLeftArmPosition{{0.1, 0.1}}));
    ASSERT_FALSE(loop->send_command(cmd::SetNeckPosition{{0.1, 0.0, 0.0}}));
    ASSERT_FALSE(loop->send_command(cmd::SetRightArmPosition{{0.2, 0.2}}));
    ASSERT_TRUE(eventually([&] { return !sim->servo_goal_history(3).empty(); }));
    ASSERT_FALSE(sim->servo_goal_history(1).empty());
    EXPECT_LT(sim->servo_goal_history(1).front().time, sim->servo_goal_history(3).front().time);
}

TEST_F(MotionLoop, ANeckCutMidMotionByCloseHoldsItsSetPoint) {
    enable_all();
    cmd::MoveTo slow = move({{kNeckYaw, 0.4}});
    slow.min_duration = 5.0;
    send(slow);
    ASSERT_TRUE(eventually([&] { return sim->neck_command_history(0).size() > 20; }));
    loop->close();
    const auto neck = sim->neck_command_history(0);
    ASSERT_GE(neck.size(), 2u);
    // The MIT velocity field of yaw has a resolution of 60/4095 rad/s.
    EXPECT_GT(neck[neck.size() - 2].velocity, 0.05);
    EXPECT_NEAR(neck.back().velocity, 0.0, 60.0 / 4095);
    EXPECT_NEAR(neck.back().position, neck[neck.size() - 2].position, 1e-3);
}

namespace {
using NeckOnlyMotion = test_support::SimTest;
}

TEST_F(NeckOnlyMotion, AServoMotionIsRefusedAsTheServosAreNotThisLoops) {
    test_support::LoopSettings neck_only;
    neck_only.with_serial = false;
    auto loop = start(neck_only);
    ASSERT_TRUE(loop);
    const auto refused = loop->check_motion_start("move_to", MotionJoints().set(kNoseTop));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "move_to: nose_top: serial port not configured (neck-only controller)");
}
