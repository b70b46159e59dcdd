// The Damiao driver's frames and reply handling, against an in-memory
// transport that records what was sent and plays back scripted replies.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <vector>

#include "candrive/damiao/driver.hpp"

namespace {

using namespace candrive;
using namespace candrive::damiao;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

constexpr MitLimits kLimits{12.5F, 30.0F, 500.0F, 5.0F, 10.0F};
const Bytes kFeedback{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20};

// Every sent frame is recorded; `on_send` may queue replies; recv pops the
// queue or times out at once.
class ScriptedTransport final : public CanTransport {
public:
    std::vector<CanFrame> sent;
    std::deque<CanFrame> incoming;
    std::function<void(const CanFrame&, ScriptedTransport&)> on_send;

    CanResult<void> send(const CanFrame& frame) override {
        sent.push_back(frame);
        if (on_send) on_send(frame, *this);
        return {};
    }
    CanResult<CanFrame> recv(std::chrono::nanoseconds) override {
        if (incoming.empty()) return common::Err{CanError::timeout()};
        CanFrame frame = incoming.front();
        incoming.pop_front();
        return frame;
    }
    void reply(std::uint32_t id, Bytes data) { incoming.push_back({std::move(data), CanId::standard(id), false, false}); }
};

Bytes register_reply(std::uint8_t id, std::uint32_t value, std::uint16_t esc_id = 0x01) {
    return {static_cast<std::uint8_t>(esc_id), static_cast<std::uint8_t>(esc_id >> 8), 0x33, id,
            static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

Damiao motor(std::uint16_t esc = 0x01, std::uint16_t mst = 0x11) {
    return *Damiao::create(esc, mst, milliseconds(20), kLimits);
}

TEST(DamiaoDriver, CommandFramesAndIdentifiers) {
    ScriptedTransport bus;
    bus.on_send = [](const CanFrame&, ScriptedTransport& t) { t.reply(0x11, kFeedback); };
    const Damiao m = motor(0x701);

    ASSERT_TRUE(m.enable(bus).ok());
    ASSERT_TRUE(m.disable(bus).ok());
    ASSERT_TRUE(m.control(bus, ControlCommand::Mit({0, 0, 0, 0, 0})).ok());
    ASSERT_TRUE(m.control(bus, ControlCommand::PosVel(0, 0)).ok());
    ASSERT_TRUE(m.control(bus, ControlCommand::Vel(0)).ok());
    ASSERT_TRUE(m.control(bus, ControlCommand::ForcePos(0, 0, 0)).ok());
    auto state = m.request_feedback(bus);
    ASSERT_TRUE(state.ok());
    EXPECT_EQ(state->t_mos, 30);

    ASSERT_EQ(bus.sent.size(), 7U);
    // Identifiers are taken modulo 0x800: 0x701 + 0x100 wraps to 0x001.
    const std::uint32_t ids[] = {0x701, 0x701, 0x701, 0x001, 0x101, 0x201, 0x7FF};
    for (std::size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(bus.sent[i].id, CanId::standard(ids[i])) << i;
        EXPECT_FALSE(bus.sent[i].fd);
        EXPECT_EQ(bus.sent[i].data.size(), 8U);
    }
    EXPECT_EQ(bus.sent[0].data, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    EXPECT_EQ(bus.sent[1].data, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));
    EXPECT_EQ(bus.sent[2].data, (Bytes{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF}));
    EXPECT_EQ(bus.sent[6].data, (Bytes{0x01, 0x07, 0xCC, 0, 0, 0, 0, 0}));
}

TEST(DamiaoDriver, FeedbackErrors) {
    ScriptedTransport bus;
    const Damiao m = motor();
    auto state = m.request_feedback(bus);  // silent motor
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
    ASSERT_NE(state.error().transport_error(), nullptr);

    // Only a classic 8-byte frame on the feedback identifier that names this
    // motor in byte 0 is its feedback: another node's frame on the same
    // identifier (an MIT command, an FD frame, a short frame) is not.
    bus.on_send = [](const CanFrame&, ScriptedTransport& t) {
        t.reply(0x11, {0x01, 0x7F});
        t.incoming.push_back({Bytes(64, 0x01), CanId::standard(0x11), true, false});
        t.reply(0x11, {0x12, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x20});
        t.reply(0x12, kFeedback);
    };
    state = m.request_feedback(bus);
    ASSERT_FALSE(state.ok());
    EXPECT_EQ(state.error().message(), "transport error: timeout waiting for frame");
    bus.on_send = [](const CanFrame&, ScriptedTransport& t) { t.reply(0x11, kFeedback); };
    state = m.request_feedback(bus);
    ASSERT_TRUE(state.ok());

    // Frames waiting before the request are stale, whatever they look like.
    bus.on_send = nullptr;
    bus.reply(0x11, kFeedback);
    state = m.request_feedback(bus);
    ASSERT_FALSE(state.ok());
    // A short frame can still be decoded only as an error, never read past its end.
    EXPECT_EQ(decode_state(kLimits, Bytes{0x01, 0x7F}).error().kind(), Error::Kind::ShortFeedback);
}

TEST(DamiaoDriver, ALateRegisterReplyIsNotFeedback) {
    ScriptedTransport bus;
    const Damiao m = motor();
    bus.on_send = [](const CanFrame&, ScriptedTransport& t) {
        t.reply(0x11, register_reply(0x0A, 1));  // names motor 1 in byte 0, as feedback does
        t.reply(0x11, kFeedback);
    };
    auto state = m.request_feedback(bus);
    ASSERT_TRUE(state.ok()) << state.error().message();
    EXPECT_EQ(state->t_mos, 30);
    EXPECT_TRUE(bus.incoming.empty());
}

TEST(DamiaoDriver, RegisterErrorsSendNothing) {
    ScriptedTransport bus;
    const Damiao m = motor();
    auto read = m.read_register(bus, 0x25);
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message(), "register 37 is not in the Damiao register table");
    auto written = m.write_register(bus, 0x52, RegisterValue::from_uint32(1));
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().kind(), Error::Kind::UnknownRegister);
    written = m.write_register(bus, 0x0B, RegisterValue::from_float(1));
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().message(), "register 11 is read-only");
    written = m.write_register(bus, 0x0A, RegisterValue::from_float(1));
    ASSERT_FALSE(written.ok());
    EXPECT_EQ(written.error().message(), "register 10: expected Uint32, got Float");
    EXPECT_TRUE(bus.sent.empty());
}

