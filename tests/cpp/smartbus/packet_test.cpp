// Byte format of instruction and status packets, error kinds and texts.
#include <gtest/gtest.h>

#include <random>

#include "pty_peer.hpp"
#include "smartbus/packet.hpp"

using namespace smartbus;
using smartbus_test::Bytes;
using smartbus_test::communication_code;
using smartbus_test::io_kind;

namespace {

const PacketFeetech packets;

Bytes encode(const InstructionPacket& packet) {
    auto bytes = packet.to_bytes();
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? *bytes : Bytes{};
}

CommunicationErrorCode parse_failure(const Bytes& bytes, std::uint8_t id) {
    auto parsed = StatusPacketFeetech::from_bytes(bytes, id);
    EXPECT_FALSE(parsed.ok());
    return parsed.ok() ? CommunicationErrorCode::Unsupported : parsed.error().code;
}

}  // namespace

TEST(InstructionPacket, SerialisesEveryInstructionTheBusUses) {
    EXPECT_EQ(encode(InstructionPacketFeetech(1, Instruction::Ping, {})), (Bytes{0xFF, 0xFF, 0x01, 0x02, 0x01, 0xFB}));
    EXPECT_EQ(encode(packets.read_packet(3, 0x38, 2)), (Bytes{0xFF, 0xFF, 0x03, 0x04, 0x02, 0x38, 0x02, 0xBC}));
    EXPECT_EQ(encode(InstructionPacketFeetech(5, Instruction::Reboot, {})), (Bytes{0xFF, 0xFF, 0x05, 0x02, 0x08, 0xF0}));
    const Bytes two_ids{1, 2};
    EXPECT_EQ(encode(packets.sync_read_packet(two_ids, 0x38, 2)),
              (Bytes{0xFF, 0xFF, 0xFE, 0x06, 0x82, 0x38, 0x02, 0x01, 0x02, 0x3C}));
    auto torque = packets.sync_write_packet(two_ids, 0x28, {{1}, {0}});
    ASSERT_TRUE(torque.ok());
    EXPECT_EQ(encode(*torque), (Bytes{0xFF, 0xFF, 0xFE, 0x08, 0x83, 0x28, 0x01, 0x01, 0x01, 0x02, 0x00, 0x49}));
    auto goal = packets.sync_write_packet(two_ids, 0x2A, {{0x00, 0x08}, {0x00, 0x04}});
    ASSERT_TRUE(goal.ok());
    EXPECT_EQ(encode(*goal),
              (Bytes{0xFF, 0xFF, 0xFE, 0x0A, 0x83, 0x2A, 0x02, 0x01, 0x00, 0x08, 0x02, 0x00, 0x04, 0x39}));
    const Bytes data{7, 8};
    auto write = packets.write_packet(4, 0x2A, data);
    EXPECT_EQ(write.instruction(), Instruction::Write);
    EXPECT_EQ(Bytes(write.params().begin(), write.params().end()), (Bytes{0x2A, 7, 8}));

    const Instruction all[] = {Instruction::Ping,   Instruction::Read,      Instruction::Write,   Instruction::RegWrite,
                               Instruction::Reboot, Instruction::SyncWrite, Instruction::SyncRead};
    Bytes codes;
    for (auto instruction : all) codes.push_back(instruction_code(instruction));
    EXPECT_EQ(codes, (Bytes{0x01, 0x02, 0x03, 0x06, 0x08, 0x83, 0x82}));
}

TEST(InstructionPacket, RefusesWhatCannotBeEncoded) {
    const Bytes max_data(kMaxWriteData, 0xAB);
    auto fits = packets.write_packet(1, 0, max_data).to_bytes();
    ASSERT_TRUE(fits.ok());
    EXPECT_EQ(fits->size(), 259u);
    EXPECT_EQ((*fits)[3], 255);
    EXPECT_EQ(fits->back(), smartbus_test::feetech_sum(std::span(*fits).subspan(2, fits->size() - 3)));

    const Bytes too_much(kMaxWriteData + 1, 0);
    auto refused = packets.write_packet(1, 0, too_much).to_bytes();
    ASSERT_FALSE(refused.ok());
    ASSERT_NE(refused.error().io(), nullptr);
    EXPECT_EQ(io_kind(refused.error()), IoErrorKind::InvalidInput);

    const Bytes many_ids(252, 1);
    EXPECT_FALSE(packets.sync_read_packet(many_ids, 0x38, 2).to_bytes().ok());

    const Bytes ids{1, 2};
    auto invalid = [&](Result<InstructionPacket> built) {
        return !built.ok() && built.error().io() && io_kind(built.error()) == IoErrorKind::InvalidInput;
    };
    EXPECT_TRUE(invalid(packets.sync_write_packet({}, 0x2A, {})));                 // no ids
    EXPECT_TRUE(invalid(packets.sync_write_packet(ids, 0x2A, {{1, 2}})));          // one vector for two ids
    EXPECT_TRUE(invalid(packets.sync_write_packet(ids, 0x2A, {{1, 2}, {3}})));     // unequal lengths
    EXPECT_TRUE(invalid(packets.sync_write_packet(ids, 0x2A, {Bytes(256), Bytes(256)})));  // L > 255
    // L fits but the packet does not: refused when encoding.
    auto too_long = packets.sync_write_packet(ids, 0x2A, {Bytes(200), Bytes(200)});
    ASSERT_TRUE(too_long.ok());
    EXPECT_FALSE(too_long->to_bytes().ok());
}

