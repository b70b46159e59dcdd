// Health readings: the decoding of every field from known register bytes and
// feedback frames, and the reads on the virtual torso (their cost, their
// faults, and that they only read).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "candrive/damiao/mit.hpp"
#include "candrive/damiao/state.hpp"
#include "controller/motor_status.hpp"
#include "controller_fixture.hpp"
#include "smartbus/feetech_servo.hpp"

namespace quorvel::testing {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr std::uint8_t kSyncRead = 0x82;

// ---- Decoding -----------------------------------------------------------------

TEST(StatusDecode, EveryFieldOfTheStatusBlock) {
    const std::uint8_t block[15] = {
        0x00, 0x0C,  // 56 present position 3072: pi/2
        0x00, 0x84,  // 58 present speed: sign bit 15, 1024 steps/s
        0xF4, 0x05,  // 60 present load: sign bit 10, 500 x 0.1 %
        0x78,        // 62 voltage 12.0 V
        0x2D,        // 63 temperature 45
        0x00,        // 64
        0x24,        // 65 status: bits 2 and 5
        0x01,        // 66 moving
        0x00, 0x00,  // 67, 68
        0x64, 0x00,  // 69 present current 100 x 6.5 mA
    };
    auto reading = smartbus::feetech_servo::decode_status_block(block);
    ASSERT_TRUE(reading.ok());
    EXPECT_DOUBLE_EQ(reading->position, kPi / 2);
    EXPECT_DOUBLE_EQ(reading->velocity, -kPi / 2);
    EXPECT_DOUBLE_EQ(reading->load, -0.5);
    EXPECT_DOUBLE_EQ(reading->voltage, 12.0);
    EXPECT_EQ(reading->temperature, 45);
    EXPECT_DOUBLE_EQ(reading->current, 0.65);
    EXPECT_TRUE(reading->moving);

    const ServoStatus status = servo_status_from(5, *reading);
    EXPECT_EQ(status.name, "nose_left");
    EXPECT_EQ(status.id, 6);
    EXPECT_EQ(status.errors, (std::vector<std::string>{"overheat", "overload"}));

    // Positive values; bits above the load's sign bit are not part of it.
    const std::uint8_t forward[15] = {0x00, 0x08, 0x32, 0x00, 0xE8, 0xFB, 0x5F, 0x20, 0, 0x00, 0, 0, 0, 0x00, 0x80};
    reading = smartbus::feetech_servo::decode_status_block(forward);
    ASSERT_TRUE(reading.ok());
    EXPECT_DOUBLE_EQ(reading->position, 0.0);
    EXPECT_DOUBLE_EQ(reading->velocity, 50 * 2 * kPi / 4096);
    EXPECT_DOUBLE_EQ(reading->load, 1.0);  // 0xFBE8: bit 10 clear, magnitude 1000
    EXPECT_FALSE(reading->moving);
    EXPECT_DOUBLE_EQ(reading->current, -0.0);
    EXPECT_TRUE(smartbus::feetech_servo::status_flag_names(0).empty());
    EXPECT_EQ(smartbus::feetech_servo::status_flag_names(0xFF),
              (std::vector<std::string>{"voltage", "angle", "overheat", "overcurrent", "overload"}));

    EXPECT_FALSE(smartbus::feetech_servo::decode_status_block(std::span(block, 14)).ok());
}

TEST(StatusDecode, FeedbackFrameStateCodesAndTurns) {
    const candrive::damiao::MitLimits yaw = kNeckJoints[0].limits;
    // Enabled motor (state 1) a whole turn off zero (p = 0xC04E: 6.28 rad), 41 and 57 deg C.
    const std::uint8_t turned[8] = {0x11, 0xC0, 0x4E, 0x7F, 0xF7, 0xFF, 41, 57};
    auto state = candrive::damiao::decode_state(yaw, turned);
    ASSERT_TRUE(state.ok());
    NeckStatus status = neck_status_from(0, *state);
    EXPECT_EQ(status.name, "neck_yaw");
    EXPECT_EQ(status.can_id, 1);
    EXPECT_NEAR(status.position, 6.28, 1e-3);
    EXPECT_NEAR(status.velocity, 0.0, 0.01);
    EXPECT_NEAR(status.torque, 0.0, 0.01);
    EXPECT_EQ(status.temperature_mos, 41);
    EXPECT_EQ(status.temperature_rotor, 57);
    EXPECT_TRUE(status.enabled);
    EXPECT_EQ(status.fault, std::nullopt);
    EXPECT_EQ(status.turns_off_zero, 1);

    // Every listed state code, on the roll motor.
    const std::pair<std::uint8_t, const char*> faults[] = {
        {0x8, "overvoltage"},    {0x9, "undervoltage"},   {0xA, "overcurrent"},        {0xB, "mos_overheat"},
        {0xC, "rotor_overheat"}, {0xD, "lost_communication"}, {0xE, "overload"},
    };
    for (const auto& [code, name] : faults) {
        const std::uint8_t frame[8] = {static_cast<std::uint8_t>(code << 4 | 3), 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 30, 32};
        state = candrive::damiao::decode_state(kNeckJoints[2].limits, frame);
        ASSERT_TRUE(state.ok());
        status = neck_status_from(2, *state);
        EXPECT_EQ(status.fault, std::optional<std::string>(name)) << int{code};
        EXPECT_FALSE(status.enabled);
        EXPECT_EQ(status.name, "neck_roll");
    }
    EXPECT_EQ(candrive::damiao::state_fault_name(0), std::nullopt);
    EXPECT_EQ(candrive::damiao::state_fault_name(1), std::nullopt);
    EXPECT_EQ(candrive::damiao::state_fault_name(5), std::optional<std::string_view>("state_5"));

    EXPECT_EQ(turns_off_zero(3.1), 0);
    EXPECT_EQ(turns_off_zero(-3.2), -1);
    EXPECT_EQ(turns_off_zero(-12.5), -2);
    EXPECT_EQ(turns_off_zero(NAN), 0);
}

// ---- On the virtual torso --------------------------------------------------------

// The instruction of every packet the host sent.
std::vector<std::uint8_t> instructions(const std::vector<std::vector<std::uint8_t>>& packets) {
    std::vector<std::uint8_t> out;
    for (const auto& packet : packets) out.push_back(packet.size() > 4 ? packet[4] : 0);
    return out;
}

TEST_F(ControllerTest, ServoStatusIsTwoSyncReadsThatFollowTheServos) {
    sim->set_servo_position(3, 1.0);
    sim->set_servo_temperature(6, 75);
    sim->set_voltage(118);
    auto status = ctl->read_servo_status();
    ASSERT_TRUE(status.ok()) << status.error().message();
    EXPECT_EQ(instructions(serial_packets()), (std::vector<std::uint8_t>{kSyncRead, kSyncRead}));
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ((*status)[i].name, kServoJoints[i].name);
        EXPECT_EQ((*status)[i].id, kServoJoints[i].id);
        EXPECT_DOUBLE_EQ((*status)[i].voltage, 11.8);
        EXPECT_FALSE((*status)[i].moving);
    }
    EXPECT_NEAR((*status)[2].position, 1.0, 2 * kPi / 4096);
    EXPECT_EQ((*status)[5].temperature, 75);
    EXPECT_EQ((*status)[5].errors, std::vector<std::string>{"overheat"});
    EXPECT_TRUE((*status)[4].errors.empty());

