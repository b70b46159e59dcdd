// Bus transactions against scripted servos on a pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "pty_peer.hpp"
#include "smartbus/protocol_handler.hpp"

using namespace smartbus;
using namespace std::chrono_literals;
using smartbus_test::Bytes;
using smartbus_test::FakeServos;
using smartbus_test::PtyPeer;

namespace {

class Bus : public testing::Test {
protected:
    void SetUp() override {
        peer.set_responder(servos.responder());
        auto opened = open_serial_port(peer.slave_path());
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        port = std::move(opened).value();
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

    PtyPeer peer;
    FakeServos servos{{1, 2, 3, 4, 5, 6, 7}};
    std::unique_ptr<SerialPort> port;
    FeetechProtocolHandler handler;
    const Bytes four_ids{1, 2, 3, 4};
};

}  // namespace

TEST_F(Bus, PingAndRebootReportPresenceNotErrors) {
    auto present = handler.ping(*port, 1);
    ASSERT_TRUE(present.ok());
    EXPECT_TRUE(*present);
    EXPECT_EQ(peer.received().back(), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));

    const auto began = std::chrono::steady_clock::now();
    auto absent = handler.ping(*port, 9);
    const double ms = ms_since(began);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(*absent);
    EXPECT_GE(ms, 9.5);   // one read time-out
    EXPECT_LT(ms, 500.0);

    servos.corrupt_checksum.insert(5);
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
    servos.registers(3)[62] = 121;
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

    servos.corrupt_checksum.insert(2);
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
    servos.silent.insert(2);
    auto failed = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(code_of(failed.error()), CommunicationErrorCode::ParsingError);
    // Servo 4's reply is still waiting; the next send drains it.
    let_late_replies_arrive(8);
    servos.silent.clear();
    auto next = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_TRUE(next.ok()) << next.error().message();
    EXPECT_EQ((*next)[3], (Bytes{0x04, 0x08}));

    // Servo 4, the last, silent: the timed-out I/O error the retry logic looks for.
    servos.silent.insert(4);
    auto silent = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_FALSE(silent.ok());
    EXPECT_EQ(io_kind_of(silent.error()), IoErrorKind::TimedOut);
    EXPECT_TRUE(silent.error().is_timed_out_or_interrupted());
}

TEST_F(Bus, BadRepliesAreReportedNotTrusted) {
    auto sync_read_error = [&] {
        auto result = handler.sync_read(*port, four_ids, 56, 2);
        EXPECT_FALSE(result.ok());
        return result.ok() ? Error(IoError{IoErrorKind::Other, "unexpected success"}) : result.error();
    };
    // Each failure leaves at least servo 3's and 4's replies (16 bytes) unread.
    servos.reply_as[2] = 3;  // a reply from another id
    EXPECT_EQ(code_of(sync_read_error()), CommunicationErrorCode::ParsingError);
    let_late_replies_arrive(16);
    servos.reply_as.clear();

    servos.garbage_before[1] = {0x00, 0x13};  // no FF FF header
    EXPECT_EQ(code_of(sync_read_error()), CommunicationErrorCode::ParsingError);
    let_late_replies_arrive(16);
    servos.garbage_before.clear();

    servos.truncate_to[4] = 6;  // the last reply stops in the middle
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(io_kind_of(sync_read_error()), IoErrorKind::TimedOut);
    EXPECT_LT(ms_since(began), 500.0);
    servos.truncate_to.clear();

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

TEST_F(Bus, StaleInputIsDrainedBeforeSending) {
    peer.send_now({0x55, 0x66, 0x77});
    std::this_thread::sleep_for(5ms);
    const auto began = std::chrono::steady_clock::now();
    auto replies = handler.sync_read(*port, four_ids, 56, 2);
    ASSERT_TRUE(replies.ok()) << replies.error().message();
    EXPECT_GE(ms_since(began), 4.5);  // one drain pass settles for 5 ms
}

namespace {

// A port whose input queue reports whatever the test scripts, for counting
// drain passes without depending on how fast another thread refills a pty.
class ScriptedInputPort final : public SerialPort {
public:
    explicit ScriptedInputPort(std::vector<std::size_t> pending) : pending_(std::move(pending)) {}
    Result<std::size_t> bytes_to_read() override {
        const std::size_t n = pending_[std::min(queries_++, pending_.size() - 1)];
        return n;
    }
    Result<void> read_exact(std::span<std::uint8_t> out) override {
        ++reads_;
        bytes_read_ += out.size();
        return {};
    }
    Result<void> write_all(std::span<const std::uint8_t>) override {
        ++writes_;
        return {};
    }
    Result<void> flush() override { return {}; }

    std::vector<std::size_t> pending_;
    std::size_t queries_ = 0, reads_ = 0, bytes_read_ = 0, writes_ = 0;
};

}  // namespace

TEST(Drain, InputThatNeverStopsIsATimeoutErrorAndNothingIsSent) {
    FeetechProtocolHandler handler;
    ScriptedInputPort port({300});
    const auto began = std::chrono::steady_clock::now();
    auto ping = handler.ping(port, 1);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    ASSERT_FALSE(ping.ok());
    EXPECT_EQ(smartbus_test::communication_code(ping.error()), CommunicationErrorCode::TimeoutError);
    EXPECT_EQ(ping.error().message(), "Timeout error");
    EXPECT_EQ(port.writes_, 0u);
    EXPECT_EQ(port.bytes_read_, 900u);  // three passes
    EXPECT_EQ(port.queries_, 9u);       // each asks, asks again, reads, settles, asks once more
    EXPECT_GE(ms, 14.5);                // each settles for 5 ms
}

TEST(Drain, StopsAsSoonAsTheQueueIsEmpty) {
    // Every pass looks first, then reads what a second look reports: pass 1
    // sees 5 and reads 4, 3 are still waiting after it; pass 2 sees 2 and
    // reads 1, and the queue is empty after it.
    ScriptedInputPort port({5, 4, 3, 2, 1, 0});
    auto sent = Protocol::send_instruction_packet(port, InstructionPacketFeetech(1, Instruction::Ping, {}));
    ASSERT_TRUE(sent.ok());
    EXPECT_EQ(port.bytes_read_, 5u);
    EXPECT_EQ(port.queries_, 6u);
    EXPECT_EQ(port.writes_, 1u);

    ScriptedInputPort quiet({0});
    ASSERT_TRUE(Protocol::send_instruction_packet(quiet, InstructionPacketFeetech(1, Instruction::Ping, {})).ok());
    EXPECT_EQ(quiet.reads_, 0u);
    EXPECT_EQ(quiet.queries_, 1u);
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
    for (int i = 0; i < 200 && peer.received().empty(); ++i) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(peer.received().back(),
              (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x04, 0x39}));
}
