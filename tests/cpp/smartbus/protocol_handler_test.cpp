// Bus transactions against scripted servos on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "pty_peer.hpp"
#include "scripted_bus.hpp"
#include "smartbus/protocol_handler.hpp"

using namespace smartbus;
using namespace std::chrono_literals;
using smartbus_test::Bytes;

namespace {

class Bus : public smartbus_test::ScriptedBus {
protected:
    void SetUp() override {
        ScriptedBus::SetUp();
        servos.set_u16(1, 56, 0x0801);
        servos.set_u16(2, 56, 0x0802);
        servos.set_u16(3, 56, 0x0803);
        servos.set_u16(4, 56, 0x0804);
    }

    static CommunicationErrorCode code_of(const Error& error) {
        EXPECT_NE(error.communication(), nullptr) << error.message();
        return error.communication() ? error.communication()->code : CommunicationErrorCode::Unsupported;
    }
    static IoErrorKind io_kind_of(const Error& error) {
        EXPECT_NE(error.io(), nullptr) << error.message();
        return error.io() ? error.io()->kind : IoErrorKind::Other;
    }
    // Waits until the peer has written every reply of the last exchange and at
    // least `bytes` of them are waiting in the port, as a real bus would have
    // delivered them long before the next call. (A pseudo-terminal hands
    // written bytes over a moment later; on a busy machine, several ms later.)
    void let_late_replies_arrive(std::size_t bytes) {
        ASSERT_TRUE(peer.wait_until_answered());
        ASSERT_GE(smartbus_test::wait_for_input(*port, bytes), bytes) << "late replies did not arrive";
    }
    static double ms_since(std::chrono::steady_clock::time_point since) {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
    }

    const Bytes four_ids{1, 2, 3, 4};
};

}  // namespace

TEST_F(Bus, PingAndRebootReportPresenceNotErrors) {
    auto present = handler.ping(*port, 1);
    ASSERT_TRUE(present.ok());
    ASSERT_TRUE(*present);
    EXPECT_EQ(peer.received().back(), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));

    const auto began = std::chrono::steady_clock::now();
    auto absent = handler.ping(*port, 9);
    const double ms = ms_since(began);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(*absent);
    EXPECT_GE(ms, kPatientTimeout.count() - 0.5);  // one read time-out

    servos.faults()->corrupt_checksum.insert(5);
    testing::internal::CaptureStdout();
    auto corrupt = handler.reboot(*port, 5);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(corrupt.ok());
    EXPECT_FALSE(*corrupt);
    auto rebooted = handler.reboot(*port, 6);
    ASSERT_TRUE(rebooted.ok());
    EXPECT_TRUE(*rebooted);
    EXPECT_EQ(peer.received().back(), (Bytes{0xFF, 0xFF, 0x06, 0x02, 0x08, 0xEF}));
}

TEST_F(Bus, ReadAndWriteOneServo) {
    servos.set_byte(3, 62, 121);
    auto voltage = handler.read(*port, 3, 62, 1);
    ASSERT_TRUE(voltage.ok()) << voltage.error().message();
    EXPECT_EQ(*voltage, Bytes{121});

    // The width is the caller's business: one byte back for two asked.
    auto short_reply = [&] {
        peer.set_responder([](const Bytes& packet) {
            return std::vector<smartbus_test::Reply>{{{}, smartbus_test::status_bytes(packet[2], 0, {0x42})}};
        });
        auto got = handler.read(*port, 3, 56, 2);
        peer.set_responder(servos.responder());
        return got;
    }();
    ASSERT_TRUE(short_reply.ok());
    EXPECT_EQ(*short_reply, Bytes{0x42});

    const Bytes goal{0x00, 0x04};
    ASSERT_TRUE(handler.write(*port, 2, 42, goal).ok());
    EXPECT_EQ(servos.u16(2, 42), 0x0400);

    servos.faults()->corrupt_checksum.insert(2);
    testing::internal::CaptureStdout();
    auto unconfirmed = handler.write(*port, 2, 42, goal);
    const std::string diagnostic = testing::internal::GetCapturedStdout();
    ASSERT_FALSE(unconfirmed.ok());
    EXPECT_EQ(code_of(unconfirmed.error()), CommunicationErrorCode::ChecksumError);
    EXPECT_EQ(diagnostic.rfind("read crc: ", 0), 0u);
    EXPECT_EQ(std::count(diagnostic.begin(), diagnostic.end(), '\n'), 1);
}