    // A servo on its way to its goal reports its speed, load and current.
    sim->set_servo_speed(1.0);
    ASSERT_TRUE(ctl->enable_torque().ok());
    ASSERT_TRUE(ctl->set_nose_position({-3.0, 0.0, 0.0}).ok());
    status = ctl->read_servo_status();
    ASSERT_TRUE(status.ok());
    const ServoStatus& top = (*status)[4];
    EXPECT_TRUE(top.moving);
    EXPECT_NEAR(top.velocity, -1.0, 2 * kPi / 4096);
    EXPECT_LT(top.load, 0.0);
    EXPECT_GT(top.current, 0.0);

    sim->set_servo_silent(2, true);
    EXPECT_FALSE(ctl->read_servo_status().ok());
}

TEST_F(ControllerTest, NeckStatusReportsFaultsTemperaturesAndTurns) {
    sim->set_neck_position(1, 6.1);
    sim->set_neck_temperatures(2, 45, 85);
    auto status = ctl->read_neck_status();
    ASSERT_TRUE(status.ok()) << status.error().message();
    EXPECT_EQ((*status)[0].fault, std::nullopt);
    EXPECT_EQ((*status)[0].turns_off_zero, 0);
    EXPECT_EQ((*status)[1].turns_off_zero, 1);
    EXPECT_EQ((*status)[2].fault, std::optional<std::string>("rotor_overheat"));
    EXPECT_EQ((*status)[2].temperature_mos, 45);
    EXPECT_EQ((*status)[2].temperature_rotor, 85);

    // A faulted motor refuses to be enabled; the others report enabled.
    sim->set_neck_temperatures(2, 30, 32);
    sim->set_neck_fault(0, 0x9);
    EXPECT_TRUE(ctl->enable_neck(true).ok());
    status = ctl->read_neck_status();
    ASSERT_TRUE(status.ok());
    EXPECT_EQ((*status)[0].fault, std::optional<std::string>("undervoltage"));
    EXPECT_FALSE((*status)[0].enabled);
    EXPECT_TRUE((*status)[1].enabled);
    EXPECT_FALSE(sim->neck_state(0).enabled);

    sim->set_neck_silent(1, true);
    auto silent = ctl->read_neck_status();
    ASSERT_FALSE(silent.ok());
    EXPECT_EQ(silent.error().message(), "read_neck_status(neck_pitch): transport error: timeout waiting for frame");
}

