// Two nodes on one CAN bus: frames in both directions and the Damiao driver
// against a second node playing the motor. The bus is the interface named by
// QMC_CAN_IFACE (e.g. "vcan0", which needs "mtu 72" for FD frames) or, when
// that is unset, an in-process unix relay.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "candrive/damiao/driver.hpp"
#include "candrive/socketcan.hpp"
#include "support/unix_bus_relay.hpp"

namespace {

using namespace candrive;
using namespace candrive::damiao;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kWait{1000};
constexpr MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};

class CanBus : public ::testing::Test {
protected:
    void SetUp() override {
        const char* iface = std::getenv("QMC_CAN_IFACE");
        if (iface != nullptr && *iface != '\0') {
            bus_name_ = iface;
        } else {
            relay_ = std::make_unique<candrive_test::UnixBusRelay>();
            bus_name_ = relay_->bus_name();
        }
        for (auto* node : {&host_, &peer_}) {
            auto opened = SocketCanTransport::open(bus_name_);
            ASSERT_TRUE(opened.ok()) << bus_name_ << ": " << opened.error().message();
            node->emplace(std::move(opened).value());
        }
        if (relay_) {
            ASSERT_TRUE(relay_->wait_for_nodes(2, milliseconds(5000)));
        }
    }

    // Sends from one node and returns what the other one receives.
    CanFrame pass(SocketCanTransport& from, SocketCanTransport& to, const CanFrame& frame) {
        auto sent = from.send(frame);
        EXPECT_TRUE(sent.ok()) << sent.error().message();
        auto received = to.recv(kWait);
        EXPECT_TRUE(received.ok()) << received.error().message();
        return received.ok() ? received.value() : CanFrame{{}, CanId::standard(0)};
    }

    std::unique_ptr<candrive_test::UnixBusRelay> relay_;  // outlives the nodes
    std::string bus_name_;
    std::optional<SocketCanTransport> host_, peer_;
};

TEST_F(CanBus, ClassicFramesOfEveryLengthBothWays) {
    for (std::uint8_t length = 0; length <= 8; ++length) {
        Bytes data(length);
        for (std::uint8_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
        for (CanId id : {CanId::standard(0x7FF), CanId::standard(0), CanId::extended(0x1FFFFFFF)}) {
            const CanFrame got = pass(*host_, *peer_, {data, id});
            EXPECT_EQ(got.id, id);
            EXPECT_EQ(got.data, data);
            EXPECT_FALSE(got.fd);
            EXPECT_EQ(pass(*peer_, *host_, {data, id}).data, data);
        }
    }
}

TEST_F(CanBus, FdFramesArriveRoundedAndZeroPadded) {
    const std::size_t fd_lengths[] = {12, 16, 20, 24, 32, 48, 64};
    for (std::uint8_t length = 0; length <= 64; ++length) {
        Bytes data(length, 0x5A);
        const bool brs = length % 2 == 1;
        const CanFrame got = pass(*host_, *peer_, {data, CanId::extended(0x1234567), true, brs});
        std::size_t expected = length;
        if (length > 8) expected = *std::lower_bound(std::begin(fd_lengths), std::end(fd_lengths), length);
        data.resize(expected, 0);
        EXPECT_EQ(got.data, data) << int{length};
        EXPECT_TRUE(got.fd);
        EXPECT_EQ(got.brs, brs);
        EXPECT_EQ(got.id, CanId::extended(0x1234567));
    }
}

TEST_F(CanBus, ReceiveTimesOutOnAQuietBus) {
    const auto start = Clock::now();
    auto got = host_->recv(milliseconds(30));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), CanError::Kind::Timeout);
    EXPECT_GE(Clock::now() - start, milliseconds(29));
    EXPECT_LT(Clock::now() - start, milliseconds(3000));
    got = host_->recv(milliseconds(0));
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), CanError::Kind::Timeout);
}

// A Damiao motor played by the peer node, answering from its own thread.
// It reports the last MIT position it was given and puts a foreign frame
// on the bus before every reply.
class MotorNode {
public:
    MotorNode(SocketCanTransport& node, std::uint16_t esc_id, std::uint16_t mst_id)
        : node_(node), esc_id_(esc_id), mst_id_(mst_id), thread_([this] { run(); }) {}
    ~MotorNode() {
        stop_ = true;
        thread_.join();
    }

    std::vector<CanFrame> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::uint32_t register_value(std::uint8_t id) {
        std::lock_guard lock(mutex_);
        return registers_[id];
    }

private:
    // Frames that are not the answer come first: another identifier, the
    // right value as an extended identifier, an FD frame and another motor's
    // classic frame on the answer's identifier.
    void reply(Bytes data) {
        (void)node_.send({{0xEE}, CanId::standard(mst_id_ + 1)});
        (void)node_.send({{1, 2, 3, 4, 5, 6, 7, 8}, CanId::extended(mst_id_)});
        (void)node_.send({Bytes(64, static_cast<std::uint8_t>(0x10 | esc_id_)), CanId::standard(mst_id_), true, false});
        (void)node_.send({{0x1F, 0x80, 0x00, 0x7F, 0xF7, 0xFF, 30, 32}, CanId::standard(mst_id_)});
        (void)node_.send({std::move(data), CanId::standard(mst_id_)});
    }
    Bytes feedback() const {
        // status 1, the motor's id bits; velocity 2047, torque 2047; temperatures 30 and 32.
        return {static_cast<std::uint8_t>(0x10 | (esc_id_ & 0x0F)), position_hi_, position_lo_, 0x7F, 0xF7, 0xFF, 30, 32};
    }