TEST(StatusPacket, ParsesValidReplies) {
    auto empty = StatusPacketFeetech::from_bytes(Bytes{0xFF, 0xFF, 0x01, 0x02, 0x00, 0xFC}, 1);
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->params().empty());
    EXPECT_TRUE(empty->errors().empty());
    EXPECT_EQ(empty->id(), 1);

    auto position = packets.status_packet(smartbus_test::status_bytes(4, 0x00, {0x00, 0x08}), 4);
    ASSERT_TRUE(position.ok());
    EXPECT_EQ(Bytes(position->params().begin(), position->params().end()), (Bytes{0x00, 0x08}));
}

TEST(StatusPacket, DecodesErrorFlags) {
    auto flags = [](std::uint8_t byte) {
        auto parsed = StatusPacketFeetech::from_bytes(smartbus_test::status_bytes(1, byte, {}), 1);
        EXPECT_TRUE(parsed.ok());
        return Bytes(parsed->errors().begin(), parsed->errors().end());
    };
    EXPECT_EQ(flags(0x3F), (Bytes{0, 1, 2, 3, 4}));
    EXPECT_EQ(flags(0xFF), (Bytes{0, 1, 2, 3, 4}));
    EXPECT_EQ(flags(0x10), Bytes{});
    EXPECT_EQ(flags(0x22), (Bytes{1, 4}));
}

TEST(StatusPacket, RejectsMalformedRepliesInOrder) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(parse_failure({0xFF, 0xFF, 0x01, 0x02, 0x00}, 1), CommunicationErrorCode::ParsingError);
    EXPECT_EQ(parse_failure({}, 1), CommunicationErrorCode::ParsingError);
    EXPECT_EQ(parse_failure({0xFF, 0xFF, 0x02, 0x02, 0x00, 0xFB}, 1), CommunicationErrorCode::ParsingError);  // other id
    EXPECT_EQ(parse_failure({0xFF, 0xFF, 0x01, 0x03, 0x00, 0xFB}, 1), CommunicationErrorCode::ParsingError);  // length
    EXPECT_EQ(parse_failure({0xFE, 0xFF, 0x01, 0x02, 0x00, 0xFC}, 1), CommunicationErrorCode::ParsingError);  // header
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // none of these reached a checksum mismatch

    testing::internal::CaptureStdout();
    // Wrong checksum and wrong id: the checksum is checked first.
    EXPECT_EQ(parse_failure({0xFF, 0xFF, 0x02, 0x02, 0x00, 0x11}, 1), CommunicationErrorCode::ChecksumError);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "read crc: 17, computed crc: 251 data: [255, 255, 2, 2, 0, 17]\n");
}

TEST(StatusPacket, SurvivesArbitraryInput) {
    // Random spans (many with a valid frame) must never crash or read out of bounds.
    std::mt19937 random(12345);
    testing::internal::CaptureStdout();
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 40);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        if (bytes.size() >= 6 && round % 2 == 0) {
            bytes[0] = bytes[1] = 0xFF;
            bytes[2] = 1;
            bytes.back() = smartbus_test::feetech_sum(std::span(bytes).subspan(2, bytes.size() - 3));
        }
        auto result = StatusPacketFeetech::from_bytes(bytes, 1);
        if (result.ok()) {
            ++parsed;
            EXPECT_EQ(result->params().size() + 6, bytes.size());
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GT(parsed, 0);
}

TEST(Errors, TextsAndClasses) {
    EXPECT_EQ((CommunicationErrorKind{CommunicationErrorCode::ChecksumError}.debug_text()), "ChecksumError");
    EXPECT_EQ((CommunicationErrorKind{CommunicationErrorCode::ParsingError}.display_text()), "Parsing error");
    EXPECT_EQ((CommunicationErrorKind{CommunicationErrorCode::TimeoutError}.display_text()), "Timeout error");
    EXPECT_EQ((CommunicationErrorKind{CommunicationErrorCode::Unsupported}.display_text()), "Operation not supported");
    const CommunicationErrorKind wrong_id{CommunicationErrorCode::IncorrectId, 3, 5};
    EXPECT_EQ(wrong_id.debug_text(), "IncorrectId(3, 5)");
    EXPECT_EQ(wrong_id.display_text(), "Incorrect id (5 instead of 3)");

    const Error checksum = CommunicationErrorKind{CommunicationErrorCode::ChecksumError};
    EXPECT_EQ(checksum.message(), "Checksum error");
    EXPECT_NE(checksum.communication(), nullptr);
    EXPECT_EQ(checksum.io(), nullptr);
    EXPECT_FALSE(checksum.is_timed_out_or_interrupted());

    const Error silent = IoError{IoErrorKind::TimedOut, "Operation timed out"};
    EXPECT_EQ(silent.message(), "Operation timed out");
    EXPECT_TRUE(silent.is_timed_out_or_interrupted());
    EXPECT_TRUE(Error(IoError{IoErrorKind::Interrupted, "x"}).is_timed_out_or_interrupted());
    EXPECT_FALSE(Error(IoError{IoErrorKind::BrokenPipe, "x"}).is_timed_out_or_interrupted());

    const Error port = PortError{5, "Input/output error"};
    EXPECT_EQ(port.message(), "Input/output error");
    ASSERT_NE(port.port(), nullptr);
    EXPECT_EQ((port.port() ? port.port()->os_error : -1), 5);
}