TEST_F(ControllerTest, ProbesOnlyReadAndNameTheirMotor) {
    for (std::uint8_t id = 1; id <= 7; ++id) {
        auto probe = ctl->probe_servo(id);
        ASSERT_TRUE(probe.ok()) << probe.error().message();
        EXPECT_EQ(probe->model_number, id <= 4 ? 0x0A14 : 0x0909);
        EXPECT_EQ(probe->status.id, id);
    }
    const auto sent = instructions(serial_packets());
    EXPECT_EQ(std::set<std::uint8_t>(sent.begin(), sent.end()), std::set<std::uint8_t>{0x02});  // reads only
    EXPECT_TRUE(ctl->probe_servo(8).error().is_invalid_argument());

    sim->set_neck_ctrl_mode(2, 3);
    auto neck = ctl->probe_neck_motor(2);
    ASSERT_TRUE(neck.ok()) << neck.error().message();
    EXPECT_EQ(neck->control_mode, 3U);
    EXPECT_EQ(neck->status.name, "neck_roll");
    for (const auto& frame : sim->can_log()) {
        ASSERT_EQ(frame.id, 0x7FFU);
        ASSERT_TRUE(frame.data[2] == 0xCC || frame.data[2] == 0x33);  // feedback request, register read
    }
}

TEST(StatusNeckOnly, ServoReadsNeedTheSerialPort) {
    auto sim = torso_sim::TorsoSim::start();
    ASSERT_NE(sim, nullptr);
    auto ctl = QuorvelMotorController::create(std::nullopt, sim->can_bus());
    ASSERT_TRUE(ctl.ok());
    EXPECT_EQ(ctl->read_servo_status().error().message(), kNeckOnlyMessage);
    EXPECT_EQ(ctl->probe_servo(1).error().message(), kNeckOnlyMessage);
    EXPECT_TRUE(ctl->read_neck_status().ok());
}

}  // namespace
}  // namespace quorvel::testing
