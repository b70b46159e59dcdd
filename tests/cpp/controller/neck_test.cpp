// Neck operations over the virtual CAN bus.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "controller_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kMitPositionStep = 25.0 / 65535;  // 16-bit position over +-12.5 rad
constexpr char kSilent[] = "transport error: timeout waiting for frame";

bool is_mode_or_enable_frame(const torso_sim::CanLogEntry& frame) {
    const auto& d = frame.data;
    const bool special = d.size() == 8 && d[0] == 0xFF && d[6] == 0xFF && (d[7] == 0xFC || d[7] == 0xFD);
    const bool register_access = frame.id == 0x7FF && d.size() >= 3 && (d[2] == 0x33 || d[2] == 0x55);
    return special || register_access;
}

TEST(NeckClamp, ClampsToTheSafetyBoundsAndLogsEachClamp) {
    auto& sink = log_sink();
    sink.take_warnings();
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(1, 0.6), 0.45);
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(0, 0.5), 0.5);
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(1, -0.1), 0.0);
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(2, -0.25), -0.25);
    EXPECT_EQ(sink.take_warnings(),
              (std::vector<std::string>{
                  "neck_pitch requested position 0.6000 rad out of safe range [0.0000, 0.4500]; clamped to 0.4500",
                  "neck_pitch requested position -0.1000 rad out of safe range [0.0000, 0.4500]; clamped to 0.0000"}));

    // Differences within the machine epsilon are not worth a warning; just beyond it they are.
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(1, -1e-17), 0.0);
    EXPECT_TRUE(sink.take_warnings().empty());
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(1, -3e-16), 0.0);
    EXPECT_EQ(sink.take_warnings(),
              (std::vector<std::string>{
                  "neck_pitch requested position -0.0000 rad out of safe range [0.0000, 0.4500]; clamped to 0.0000"}));
    // With warn records switched off nothing reaches the sink.
    common::log::set_max_level(common::log::Level::Error);
    EXPECT_EQ(QuorvelMotorController::clamp_neck_position(2, 0.9), 0.4);
    common::log::set_max_level(common::log::Level::Trace);
    EXPECT_TRUE(sink.take_warnings().empty());

    const auto limits = QuorvelMotorController::neck_position_limits();
    EXPECT_EQ(limits[0], std::make_pair(-0.5, 0.5));
    EXPECT_EQ(limits[1], std::make_pair(0.0, 0.45));
    EXPECT_EQ(limits[2], std::make_pair(-0.4, 0.4));
}

TEST_F(ControllerTest, NeckEnableSwitchesModeAndStopsAtAFailingJoint) {
    sim->set_neck_ctrl_mode(1, 2);  // pitch left in position-velocity mode
    ASSERT_TRUE(ctl->enable_neck(true).ok());
    EXPECT_TRUE(ctl->is_neck_torque_enabled());
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(sim->neck_state(i).enabled);
        EXPECT_EQ(sim->neck_state(i).ctrl_mode, 1U);
    }

    sim->set_neck_silent(1, true);
    auto failed = ctl->enable_neck(false);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), std::string("neck_pitch: disable failed: ") + kSilent);
    EXPECT_FALSE(sim->neck_state(0).enabled);
    EXPECT_TRUE(sim->neck_state(2).enabled);  // never reached
    EXPECT_TRUE(ctl->is_neck_torque_enabled());

    sim->set_neck_silent(1, false);
    ASSERT_TRUE(ctl->enable_neck(false).ok());
    EXPECT_FALSE(ctl->is_neck_torque_enabled());

    sim->set_mode_write_sticks(false);
    sim->set_neck_ctrl_mode(0, 2);
    failed = ctl->enable_neck(true);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              "neck_yaw: ensure MIT mode failed: control mode verification failed: wrote 1, motor reports 2");
    EXPECT_FALSE(ctl->is_neck_torque_enabled());
}