TEST_F(Bus, PostDelayPausesAfterReadAndWrite) {
    handler.post_delay = 30ms;
    auto began = std::chrono::steady_clock::now();
    ASSERT_TRUE(handler.read(*port, 1, 56, 2).ok());
    EXPECT_GE(ms_since(began), 29.0);
    began = std::chrono::steady_clock::now();
    ASSERT_TRUE(handler.write(*port, 1, 40, Bytes{1}).ok());
    EXPECT_GE(ms_since(began), 29.0);
}

TEST_F(Bus, SyncReadGathersRepliesInIdOrder) {
    auto replies = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_TRUE(replies.ok()) << replies.error().message();
    EXPECT_EQ(*replies, (std::vector<Bytes>{{0x01, 0x08}, {0x02, 0x08}, {0x03, 0x08}, {0x04, 0x08}}));
    EXPECT_EQ(peer.received().back(), (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x82, 0x38, 0x02, 1, 2, 3, 4, 0x33}));
}

TEST_F(Bus, SyncReadFailsMidWayAndTheNextCallRecovers) {
    // Servo 2 silent, servo 3 answers in its place: matched by position, so a ParsingError.
    servos.faults()->silent.insert(2);
    auto failed = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(code_of(failed.error()), CommunicationErrorCode::ParsingError);
    // The error says whose reply was missing, and who answered instead.
    EXPECT_EQ(failed.error().servo_id(), std::optional<std::uint8_t>(2));
    EXPECT_EQ(failed.error().reply_id(), std::optional<std::uint8_t>(3));
    // Servo 4's reply is still waiting; the next send drains it.
    let_late_replies_arrive(8);
    servos.faults()->silent.clear();
    auto next = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_TRUE(next.ok()) << next.error().message();
    EXPECT_EQ((*next)[3], (Bytes{0x04, 0x08}));

    // Servo 4, the last, silent: the timed-out I/O error the retry logic looks for.
    servos.faults()->silent.insert(4);
    auto silent = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_FALSE(silent.ok());
    EXPECT_EQ(io_kind_of(silent.error()), IoErrorKind::TimedOut);
    EXPECT_TRUE(silent.error().is_timed_out_or_interrupted());
    EXPECT_EQ(silent.error().servo_id(), std::optional<std::uint8_t>(4));
    EXPECT_FALSE(silent.error().reply_id());
}

TEST_F(Bus, BadRepliesAreReportedNotTrusted) {
    auto sync_read_error = [&] {
        auto result = handler.sync_read(*port, four_ids, 56, 2);
        EXPECT_FALSE(result.ok());
        return result.ok() ? Error(IoError{IoErrorKind::Other, "unexpected success"}) : result.error();
    };
    // Each failure leaves at least servo 3's and 4's replies (16 bytes) unread.
    servos.faults()->reply_as[2] = 3;  // a reply from another id
    EXPECT_EQ(code_of(sync_read_error()), CommunicationErrorCode::ParsingError);
    let_late_replies_arrive(16);
    servos.faults()->reply_as.clear();

    servos.faults()->garbage_before[1] = {0x00, 0x13};  // no FF FF header
    EXPECT_EQ(code_of(sync_read_error()), CommunicationErrorCode::ParsingError);
    let_late_replies_arrive(16);
    servos.faults()->garbage_before.clear();

    servos.faults()->truncate_to[4] = 6;  // the last reply stops in the middle
    EXPECT_EQ(io_kind_of(sync_read_error()), IoErrorKind::TimedOut);
    servos.faults()->truncate_to.clear();

    // Length byte 1: a 5-byte packet.
    peer.set_responder([](const Bytes&) {
        return std::vector<smartbus_test::Reply>{{{}, {0xFF, 0xFF, 0x01, 0x01, 0xFD}}};
    });
    auto tiny = handler.read(*port, 1, 56, 2);
    ASSERT_FALSE(tiny.ok());
    EXPECT_EQ(code_of(tiny.error()), CommunicationErrorCode::ParsingError);

    // An oversized reply (length 255) is read whole and parsed.
    peer.set_responder([](const Bytes& packet) {
        return std::vector<smartbus_test::Reply>{{{}, smartbus_test::status_bytes(packet[2], 0, Bytes(253, 0x11))}};
    });
    auto big = handler.read(*port, 1, 56, 2);
    ASSERT_TRUE(big.ok());
    EXPECT_EQ(big->size(), 253u);
}