TEST(DamiaoDriver, RegisterReadSkipsOtherFramesAndWriteSendsValue) {
    ScriptedTransport bus;
    bus.on_send = [](const CanFrame&, ScriptedTransport& t) {
        t.reply(0x11, kFeedback);                                 // not a register reply
        t.reply(0x11, register_reply(0x16, 1, 0x102));            // another register
        t.reply(0x11, {0x02, 0x01, 0x33, 0x15});                  // too short
        t.reply(0x11, register_reply(0x15, 1, 0x101));            // another motor's
        t.reply(0x555, register_reply(0x15, 1, 0x102));           // not on the feedback identifier
        t.reply(0x11, register_reply(0x15, 0x41480000, 0x102));   // the answer
    };
    const Damiao m = motor(0x102);
    auto value = m.read_register(bus, 0x15);
    ASSERT_TRUE(value.ok()) << value.error().message();
    EXPECT_EQ(value->type, RegisterType::Float);
    EXPECT_EQ(value->f, 12.5F);
    ASSERT_EQ(bus.sent.size(), 1U);
    EXPECT_EQ(bus.sent[0].id, CanId::standard(0x7FF));
    EXPECT_EQ(bus.sent[0].data, (Bytes{0x02, 0x01, 0x33, 0x15, 0, 0, 0, 0}));

    bus.on_send = nullptr;
    bus.incoming.clear();
    value = m.read_register(bus, 0x15);
    ASSERT_FALSE(value.ok());
    EXPECT_EQ(value.error().message(), "transport error: timeout waiting for frame");

    ASSERT_TRUE(m.write_register(bus, 0x09, RegisterValue::from_uint32(0x01020304)).ok());
    EXPECT_EQ(bus.sent.back().data, (Bytes{0x02, 0x01, 0x55, 0x09, 0x04, 0x03, 0x02, 0x01}));
    ASSERT_TRUE(m.write_register(bus, 0x15, RegisterValue::from_float(1.0F)).ok());
    EXPECT_EQ(bus.sent.back().data, (Bytes{0x02, 0x01, 0x55, 0x15, 0x00, 0x00, 0x80, 0x3F}));
}

// A motor whose CTRL_MODE register is `mode`; writes take effect if `sticks`.
void play_mode_register(ScriptedTransport& bus, std::uint32_t& mode, bool sticks) {
    bus.on_send = [&mode, sticks](const CanFrame& frame, ScriptedTransport& t) {
        if (frame.data[2] == 0x33) t.reply(0x11, register_reply(0x0A, mode));
        if (frame.data[2] == 0x55 && sticks) mode = frame.data[4];
    };
}

TEST(DamiaoDriver, EnsureControlModeReadsFirstAndWritesOnlyWhenNeeded) {
    ScriptedTransport bus;
    std::uint32_t mode = 1;
    play_mode_register(bus, mode, true);
    const Damiao m = motor();
    ASSERT_TRUE(m.ensure_control_mode(bus, 1).ok());
    ASSERT_EQ(bus.sent.size(), 1U);  // one read, no write
    EXPECT_EQ(bus.sent[0].data[2], 0x33);

    bus.sent.clear();
    mode = 3;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m.ensure_control_mode(bus, 1).ok());
    EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(100));
    ASSERT_EQ(bus.sent.size(), 3U);  // read, write, read back
    EXPECT_EQ(bus.sent[1].data, (Bytes{0x01, 0x00, 0x55, 0x0A, 1, 0, 0, 0}));
    EXPECT_EQ(mode, 1U);
}

TEST(DamiaoDriver, EnsureControlModeReportsAModeThatDoesNotStick) {
    ScriptedTransport bus;
    std::uint32_t mode = 0x103;
    play_mode_register(bus, mode, false);
    auto result = motor().ensure_control_mode(bus, 1);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "control mode verification failed: wrote 1, motor reports 3");

    bus.on_send = nullptr;  // silent motor: the first read fails, nothing is written
    bus.sent.clear();
    result = motor().ensure_control_mode(bus, 1);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), Error::Kind::Transport);
    EXPECT_EQ(bus.sent.size(), 1U);
}

}  // namespace
