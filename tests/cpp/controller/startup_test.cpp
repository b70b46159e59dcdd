// Construction, presence checks, voltages and the reboot of all servos.
#include <cerrno>
#include <chrono>

#include "controller_fixture.hpp"

namespace quorvel::testing {
namespace {

using namespace std::chrono_literals;

TEST(ControllerConstruction, NameIdMapHoldsTheSevenServoJoints) {
    const auto map = QuorvelMotorController::get_motor_name_id();
    ASSERT_EQ(map.size(), 7U);
    EXPECT_EQ(map.at("left_arm_pitch"), 1);
    EXPECT_EQ(map.at("right_arm_yaw"), 4);
    EXPECT_EQ(map.at("nose_left"), 6);
    EXPECT_EQ(map.at("nose_right"), 7);
}

TEST(ControllerConstruction, CanFailureClosesTheSerialPortAgain) {
    auto sim = torso_sim::TorsoSim::start();
    ASSERT_NE(sim, nullptr);
    const std::string bad_bus = "unix:/nonexistent/quorvel/can.sock";
    auto failed = QuorvelMotorController::create(sim->serial_path(), bad_bus);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message().rfind("failed to open CAN bus '" + bad_bus + "': backend error: ", 0), 0U)
        << failed.error().message();
    EXPECT_EQ(failed.error().serial(), nullptr);
    ASSERT_NE(failed.error().os_cause(), nullptr);
    EXPECT_EQ(*failed.error().os_cause(), (common::OsCause{ENOENT, bad_bus}));

    // The exclusive lock was released: the same port opens again at once.
    auto second = QuorvelMotorController::create(sim->serial_path(), sim->can_bus());
    ASSERT_TRUE(second.ok()) << second.error().message();
    EXPECT_TRUE(second->has_serial_port());
    // While that controller holds the port, a third one cannot take it.
    auto third = QuorvelMotorController::create(sim->serial_path(), sim->can_bus());
    ASSERT_FALSE(third.ok());
    const smartbus::Error* serial = third.error().serial();
    ASSERT_TRUE(serial != nullptr && serial->port() != nullptr) << third.error().message();
    ASSERT_NE(third.error().os_cause(), nullptr);
    EXPECT_EQ(third.error().os_cause()->device, sim->serial_path());
}

TEST(ControllerConstruction, SerialFailureIsThePortError) {
    auto sim = torso_sim::TorsoSim::start();
    ASSERT_NE(sim, nullptr);
    auto failed = QuorvelMotorController::create(std::string("/nonexistent/tty"), sim->can_bus());
    ASSERT_FALSE(failed.ok());
    ASSERT_NE(failed.error().serial(), nullptr);
    EXPECT_EQ(failed.error().message(), "No such file or directory");
    ASSERT_NE(failed.error().os_cause(), nullptr);
    EXPECT_EQ(*failed.error().os_cause(), (common::OsCause{ENOENT, "/nonexistent/tty"}));
    EXPECT_TRUE(sim->can_log().empty());
}

TEST(ControllerConstruction, NeckOnlyControllerRefusesServoWorkButRunsTheNeck) {
    auto sim = torso_sim::TorsoSim::start();
    ASSERT_NE(sim, nullptr);
    auto created = QuorvelMotorController::create(std::nullopt, sim->can_bus());
    ASSERT_TRUE(created.ok()) << created.error().message();
    QuorvelMotorController& ctl = created.value();
    const std::string neck_only = "serial port not configured (neck-only controller)";

    EXPECT_FALSE(ctl.has_serial_port());
    EXPECT_TRUE(ctl.check_missing_ids().empty());
    EXPECT_TRUE(ctl.reboot(1s).ok());
    EXPECT_EQ(ctl.read_all_voltages().error().message(), neck_only);
    EXPECT_EQ(ctl.read_all_positions().error().message(), neck_only);
    EXPECT_EQ(ctl.is_torque_enabled().error().message(), neck_only);
    EXPECT_EQ(ctl.set_nose_position({0, 0, 0}).error().message(), neck_only);
    EXPECT_EQ(ctl.read_raw_bytes(5, 56, 2).error().message(), neck_only);
    EXPECT_EQ(ctl.set_arm_home(0.0).error().message(), "set_arm_home: verify_tol must be positive, got 0");
    EXPECT_EQ(ctl.set_arm_home(0.05).error().message(), neck_only);

    // Only listed torso ids need the port.
    EXPECT_TRUE(ctl.set_torque_on_ids({}, true).ok());
    const std::uint8_t foreign[] = {9, 0};
    EXPECT_TRUE(ctl.set_torque_on_ids(foreign, true).ok());
    const std::uint8_t arm[] = {9, 2};
    EXPECT_EQ(ctl.set_torque_on_ids(arm, true).error().message(), neck_only);

    const std::uint8_t ping[] = {0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB};
    auto raw = ctl.write_raw_packet(ping);
    ASSERT_FALSE(raw.ok());
    EXPECT_EQ(raw.error().kind, smartbus::IoErrorKind::Unsupported);
    EXPECT_EQ(raw.error().message, neck_only);

    EXPECT_TRUE(ctl.read_neck_positions().ok());
    EXPECT_TRUE(ctl.check_missing_neck_motors().empty());
}

TEST_F(ControllerTest, PresenceChecksListSilentServosAndMotors) {
    EXPECT_TRUE(ctl->check_missing_ids().empty());
    EXPECT_TRUE(ctl->check_missing_neck_motors().empty());

    sim->set_servo_silent(3, true);
    sim->set_servo_silent(6, true);
    sim->set_neck_silent(2, true);
    EXPECT_EQ(ctl->check_missing_ids(), (std::vector<std::uint8_t>{3, 6}));
    EXPECT_EQ(ctl->check_missing_neck_motors(), (std::vector<std::string>{"neck_roll"}));
    // The checks enable and move nothing.
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(sim->neck_state(i).enabled);
}

TEST_F(ControllerTest, VoltagesReadArmsThenNose) {
    sim->set_voltage(118);
    auto volts = ctl->read_all_voltages();
    ASSERT_TRUE(volts.ok()) << volts.error().message();
    for (auto v : *volts) EXPECT_EQ(v, 118);
    const auto packets = serial_packets();
    ASSERT_EQ(packets.size(), 2U);
    // Sync reads (0x82) of the present voltage (62, one byte) for ids 1-4, then 5-7.
    EXPECT_EQ(packets[0], (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFE, 0x08, 0x82, 62, 1, 1, 2, 3, 4, 0x2E}));
    EXPECT_EQ(std::vector<std::uint8_t>(packets[1].begin() + 7, packets[1].end() - 1),
              (std::vector<std::uint8_t>{5, 6, 7}));

