// Feetech packets: building and serialising instruction packets, parsing
// status packets. A status packet whose checksum does not match is reported on
// standard output by print_checksum_mismatch, the one place that prints it.
#include <array>
#include <cstdio>
#include <string>

#include "common/format.hpp"
#include "smartbus/packet.hpp"

namespace smartbus {
namespace {

// Wire codes, in the order of the Instruction members.
constexpr std::array<std::uint8_t, 7> instruction_codes = {0x01, 0x02, 0x03, 0x06, 0x08, 0x83, 0x82};

constexpr std::size_t kHeaderSize = 5;  // FF FF id length instruction

}  // namespace

std::uint8_t instruction_code(Instruction instruction) {
    return instruction_codes[static_cast<std::size_t>(instruction)];
}

std::uint8_t checksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (std::uint8_t byte : bytes) sum += byte;
    return static_cast<std::uint8_t>(~sum & 0xFFu);
}

Result<std::vector<std::uint8_t>> InstructionPacketFeetech::to_bytes() const {
    if (params_.size() > kMaxParams) {
        return common::Err{invalid_input("instruction packet with " + std::to_string(params_.size()) +
                                         " parameter bytes exceeds the limit of " + std::to_string(kMaxParams))};
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kHeaderSize + params_.size() + 1);
    bytes.insert(bytes.end(), {0xFF, 0xFF, id_, static_cast<std::uint8_t>(params_.size() + 2),
                               instruction_code(instruction_)});
    bytes.insert(bytes.end(), params_.begin(), params_.end());
    bytes.push_back(checksum(std::span(bytes).subspan(2)));
    return bytes;
}

InstructionPacketFeetech PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t count) {
    return InstructionPacketFeetech(id, Instruction::Read, {address, count});
}

InstructionPacketFeetech PacketFeetech::write_packet(std::uint8_t id, std::uint8_t address,
                                                     std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> params;
    params.reserve(1 + data.size());
    params.push_back(address);
    params.insert(params.end(), data.begin(), data.end());
    return InstructionPacketFeetech(id, Instruction::Write, std::move(params));
}

InstructionPacketFeetech PacketFeetech::sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                         std::uint8_t count) {
    std::vector<std::uint8_t> params;
    params.reserve(2 + ids.size());
    params.push_back(address);
    params.push_back(count);
    params.insert(params.end(), ids.begin(), ids.end());
    return InstructionPacketFeetech(kBroadcastId, Instruction::SyncRead, std::move(params));
}

Result<InstructionPacketFeetech> PacketFeetech::sync_write_packet(std::span<const std::uint8_t> ids,
                                                                  std::uint8_t address,
                                                                  const std::vector<std::vector<std::uint8_t>>& data) {
    // The per-servo length is one byte shared by every servo, so the data must
    // be one vector per id, all of one length.
    if (ids.empty()) return common::Err{invalid_input("sync write without servo ids")};
    if (data.size() != ids.size()) {
        return common::Err{invalid_input("sync write with " + std::to_string(data.size()) + " data vectors for " +
                                         std::to_string(ids.size()) + " servo ids")};
    }
    const std::size_t width = data.front().size();
    for (const auto& servo_data : data) {
        if (servo_data.size() != width) return common::Err{invalid_input("sync write data vectors of unequal length")};
    }
    if (width > 255) {
        return common::Err{invalid_input("sync write of " + std::to_string(width) +
                                         " bytes per servo exceeds the limit of 255")};
    }
    std::vector<std::uint8_t> params;
    params.reserve(2 + ids.size() * (1 + width));
    params.push_back(address);
    params.push_back(static_cast<std::uint8_t>(width));
    for (std::size_t i = 0; i < ids.size(); ++i) {
        params.push_back(ids[i]);
        params.insert(params.end(), data[i].begin(), data[i].end());
    }
    return InstructionPacketFeetech(kBroadcastId, Instruction::SyncWrite, std::move(params));
}

}  // namespace smartbus

namespace smartbus {
namespace {

constexpr std::size_t kMinStatusSize = 6;  // FF FF id length error checksum

CommunicationErrorKind parsing_error() { return {CommunicationErrorCode::ParsingError}; }

void print_checksum_mismatch(std::uint8_t received, std::uint8_t computed, std::span<const std::uint8_t> bytes) {
    const std::string line = "read crc: " + std::to_string(received) + ", computed crc: " +
                             std::to_string(computed) + " data: " + common::debug_list(bytes, common::int_text) +
                             "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::vector<ErrorFlag> decode_error_flags(std::uint8_t error_byte) {
    // Bit of the error byte that gives each flag, in flag order.
    constexpr std::uint8_t flag_bits[] = {0, 1, 2, 3, 5};
    std::vector<ErrorFlag> flags;
    if (error_byte == 0) return flags;
    for (std::size_t flag = 0; flag < std::size(flag_bits); ++flag) {
        if (error_byte & (1u << flag_bits[flag])) flags.push_back(static_cast<ErrorFlag>(flag));
    }
    return flags;
}

common::Result<StatusPacketFeetech, CommunicationErrorKind> StatusPacketFeetech::from_bytes(
        std::span<const std::uint8_t> bytes, std::uint8_t id) {
    if (bytes.size() < kMinStatusSize) return common::Err{parsing_error()};

    const std::uint8_t received = bytes.back();
    const std::uint8_t computed = checksum(bytes.subspan(2, bytes.size() - 3));
    if (received != computed) {
        print_checksum_mismatch(received, computed, bytes);
        return common::Err{CommunicationErrorKind{CommunicationErrorCode::ChecksumError}};
    }
    if (bytes[0] != 0xFF || bytes[1] != 0xFF) return common::Err{parsing_error()};
    if (bytes[2] != id) return common::Err{parsing_error()};
    std::vector<ErrorFlag> flags = decode_error_flags(bytes[4]);
    if (bytes[3] != bytes.size() - 4) return common::Err{parsing_error()};

    const auto params = bytes.subspan(5, bytes[3] - 2u);
    return StatusPacketFeetech(id, std::move(flags), std::vector<std::uint8_t>(params.begin(), params.end()));
}

}  // namespace smartbus
