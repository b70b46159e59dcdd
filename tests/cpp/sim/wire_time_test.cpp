// Wire time: the bookkeeping on its own (exact, on made-up clocks), then a
// simulator keeping it, seen from a raw port and a bus node (lower bounds
// only: a busy machine can only make things slower).
#include "test_client.hpp"
#include "torso_sim/torso_sim.hpp"
#include "wire_clock.hpp"

#include <gtest/gtest.h>

#include <time.h>

#include <cmath>
#include <vector>

namespace {

using namespace sim_test;
using torso_sim::CanWire;
using torso_sim::SerialWire;
using torso_sim::WireTiming;

double monotonic_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

WireTiming wire_on() {
    WireTiming t;
    t.enabled = true;
    return t;
}

// 8-byte status packets from ids 1..count, as a sync read of two-byte registers answers.
Bytes replies_of(std::uint8_t count) {
    Bytes out;
    for (std::uint8_t id = 1; id <= count; ++id) {
        const Bytes one{0xFF, 0xFF, id, 0x04, 0x00, 0x00, 0x08, static_cast<std::uint8_t>(~(id + 4 + 8))};
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

Bytes four_replies() { return replies_of(4); }

TEST(WireClock, SerialRepliesFollowOneAnotherAfterLatencyAndReturnDelay) {
    SerialWire wire(wire_on(), 0.0);
    const double end = wire.host_bytes(12, 0.0);   // a 12-byte sync read
    EXPECT_NEAR(end, 120e-6, 1e-12);
    const auto delays = [](std::uint8_t id) { return id == 3 ? 200e-6 : 0.0; };   // register 7 = 100 on servo 3
    const auto released = wire.replies(end, 0.0, four_replies(), delays);
    ASSERT_EQ(released.size(), 4u);
    const double expected[] = {220e-6, 320e-6, 620e-6, 720e-6};   // 20 us latency + 80 us per reply
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(released[i].due, expected[i], 1e-12) << i;
        EXPECT_EQ(released[i].bytes.size(), 8u);
    }
    // The host's next bytes queue behind the replies on the half-duplex line.
    EXPECT_NEAR(wire.host_bytes(6, 0.0005), 780e-6, 1e-12);
}

TEST(WireClock, UsbAdapterReleasesOnItsLatencyTimer) {
    WireTiming timing = wire_on();
    timing.usb_latency = std::chrono::milliseconds(2);
    SerialWire wire(timing, 10.0);
    const double end = wire.host_bytes(12, 10.0031);
    const auto released = wire.replies(end, 0.0, four_replies(), [](std::uint8_t) { return 0.0; });
    ASSERT_EQ(released.size(), 1u);   // all four arrive before the timer fires: one release
    EXPECT_NEAR(released[0].due, 10.004, 1e-9);
    EXPECT_EQ(released[0].bytes, four_replies());
}

TEST(WireClock, AFullUsbPacketGoesAtOnceAndRestartsTheAdaptersTimer) {
    WireTiming timing = wire_on();
    timing.usb_latency = std::chrono::milliseconds(2);
    SerialWire wire(timing, 10.0);
    // Eight replies, 64 bytes: the 62nd (6th byte of the 8th reply) ends at
    // 8 x 20 us latency + 7 x 80 us + 60 us after the instruction.
    const double end = wire.host_bytes(12, 10.0001);
    const auto released = wire.replies(end, 0.0, replies_of(8), [](std::uint8_t) { return 0.0; });
    ASSERT_EQ(released.size(), 2u);
    EXPECT_NEAR(released[0].due, end + 780e-6, 1e-9);
    EXPECT_EQ(released[0].bytes.size(), 62u);
    EXPECT_NEAR(released[1].due, end + 780e-6 + 2e-3, 1e-9);   // the rest waits a whole period
    EXPECT_EQ(released[1].bytes.size(), 2u);
    // Later expiries keep the new phase, not the one the timer started with.
    const double next = wire.host_bytes(12, 10.004);
    const auto later = wire.replies(next, 0.0, four_replies(), [](std::uint8_t) { return 0.0; });
    ASSERT_EQ(later.size(), 1u);
    EXPECT_NEAR(later[0].due, end + 780e-6 + 4e-3, 1e-9);
}

TEST(WireClock, CanFramesShareTheBusAndLowIdentifiersWinArbitration) {
    EXPECT_EQ(torso_sim::can_frame_bits(8), 135u);
    CanWire bus(wire_on());
    for (int i = 0; i < 3; ++i) bus.submit(0.0, 0x7FF, false, 8, {std::uint8_t(i)}, 5);   // three requests at once
    std::vector<std::pair<int, double>> order;   // (frame tag, end)
    const auto ended = [&](CanWire::Frame&& frame, double end) {
        order.emplace_back(frame.image[0], end);
        if (frame.sender >= 0)   // a motor answers each request after its turnaround
            bus.submit(end + bus.turnaround(), 0x11, false, 8, {std::uint8_t(10 + frame.image[0])}, -1);
    };
    EXPECT_NEAR(bus.run_until(0.0, ended), 135e-6, 1e-12);   // first frame on the bus
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(bus.run_until(1.0, ended), INFINITY);
    // The first answer is ready while the second request is on the bus and
    // wins over the third request when the bus falls free.
    const std::vector<int> tags = {0, 1, 10, 11, 2, 12};
    ASSERT_EQ(order.size(), tags.size());
    for (std::size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(order[i].first, tags[i]) << i;
        if (i < 5) {
            EXPECT_NEAR(order[i].second, 135e-6 * static_cast<double>(i + 1), 1e-12) << i;
        }
    }
    EXPECT_NEAR(order[5].second, 5 * 135e-6 + 50e-6 + 135e-6, 1e-12);   // the last answer waits its turnaround
}

TEST(WireTime, TheSimulatorPacesBothBusesWhenAsked) {
    torso_sim::Options options;
    options.wire = wire_on();
    auto sim = torso_sim::TorsoSim::start(options);
    ASSERT_NE(sim, nullptr);
    SerialClient port(sim->serial_path());
    ASSERT_TRUE(port.is_open());
    const Bytes sync_read = instruction(0xFE, 0x82, {56, 2, 1, 2, 3, 4});
    sim->set_servo_register(2, 7, 100);   // return delay 200 us
    double fastest = 1.0;
    for (int i = 0; i < 5; ++i) {
        const double t = monotonic_now();
        ASSERT_EQ(port.exchange(sync_read, 32).size(), 32u);
        fastest = std::min(fastest, monotonic_now() - t);
    }
    EXPECT_GE(fastest, (12 + 32) * 10e-6 + 4 * 20e-6 + 200e-6);

    CanNode node(sim->can_bus());
    ASSERT_TRUE(node.is_open());
    fastest = 1.0;
    for (int i = 0; i < 5; ++i) {
        const double t = monotonic_now();
        node.send(0x7FF, {0x01, 0x00, 0xCC, 0x00, 0x00, 0x00, 0x00, 0x00});   // feedback request to motor 1
        const auto reply = node.receive();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->data.size(), 8u);
        fastest = std::min(fastest, monotonic_now() - t);
    }
    EXPECT_GE(fastest, 2 * 135e-6 + 50e-6);
}

}  // namespace