    sim->set_servo_silent(7, true);  // the last to answer: nothing arrives in its place
    auto failed = ctl->read_all_voltages();
    ASSERT_FALSE(failed.ok());
    EXPECT_TRUE(failed.error().is_timed_out_or_interrupted()) << failed.error().message();
}

TEST_F(ControllerTest, RebootWaitsForEveryServo) {
    sim->set_reboot_silence(150ms);
    const auto start = std::chrono::steady_clock::now();
    auto rebooted = ctl->reboot(2s);
    ASSERT_TRUE(rebooted.ok()) << rebooted.error().message();
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);  // two polling passes at least
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(sim->servo_reboot_count(id), 1U);
    const auto warnings = log_sink().take_warnings();
    ASSERT_EQ(warnings.size(), 7U);
    EXPECT_EQ(warnings[0], "Rebooting motor left_arm_pitch (id=1)");
    EXPECT_EQ(warnings[6], "Rebooting motor nose_right (id=7)");
}

TEST_F(ControllerTest, RebootTimesOutNamingTheSilentServos) {
    sim->set_servo_silent(7, true);
    const auto start = std::chrono::steady_clock::now();
    auto failed = ctl->reboot(1s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(), "Some motors did not respond after reboot ([\"nose_right\"] - ids: [7])");
    EXPECT_GE(elapsed, 1s);
    EXPECT_LT(elapsed, 5s);
    auto warnings = log_sink().take_warnings();
    ASSERT_EQ(warnings.size(), 8U);
    EXPECT_EQ(warnings[5], "Rebooting motor nose_left (id=6)");
    EXPECT_EQ(warnings[7], "Motor nose_right (id=7) did not respond after reboot within timeout");

    // A zero time-out fails at the first check with every servo pending.
    sim->set_servo_silent(7, false);
    failed = ctl->reboot(0s);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message(),
              "Some motors did not respond after reboot ([\"left_arm_pitch\", \"left_arm_yaw\", \"right_arm_pitch\", "
              "\"right_arm_yaw\", \"nose_top\", \"nose_left\", \"nose_right\"] - ids: [1, 2, 3, 4, 5, 6, 7])");
    EXPECT_EQ(log_sink().take_warnings().size(), 14U);
}

}  // namespace
}  // namespace quorvel::testing
