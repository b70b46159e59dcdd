// What a control loop checks before its thread starts, and what it refuses.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "log_capture.hpp"
#include "sim_fixture.hpp"

using namespace std::chrono_literals;
using quorvel::ControlLoopError;
using test_support::LoopSettings;
using Clock = std::chrono::steady_clock;

class StartUp : public test_support::SimTest {};

TEST_F(StartUp, RefusesAZeroPeriodOrZeroRetriesBeforeOpeningAnything) {
    auto zero_period = quorvel::QuorvelControlLoop::create(sim->serial_path(), sim->can_bus(), 0ns, std::nullopt, 5, 30s);
    ASSERT_FALSE(zero_period.ok());
    EXPECT_EQ(zero_period.error().kind(), ControlLoopError::Kind::InvalidArgument);
    auto zero_retries = quorvel::QuorvelControlLoop::create(sim->serial_path(), sim->can_bus(), 10ms, std::nullopt, 0, 30s);
    ASSERT_FALSE(zero_retries.ok());
    EXPECT_EQ(zero_retries.error().kind(), ControlLoopError::Kind::InvalidArgument);
    EXPECT_TRUE(sim->serial_log().empty());
    EXPECT_TRUE(sim->can_log().empty());
}

TEST_F(StartUp, PortProblems) {
    auto missing = quorvel::QuorvelControlLoop::create("/dev/none", sim->can_bus(), 10ms, std::nullopt, 5, 30s);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().message(), "Check if your USB cable is connected. Could not find port: /dev/none!");
    EXPECT_TRUE(sim->can_log().empty());
    // The texts stay as they are; the cause names the device that failed and why.
    const auto cause_of = [](const auto& failed) {
        const quorvel::MotorError* error = failed.error().motor_error();
        return error != nullptr && error->os_cause() != nullptr ? *error->os_cause() : common::OsCause{};
    };
    EXPECT_EQ(cause_of(missing), (common::OsCause{ENOENT, "/dev/none"}));

    const std::string regular = testing::TempDir() + "qmc_not_a_tty";
    std::ofstream(regular) << "x";
    auto not_a_port = quorvel::QuorvelControlLoop::create(regular, sim->can_bus(), 10ms, std::nullopt, 5, 30s);
    std::remove(regular.c_str());
    ASSERT_FALSE(not_a_port.ok());
    EXPECT_EQ(not_a_port.error().message(),
              "Could not open serial port: " + regular + "! Check permissions and if the port is already in use.");
    EXPECT_EQ(cause_of(not_a_port), (common::OsCause{ENOTTY, regular}));

    // A neck-only loop whose CAN bus cannot be opened names no path.
    auto no_can = quorvel::QuorvelControlLoop::create(std::nullopt, "unix:/nonexistent/can.sock", 10ms,
                                                      std::nullopt, 5, 30s);
    ASSERT_FALSE(no_can.ok());
    EXPECT_EQ(no_can.error().message(),
              "Could not open serial port: ! Check permissions and if the port is already in use.");
    EXPECT_EQ(cause_of(no_can), (common::OsCause{ENOENT, "unix:/nonexistent/can.sock"}));
}

TEST_F(StartUp, MissingMotorsAreNamed) {
    sim->set_servo_silent(3, true);
    sim->set_servo_silent(6, true);
    EXPECT_EQ(start_error(), "Missing motors: [\"right_arm_pitch\", \"nose_left\"]!");

    for (std::uint8_t id = 1; id <= 7; ++id) sim->set_servo_silent(id, true);
    EXPECT_EQ(start_error(), "No motors detected. Check if the power supply is connected and turned on!");

    for (std::uint8_t id = 1; id <= 7; ++id) sim->set_servo_silent(id, false);
    sim->set_neck_silent(1, true);
    EXPECT_EQ(start_error(), "Missing motors: [\"neck_pitch\"]!");
}

TEST_F(StartUp, WaitsForTheSupplyVoltageThenReboots) {
    test_support::clear_captured_records();
    sim->set_voltage_ramp(100, 120, 600ms);  // 11.0 V after 300 ms
    const auto begin = Clock::now();
    auto loop = start();
    ASSERT_TRUE(loop);
    EXPECT_GE(Clock::now() - begin, 150ms);
    EXPECT_EQ(test_support::records_starting_with("Waiting for voltage to be stable at 12V...").size(), 1U);
    auto stable = test_support::records_starting_with("Voltage is stable at ~12V: [");
    ASSERT_EQ(stable.size(), 1U);
    EXPECT_NE(stable[0].message.find("] (took "), std::string::npos) << stable[0].message;
    EXPECT_EQ(stable[0].level, common::log::Level::Info);
    for (std::uint8_t id = 1; id <= 7; ++id) EXPECT_EQ(sim->servo_reboot_count(id), 1U);
}

TEST_F(StartUp, VoltageTimeout) {
    sim->set_voltage(109);
    LoopSettings settings;
    settings.voltage_timeout = 1s;
    const auto begin = Clock::now();
    EXPECT_EQ(start_error(settings), "Voltage did not ramp up to 12V (got 10.9V) within 1s!");
    EXPECT_GE(Clock::now() - begin, 950ms);

    settings.voltage_timeout = 0s;
    const auto again = Clock::now();
    EXPECT_EQ(start_error(settings), "Voltage did not ramp up to 12V (got 10.9V) within 0ns!");
    EXPECT_LT(Clock::now() - again, 1s);
    EXPECT_EQ(sim->servo_reboot_count(1), 0U);

    // 11.0 V is enough: a first reading at 110 goes on even with no time to wait.
    sim->set_voltage(110);
    EXPECT_TRUE(start(settings));
    EXPECT_EQ(sim->servo_reboot_count(1), 1U);
}

TEST_F(StartUp, NeckOnlyLoop) {
    test_support::clear_captured_records();
    test_support::LoopSettings settings;
    settings.with_serial = false;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    auto position = loop->get_last_position();
    ASSERT_TRUE(position.ok());
    EXPECT_EQ(position->left_arm, (std::array<double, 2>{0.0, 0.0}));
    EXPECT_EQ(position->right_arm, (std::array<double, 2>{0.0, 0.0}));
    EXPECT_EQ(position->nose, (std::array<double, 3>{0.0, 0.0, 0.0}));
    ASSERT_TRUE(loop->is_torque_enabled().ok());
    EXPECT_FALSE(loop->is_torque_enabled().value());
    EXPECT_TRUE(test_support::records_starting_with("Waiting for voltage").empty());
    EXPECT_EQ(loop->motor_name_ids().size(), 7U);
    EXPECT_EQ(loop->motor_name_ids().at("nose_right"), 7);
}
