// Building and serialising instruction packets.
#include <array>
#include <string>

#include "smartbus/packet.hpp"

namespace smartbus {
namespace {

// Wire codes, in the order of the Instruction members.
constexpr std::array<std::uint8_t, 7> instruction_codes = {0x01, 0x02, 0x03, 0x06, 0x08, 0x83, 0x82};

constexpr std::size_t header_size = 5;  // FF FF id length instruction

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
    if (params_.size() > max_params) {
        return common::Err{invalid_input("instruction packet with " + std::to_string(params_.size()) +
                                         " parameter bytes exceeds the limit of " + std::to_string(max_params))};
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(header_size + params_.size() + 1);
    bytes.insert(bytes.end(), {0xFF, 0xFF, id_, static_cast<std::uint8_t>(params_.size() + 2),
                               instruction_code(instruction_)});
    bytes.insert(bytes.end(), params_.begin(), params_.end());
    bytes.push_back(checksum(std::span(bytes).subspan(2)));
    return bytes;
}

std::unique_ptr<InstructionPacket> PacketFeetech::read_packet(std::uint8_t id, std::uint8_t address,
                                                              std::uint8_t count) const {
    return std::make_unique<InstructionPacketFeetech>(id, Instruction::Read, std::vector<std::uint8_t>{address, count});
}

std::unique_ptr<InstructionPacket> PacketFeetech::write_packet(std::uint8_t id, std::uint8_t address,
                                                               std::span<const std::uint8_t> data) const {
    std::vector<std::uint8_t> params;
    params.reserve(1 + data.size());
    params.push_back(address);
    params.insert(params.end(), data.begin(), data.end());
    return std::make_unique<InstructionPacketFeetech>(id, Instruction::Write, std::move(params));
}

std::unique_ptr<InstructionPacket> PacketFeetech::sync_read_packet(std::span<const std::uint8_t> ids,
                                                                   std::uint8_t address, std::uint8_t count) const {
    std::vector<std::uint8_t> params;
    params.reserve(2 + ids.size());
    params.push_back(address);
    params.push_back(count);
    params.insert(params.end(), ids.begin(), ids.end());
    return std::make_unique<InstructionPacketFeetech>(broadcast_id, Instruction::SyncRead, std::move(params));
}

Result<std::unique_ptr<InstructionPacket>> PacketFeetech::sync_write_packet(
        std::span<const std::uint8_t> ids, std::uint8_t address,
        const std::vector<std::vector<std::uint8_t>>& data) const {
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
    return std::unique_ptr<InstructionPacket>(
            std::make_unique<InstructionPacketFeetech>(broadcast_id, Instruction::SyncWrite, std::move(params)));
}

}  // namespace smartbus