    void run() {
        while (!stop_) {
            auto got = node_.recv(milliseconds(10));
            if (!got.ok()) continue;
            const CanFrame& frame = got.value();
            std::unique_lock lock(mutex_);
            received_.push_back(frame);
            const Bytes& d = frame.data;
            if (frame.fd || frame.id.kind != CanId::Kind::Standard || d.size() != 8) continue;
            if (frame.id.value == 0x7FF) {
                if (d[0] != (esc_id_ & 0xFF) || d[1] != (esc_id_ >> 8)) continue;
                if (d[2] == 0x55) registers_[d[3]] = std::uint32_t(d[4] | d[5] << 8 | d[6] << 16 | d[7] << 24);
                if (d[2] == 0x33) {
                    const std::uint32_t v = registers_[d[3]];
                    lock.unlock();
                    reply({d[0], d[1], 0x33, d[3], std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16),
                           std::uint8_t(v >> 24)});
                }
                if (d[2] == 0xCC) {
                    lock.unlock();
                    reply(feedback());
                }
                continue;
            }
            if (frame.id.value == esc_id_ && d[0] != 0xFF) {  // MIT: keep the position field
                position_hi_ = d[0];
                position_lo_ = d[1];
            }
            if ((frame.id.value & 0xFF) == esc_id_) {
                lock.unlock();
                reply(feedback());
            }
        }
    }

    SocketCanTransport& node_;  // used by the motor thread only
    const std::uint16_t esc_id_, mst_id_;
    std::atomic<bool> stop_{false};
    std::uint8_t position_hi_ = 0x7F, position_lo_ = 0xFF;  // motor thread only
    std::mutex mutex_;  // guards received_ and registers_
    std::vector<CanFrame> received_;
    std::map<std::uint8_t, std::uint32_t> registers_{{0x0A, 3}, {0x15, 0x41480000}};
    std::thread thread_;  // last: starts once the rest is built
};

class DamiaoOnBus : public CanBus {
protected:
    Damiao motor_ = *Damiao::create(0x03, 0x13, milliseconds(200), kLimits);
};

TEST_F(DamiaoOnBus, FeedbackEnableDisableAndMitCommand) {
    MotorNode motor(*peer_, 0x03, 0x13);
    auto state = motor_.request_feedback(*host_);
    ASSERT_TRUE(state.ok()) << state.error().message();
    EXPECT_EQ(state->position, -0.00019073486F);
    EXPECT_EQ(state->id, 3);
    EXPECT_EQ(state->status, 1);
    EXPECT_EQ(state->t_rotor, 32);

    ASSERT_TRUE(motor_.enable(*host_).ok());
    state = motor_.control(*host_, ControlCommand::Mit({1.0F, 0, 20, 0.5F, 0}));
    ASSERT_TRUE(state.ok()) << state.error().message();
    EXPECT_NEAR(state->position, 1.0F, 1e-3F);
    ASSERT_TRUE(motor_.control(*host_, ControlCommand::Vel(0.5F)).ok());
    ASSERT_TRUE(motor_.disable(*host_).ok());

    const auto frames = motor.received();
    ASSERT_EQ(frames.size(), 5U);
    EXPECT_EQ(frames[0].data, (Bytes{0x03, 0x00, 0xCC, 0, 0, 0, 0, 0}));
    EXPECT_EQ(frames[1].data.back(), 0xFC);
    EXPECT_EQ(frames[2].data, (Bytes{0x8A, 0x3C, 0x7F, 0xF0, 0xA3, 0x19, 0x97, 0xFF}));
    EXPECT_EQ(frames[3].id, CanId::standard(0x203));
    EXPECT_EQ(frames[4].data.back(), 0xFD);
}

TEST_F(DamiaoOnBus, RegistersAndControlMode) {
    MotorNode motor(*peer_, 0x03, 0x13);
    auto value = motor_.read_register(*host_, 0x15);
    ASSERT_TRUE(value.ok()) << value.error().message();
    EXPECT_EQ(value->f, 12.5F);

    ASSERT_TRUE(motor_.write_register(*host_, 0x09, RegisterValue::from_uint32(400)).ok());
    value = motor_.read_register(*host_, 0x09);  // also orders the write before the check below
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value->u, 400U);

    ASSERT_TRUE(motor_.ensure_control_mode(*host_, 1).ok());
    EXPECT_EQ(motor.register_value(0x0A), 1U);
    const std::size_t before = motor.received().size();
    ASSERT_TRUE(motor_.ensure_control_mode(*host_, 1).ok());
    EXPECT_EQ(motor.received().size(), before + 1);  // a single read, no write
}

TEST_F(DamiaoOnBus, SilentMotorTimesOut) {
    MotorNode other(*peer_, 0x05, 0x15);  // answers for another id only
    const auto start = Clock::now();
    auto state = motor_.request_feedback(*host_);
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
    EXPECT_GE(Clock::now() - start, milliseconds(195));
}

}  // namespace
