// The neck motors on the virtual CAN bus, driven by raw frame images.
#include "test_client.hpp"
#include "torso_sim/torso_sim.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

using namespace sim_test;
using torso_sim::TorsoSim;

const Bytes kEnable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
const Bytes kDisable{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};
constexpr std::uint32_t kConfigId = 0x7FF;

double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

Bytes feedback_request(std::uint8_t esc) { return {esc, 0x00, 0xCC, 0, 0, 0, 0, 0}; }
Bytes register_read(std::uint8_t esc, std::uint8_t reg) { return {esc, 0x00, 0x33, reg, 0, 0, 0, 0}; }
Bytes register_write(std::uint8_t esc, std::uint8_t reg, std::uint32_t v) {
    return {esc, 0x00, 0x55, reg, static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
std::uint32_t value_of(const Bytes& reply) {
    return reply[4] | (reply[5] << 8) | (reply[6] << 16) | (static_cast<std::uint32_t>(reply[7]) << 24);
}
float feedback_position(const Bytes& fb) { return field_to_float((fb[1] << 8) | fb[2], -12.5f, 12.5f, 16); }

class NeckSide : public ::testing::Test {
protected:
    void SetUp() override {
        sim = TorsoSim::start();
        ASSERT_NE(sim, nullptr);
        node = std::make_unique<CanNode>(sim->can_bus());
        ASSERT_TRUE(node->is_open());
    }
    // Sends a frame and returns the data of the first reply on `reply_id`.
    std::optional<Bytes> request(std::uint32_t id, const Bytes& data, std::uint32_t reply_id,
                                 std::chrono::milliseconds timeout = 500ms) {
        node->send(id, data);
        while (auto m = node->receive(timeout))
            if (m->id == reply_id && !m->extended) return m->data;
        return std::nullopt;
    }
    std::unique_ptr<TorsoSim> sim;
    std::unique_ptr<CanNode> node;
};

TEST_F(NeckSide, FeedbackFrameCarriesStateInTheDocumentedLayout) {
    // A motor at rest at 0, disabled: the midpoints truncate, temperatures 30 and 32.
    EXPECT_EQ(request(kConfigId, feedback_request(1), 1), (Bytes{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20}));
    const auto enabled = request(1, kEnable, 1);
    ASSERT_TRUE(enabled);
    EXPECT_EQ((*enabled)[0], 0x11);   // status 1, id 1
    EXPECT_TRUE(sim->neck_state(0).enabled);
    EXPECT_EQ(request(1, kDisable, 1)->at(0), 0x01);
    EXPECT_FALSE(sim->neck_state(0).enabled);

    // Multi-turn positions stay representable within +-12.5 rad.
    sim->set_neck_position(1, 6.1);
    const auto fb = request(kConfigId, feedback_request(2), 2);
    ASSERT_TRUE(fb);
    EXPECT_EQ((*fb)[0] & 0x0F, 2);
    EXPECT_NEAR(feedback_position(*fb), 6.1, 25.0 / 65535);
    EXPECT_DOUBLE_EQ(sim->neck_position(1), 6.1);
}

TEST_F(NeckSide, MitFramesMoveAnEnabledMotorInMitMode) {
    EXPECT_EQ(mit_frame(1.0f, 0, 20, 0.5f, 0, 12.5f, 30, 10), (Bytes{0x8A, 0x3C, 0x7F, 0xF0, 0xA3, 0x19, 0x97, 0xFF}));
    EXPECT_EQ(mit_frame(0, 0, 0, 0, 0, 12.5f, 30, 10), (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
    EXPECT_EQ(mit_frame(20, -40, 600, -1, 11, 12.5f, 30, 10), (Bytes{0xFF, 0xFF, 0x00, 0x0F, 0xFF, 0x00, 0x0F, 0xFF}));

    const Bytes to_one = mit_frame(1.0f, 0, 20, 0.5f, 0, 12.5f, 30, 10);
    // Disabled: answered, not obeyed.
    ASSERT_TRUE(request(1, to_one, 1));
    EXPECT_EQ(sim->neck_position(0), 0.0);

    ASSERT_TRUE(request(1, kEnable, 1));
    const auto fb = request(1, to_one, 1);
    ASSERT_TRUE(fb);
    EXPECT_NEAR(feedback_position(*fb), 1.0, 1e-3);
    const auto state = sim->neck_state(0);
    EXPECT_NEAR(state.position, 1.0, 1e-3);
    EXPECT_NEAR(state.commanded_position, 1.0, 1e-3);
    EXPECT_NEAR(state.kp, 20.0, 500.0 / 4095);
    EXPECT_NEAR(state.kd, 0.5, 5.0 / 4095);
    EXPECT_EQ(state.ctrl_mode, 1u);

    // Another mode's frame is answered but ignored in MIT mode.
    float p = 2.0f, v = 1.0f;
    Bytes posvel(8);
    std::memcpy(posvel.data(), &p, 4);
    std::memcpy(posvel.data() + 4, &v, 4);
    ASSERT_TRUE(request(0x101, posvel, 1));
    EXPECT_NEAR(sim->neck_position(0), 1.0, 1e-3);
    sim->set_neck_ctrl_mode(0, 2);
    ASSERT_TRUE(request(0x101, posvel, 1));
    EXPECT_DOUBLE_EQ(sim->neck_position(0), 2.0);
}

TEST_F(NeckSide, SpringDamperAndVelocityModesMoveOverTime) {
    sim->set_neck_dynamics(true);
    ASSERT_TRUE(request(2, kEnable, 2));
    ASSERT_TRUE(request(2, mit_frame(0.3f, 0, 60, 2, 0, 12.5f, 10, 28), 2));
    EXPECT_LT(sim->neck_position(1), 0.2);   // not there at once
    std::this_thread::sleep_for(1s);
    EXPECT_NEAR(sim->neck_position(1), 0.3, 0.01);

    sim->set_neck_ctrl_mode(2, 3);
    ASSERT_TRUE(request(3, kEnable, 3));
    float v = 1.0f;
    Bytes vel(8, 0);
    std::memcpy(vel.data(), &v, 4);
    ASSERT_TRUE(request(0x203, vel, 3));
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(sim->neck_position(2), 0.1);
}

TEST_F(NeckSide, RegistersReadAndWriteLikeTheMotor) {
    EXPECT_EQ(request(kConfigId, register_read(1, 0x0A), 1), (Bytes{0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(std::bit_cast<float>(value_of(*request(kConfigId, register_read(2, 0x15), 2))), 12.5f);
    EXPECT_EQ(std::bit_cast<float>(value_of(*request(kConfigId, register_read(2, 0x16), 2))), 10.0f);
    EXPECT_EQ(std::bit_cast<float>(value_of(*request(kConfigId, register_read(1, 0x16), 1))), 30.0f);
    EXPECT_EQ(std::bit_cast<float>(value_of(*request(kConfigId, register_read(3, 0x17), 3))), 28.0f);
    EXPECT_FALSE(request(kConfigId, register_read(1, 0x25), 1, 50ms));   // not a register

    // A write is echoed and sticks.
    EXPECT_EQ(request(kConfigId, register_write(1, 0x0A, 2), 1), register_write(1, 0x0A, 2));
    EXPECT_EQ(value_of(*request(kConfigId, register_read(1, 0x0A), 1)), 2u);
    EXPECT_EQ(sim->neck_state(0).ctrl_mode, 2u);
    // ... unless the mode write is set not to stick.
    sim->set_mode_write_sticks(false);
    EXPECT_EQ(request(kConfigId, register_write(1, 0x0A, 1), 1), register_write(1, 0x0A, 1));
    EXPECT_EQ(value_of(*request(kConfigId, register_read(1, 0x0A), 1)), 2u);
    // Read-only registers ignore writes silently.
    const std::uint32_t damp = sim->neck_register(0, 0x0B);
    EXPECT_FALSE(request(kConfigId, register_write(1, 0x0B, 0x40000000), 1, 50ms));
    EXPECT_EQ(sim->neck_register(0, 0x0B), damp);

    // The power-up mode is a start option.
    torso_sim::Options options;
    options.neck_ctrl_mode = 4;
    auto other = TorsoSim::start(options);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->neck_state(2).ctrl_mode, 4u);
}

TEST_F(NeckSide, RelaysFramesToOtherNodesButNeverToTheSender) {
    CanNode other(sim->can_bus());
    ASSERT_TRUE(other.is_open());
    sim->clear_logs();

    node->send(0x123, {1, 2, 3}, true);
    auto seen = other.receive();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->id, 0x123u);
    EXPECT_TRUE(seen->extended);
    EXPECT_EQ(seen->data, (Bytes{1, 2, 3}));
    node->send(0x42, Bytes(12, 7), false, true);
    seen = other.receive();
    ASSERT_TRUE(seen);
    EXPECT_TRUE(seen->fd);
    EXPECT_EQ(seen->data, Bytes(12, 7));
    EXPECT_FALSE(node->receive(50ms));   // no echo

    // A motor's answer reaches both nodes; the asker's frame only the other one.
    node->send(kConfigId, feedback_request(3));
    seen = other.receive();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->id, kConfigId);
    seen = other.receive();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->id, 3u);
    seen = node->receive();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->id, 3u);
    EXPECT_FALSE(node->receive(50ms));

    const auto log = sim->can_log();
    ASSERT_EQ(log.size(), 3u);   // what the nodes sent, not what the motors answered
    EXPECT_EQ(log[0].id, 0x123u);
    EXPECT_TRUE(log[0].extended);
    EXPECT_TRUE(log[1].fd);
    EXPECT_EQ(log[2].data, feedback_request(3));
    EXPECT_LE(log[0].time, log[2].time);
    sim->clear_logs();
    EXPECT_TRUE(sim->can_log().empty());
}

TEST_F(NeckSide, SilenceAndDelaysAreInjectable) {
    sim->set_neck_silent(2, true);
    EXPECT_FALSE(request(kConfigId, feedback_request(3), 3, 50ms));
    EXPECT_FALSE(request(3, kEnable, 3, 50ms));
    EXPECT_FALSE(sim->neck_state(2).enabled);
    sim->set_neck_silent(2, false);
    EXPECT_TRUE(request(kConfigId, feedback_request(3), 3));

    sim->set_neck_reply_delay(std::chrono::microseconds(30000));
    const double sent = monotonic_now();
    EXPECT_TRUE(request(kConfigId, feedback_request(1), 1));
    EXPECT_GE(monotonic_now() - sent, 0.029);
    sim->reset_faults();

    constexpr int kRounds = 500;
    std::vector<double> round_trips;
    for (int i = 0; i < kRounds; ++i) {
        const double t = monotonic_now();
        ASSERT_TRUE(request(kConfigId, feedback_request(1), 1));
        round_trips.push_back(monotonic_now() - t);
    }
    std::sort(round_trips.begin(), round_trips.end());
    std::printf("feedback request over the virtual bus: median %.1f us, p99 %.1f us\n",
                round_trips[kRounds / 2] * 1e6, round_trips[kRounds * 99 / 100] * 1e6);
    EXPECT_LT(round_trips[kRounds / 2], 0.005);
}

}  // namespace