TEST_F(Bus, StaleInputIsDiscardedBeforeSending) {
    peer.send_now({0x55, 0x66, 0x77});
    ASSERT_EQ(smartbus_test::wait_for_input(*port, 3), 3u);
    const auto began = std::chrono::steady_clock::now();
    auto replies = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_TRUE(replies.ok()) << replies.error().message();
    EXPECT_GE(ms_since(began), 29.0);  // the line had to be quiet for 30 ms first
}

TEST_F(Bus, LateReplyIsNeverTakenForTheNextAnswer) {
    reopen(std::chrono::milliseconds(10));  // the servos' own window
    // Servo 1 answers reads of its gains (address 21) 15 ms late, as behind a
    // USB adapter's latency timer; everything else at once.
    servos.set_u16(1, 21, 0x2010);
    auto normal = servos.responder();
    peer.set_responder([normal](const Bytes& packet) {
        auto replies = normal(packet);
        if (packet.size() > 5 && packet[4] == 0x02 && packet[5] == 21)
            for (auto& reply : replies) reply.delay = 15ms;
        return replies;
    });
    for (int round = 0; round < 3; ++round) {
        auto gains = handler.read(*port, 1, 21, 2);
        if (gains.ok()) {
            // This thread ran so late that the answer was there when it looked: still its own answer.
            EXPECT_EQ(*gains, (Bytes{0x10, 0x20}));
        } else {
            EXPECT_EQ(io_kind_of(gains.error()), IoErrorKind::TimedOut);
            EXPECT_TRUE(port->unsettled());
        }
        // The late gains arrive while the next read waits for a quiet line.
        auto position = handler.read(*port, 1, 56, 2);
        ASSERT_TRUE(position.ok()) << position.error().message();
        EXPECT_EQ(*position, (Bytes{0x01, 0x08}));
        EXPECT_FALSE(port->unsettled());
    }
}

namespace {

// A port whose input queue reports whatever the test scripts, for following
// the settling of the line without depending on how fast another thread
// refills a pty. Each discard returns the next scripted count (the last one
// repeats) after a short pause, as if that much input had come meanwhile.
class ScriptedInputPort final : public SerialPort {
public:
    ScriptedInputPort(std::size_t waiting, std::vector<std::size_t> discards)
        : waiting_(waiting), discards_(std::move(discards)) {}
    Result<std::size_t> bytes_to_read() override {
        ++queries_;
        return waiting_;
    }
    Result<void> read_exact(std::span<std::uint8_t>) override { return {}; }
    Result<void> write_all(std::span<const std::uint8_t>) override {
        ++writes_;
        return {};
    }
    Result<void> flush() override { return {}; }
    Result<std::size_t> discard_input(std::chrono::nanoseconds wait) override {
        waits_.push_back(wait);
        const std::size_t n = discards_[std::min(waits_.size() - 1, discards_.size() - 1)];
        if (n > 0) std::this_thread::sleep_for(2ms);
        return n;
    }

    std::size_t waiting_;
    std::vector<std::size_t> discards_;
    std::vector<std::chrono::nanoseconds> waits_;
    std::size_t queries_ = 0, writes_ = 0;
};

const InstructionPacketFeetech ping_packet(1, Instruction::Ping, {});

}  // namespace