TEST_F(ControllerTest, NeckSettersClampCommandAndReportObservedPositions) {
    ASSERT_TRUE(ctl->enable_neck(true).ok());
    log_sink().take_warnings();
    auto observed = ctl->set_neck_position({1.0, 1.0, 1.0});
    ASSERT_TRUE(observed.ok()) << observed.error().message();
    const double clamped[] = {0.5, 0.45, 0.4};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(sim->neck_state(i).commanded_position, clamped[i], kMitPositionStep) << i;
        EXPECT_NEAR((*observed)[i], clamped[i], 2 * kMitPositionStep) << i;
    }
    EXPECT_EQ(log_sink().take_warnings().size(), 3U);

    auto single = ctl->set_single_neck_joint(2, -0.2);
    ASSERT_TRUE(single.ok());
    EXPECT_NEAR(*single, -0.2, 2 * kMitPositionStep);
    auto read = ctl->read_neck_positions();
    ASSERT_TRUE(read.ok());
    EXPECT_NEAR((*read)[0], 0.5, 2 * kMitPositionStep);
    EXPECT_NEAR((*read)[2], -0.2, 2 * kMitPositionStep);

    // Gains apply to the joint's next command only.
    EXPECT_EQ(ctl->set_neck_gains(3, 1.0F, 1.0F).error().message(), "neck index out of range: 3");
    ASSERT_TRUE(ctl->set_neck_gains(0, 12.0F, 0.5F).ok());
    ASSERT_TRUE(ctl->set_single_neck_joint(0, 0.0).ok());
    EXPECT_NEAR(sim->neck_state(0).kp, 12.0, 0.2);
    EXPECT_NEAR(sim->neck_state(0).kd, 0.5, 0.01);
    EXPECT_NEAR(sim->neck_state(1).kp, 60.0, 0.2);
}

TEST_F(ControllerTest, NonFiniteNeckPositionsAreRefusedWithoutTraffic) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    auto refused = ctl->set_neck_position({0.0, nan, 0.0});
    ASSERT_FALSE(refused.ok());
    EXPECT_TRUE(refused.error().is_invalid_argument());
    EXPECT_EQ(refused.error().message(), "set_neck_position(neck_pitch): position must be finite, got NaN");
    EXPECT_EQ(ctl->set_single_neck_joint(0, -inf).error().message(),
              "set_neck_yaw_position: position must be finite, got -inf");
    EXPECT_TRUE(ctl->command_neck_mit({0.0, 0.0, inf}, "probe").error().is_invalid_argument());
    EXPECT_TRUE(ctl->command_neck_mit({1e300, 0.0, 0.0}, "probe").error().is_invalid_argument());
    EXPECT_EQ(ctl->set_single_neck_joint(3, 0.0).error().message(), "neck index out of range: 3");
    EXPECT_TRUE(sim->can_log().empty());
    EXPECT_TRUE(log_sink().take_warnings().empty());
}

TEST_F(ControllerTest, SilentNeckMotorsFailWithTheJointAndRecover) {
    sim->set_neck_silent(0, true);
    EXPECT_EQ(ctl->read_neck_positions().error().message(), std::string("read_neck_positions(neck_yaw): ") + kSilent);
    EXPECT_EQ(sim->can_log().size(), 3U);  // all three asked at once; the first failing joint is named
    EXPECT_EQ(ctl->set_single_neck_joint(0, 0.1).error().message(), std::string("set_neck_yaw_position: ") + kSilent);
    sim->set_neck_silent(0, false);

    sim->set_neck_silent(2, true);
    EXPECT_EQ(ctl->set_neck_position({0.0, 0.1, 0.0}).error().message(),
              std::string("set_neck_position(neck_roll): ") + kSilent);
    sim->set_neck_silent(2, false);
    EXPECT_TRUE(ctl->read_neck_positions().ok());
    EXPECT_TRUE(ctl->set_neck_position({0.0, 0.1, 0.0}).ok());
}