TEST(SettleLine, HealthyTrafficOnlyLooksAtTheInputQueue) {
    ScriptedInputPort quiet(0, {0});
    ASSERT_TRUE(Protocol::send_instruction_packet(quiet, ping_packet).ok());
    EXPECT_EQ(quiet.queries_, 1u);
    EXPECT_TRUE(quiet.waits_.empty());
    EXPECT_EQ(quiet.writes_, 1u);
}

TEST(SettleLine, WaitingInputOrAnUnsettledPortWaitsForAQuietLine) {
    // Input waiting: discarded until a 30 ms wait sees nothing more.
    ScriptedInputPort stale(5, {5, 3, 0});
    ASSERT_TRUE(Protocol::send_instruction_packet(stale, ping_packet).ok());
    ASSERT_EQ(stale.waits_.size(), 3u);
    for (auto wait : stale.waits_) EXPECT_EQ(wait, 30ms);
    EXPECT_FALSE(stale.unsettled());
    EXPECT_EQ(stale.writes_, 1u);

    // Unsettled by an earlier failure: the quiet wait comes even when nothing is waiting yet.
    ScriptedInputPort unsettled(0, {0});
    unsettled.set_unsettled(true);
    ASSERT_TRUE(Protocol::send_instruction_packet(unsettled, ping_packet).ok());
    EXPECT_EQ(unsettled.waits_.size(), 1u);
    EXPECT_EQ(unsettled.queries_, 0u);
    EXPECT_FALSE(unsettled.unsettled());
}

TEST(SettleLine, QuietTimeSinceTheFailureCountsTowardsTheWait) {
    // A retry's pause after a failure is quiet time already: only the rest is waited.
    ScriptedInputPort paused(0, {0});
    paused.set_unsettled(true);
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(Protocol::send_instruction_packet(paused, ping_packet).ok());
    ASSERT_EQ(paused.waits_.size(), 1u);
    EXPECT_LE(paused.waits_[0], 10ms);
}

TEST(SettleLine, InputThatNeverStopsIsATimeoutErrorAndNothingIsSent) {
    FeetechProtocolHandler handler;
    ScriptedInputPort port(300, {300});
    const auto began = std::chrono::steady_clock::now();
    auto ping = handler.ping(port, 1);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    ASSERT_FALSE(ping.ok());
    EXPECT_EQ(smartbus_test::communication_code(ping.error()), CommunicationErrorCode::TimeoutError);
    EXPECT_EQ(ping.error().message(), "Timeout error");
    EXPECT_EQ(port.writes_, 0u);
    EXPECT_TRUE(port.unsettled());
    EXPECT_GE(ms, 119.0);  // input kept coming for the whole settling limit
}

TEST_F(Bus, UnencodablePacketsAreRefusedBeforeSending) {
    peer.clear_received();
    auto too_long = handler.write(*port, 1, 0, Bytes(253, 0));
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(io_kind_of(too_long.error()), IoErrorKind::InvalidInput);
    auto no_ids = handler.sync_write(*port, {}, 42, {});
    ASSERT_FALSE(no_ids.ok());
    EXPECT_EQ(io_kind_of(no_ids.error()), IoErrorKind::InvalidInput);
    auto uneven = handler.sync_write(*port, four_ids, 42, {{1, 2}, {3, 4}});
    ASSERT_FALSE(uneven.ok());
    EXPECT_EQ(io_kind_of(uneven.error()), IoErrorKind::InvalidInput);
    std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(peer.received().empty());

    // The largest write that fits goes out.
    ASSERT_TRUE(handler.write(*port, 1, 0, Bytes(252, 0)).ok());
}

TEST_F(Bus, SyncWriteReadsNothing) {
    const Bytes ids{1, 2};
    // Even a bus that answers with junk does not fail a sync write.
    peer.set_responder([](const Bytes&) { return std::vector<smartbus_test::Reply>{{{}, {0x01, 0x02}}}; });
    ASSERT_TRUE(handler.sync_write(*port, ids, 42, {{0x00, 0x08}, {0x00, 0x04}}).ok());
    ASSERT_TRUE(peer.wait_until_applied(1));
    EXPECT_EQ(peer.received().back(),
              (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x04, 0x39}));
}