TEST_F(ControllerTest, NeckHomeRampsToTheNearestMultipleOfTwoPi) {
    sim->set_neck_position(0, 6.1);
    sim->set_neck_position(1, -0.2);
    sim->set_neck_position(2, 3.2);  // 3.2 / 2 pi rounds up to 1
    auto homed = ctl->neck_home(4.0, 0.15, 40.0F, std::nullopt);
    ASSERT_TRUE(homed.ok()) << homed.error().message();
    const double goals[] = {kTwoPi, 0.0, kTwoPi};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR((*homed)[i], goals[i], 0.15) << i;
        EXPECT_NEAR(sim->neck_state(i).commanded_position, goals[i], kMitPositionStep) << i;
        EXPECT_NEAR(sim->neck_state(i).kp, 40.0, 0.2) << i;  // the override, on every joint
    }
    EXPECT_TRUE(ctl->is_neck_torque_enabled());
    EXPECT_TRUE(log_sink().take_warnings().empty());  // homing never clamps

    // Already enabled: no mode or enable frames this time.
    sim->clear_logs();
    ASSERT_TRUE(ctl->neck_home(4.0, 0.15, std::nullopt, std::nullopt).ok());
    for (const auto& frame : sim->can_log()) EXPECT_FALSE(is_mode_or_enable_frame(frame)) << frame.id;
}

TEST_F(ControllerTest, NeckHomeValidatesAndKeepsGainOverridesOnFailure) {
    EXPECT_EQ(ctl->neck_home(0.0, 0.1, std::nullopt, std::nullopt).error().message(),
              "neck_home: speed must be positive, got 0");
    EXPECT_EQ(ctl->neck_home(0.4, std::nan(""), std::nullopt, std::nullopt).error().message(),
              "neck_home: tolerance must be positive, got NaN");
    // Faster than the slowest neck motor may turn, or too slow to get home within the hour.
    double fastest = std::numeric_limits<double>::infinity();
    for (const auto& joint : kNeckJoints) fastest = std::min(fastest, static_cast<double>(joint.limits.vmax));
    for (double speed : {std::nextafter(fastest, 1e308), 1e308, kTwoPi / 2 / 3600 * 0.999, 1e-320}) {
        auto refused = ctl->neck_home(speed, 0.15, std::nullopt, std::nullopt);
        ASSERT_FALSE(refused.ok()) << speed;
        EXPECT_TRUE(refused.error().is_invalid_argument()) << refused.error().message();
        EXPECT_EQ(refused.error().message().rfind("neck_home: speed must be at ", 0), 0U) << refused.error().message();
    }
    EXPECT_TRUE(sim->can_log().empty());

    sim->set_neck_silent(1, true);
    auto silent = ctl->neck_home(fastest, 0.1, 25.0F, std::nullopt);
    EXPECT_EQ(silent.error().message(), std::string("read_neck_positions(neck_pitch): ") + kSilent);
    // The motor at fault travels with the error.
    EXPECT_EQ(silent.error().motor_at_fault(),
              (MotorAtFault{MotorAtFault::Bus::Can, 2, "neck_pitch", false, ""}));
    sim->set_neck_silent(1, false);
    ASSERT_TRUE(ctl->enable_neck(true).ok());
    ASSERT_TRUE(ctl->set_single_neck_joint(2, 0.0).ok());
    EXPECT_NEAR(sim->neck_state(2).kp, 25.0, 0.2);
}

// Slow by nature: 2000 cycles of 10 ms before giving up.
TEST_F(ControllerTest, NeckHomeTimesOutWhenAJointCannotSettle) {
    // A reported position is never exactly on its goal, so a tiny tolerance cannot be met.
    sim->set_neck_position(0, 6.3);
    sim->set_neck_position(1, 0.2);
    sim->set_neck_position(2, 0.1);
    auto failed = ctl->neck_home(1.0, 1e-9, std::nullopt, std::nullopt);
    ASSERT_FALSE(failed.ok());
    const std::string message = failed.error().message();
    EXPECT_EQ(message.rfind("neck_home: timed out before settling. observed=[", 0), 0U) << message;
    const std::string tail = ", goals=[6.283185307179586, 0.0, 0.0], settled=[false, false, false]";
    ASSERT_GE(message.size(), tail.size());
    EXPECT_EQ(message.substr(message.size() - tail.size()), tail);
    EXPECT_TRUE(ctl->is_neck_torque_enabled());  // never disabled
}

}  // namespace
}  // namespace quorvel::testing
