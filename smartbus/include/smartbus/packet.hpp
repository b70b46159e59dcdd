// The byte format of the Feetech serial-bus protocol: instruction packets
// (host to servo) and status packets (servo to host). Pure encoding and
// decoding; nothing here touches a port.
//
// Instruction packet: FF FF id length instruction params... checksum
// Status packet:      FF FF id length error       params... checksum
// length = number of params + 2; checksum = ~(sum of id..last param) & 0xFF.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "smartbus/error.hpp"

namespace smartbus {

enum class Instruction : std::uint8_t { Ping, Read, Write, RegWrite, Reboot, SyncWrite, SyncRead };

// The byte that goes on the wire for `instruction`.
std::uint8_t instruction_code(Instruction instruction);

// Target id of the sync instructions.
inline constexpr std::uint8_t kBroadcastId = 0xFE;
// The length byte holds params + 2, so a packet carries at most this many parameter bytes.
inline constexpr std::size_t kMaxParams = 253;
// A write spends one parameter byte on the address.
inline constexpr std::size_t kMaxWriteData = kMaxParams - 1;

// ~(sum of bytes) & 0xFF.
std::uint8_t checksum(std::span<const std::uint8_t> bytes);

// The Feetech family is the one packet family on this bus, so its types are
// plain values; the family's general names (InstructionPacket, StatusPacket,
// Packet) stand for them.

class InstructionPacketFeetech {
public:
    InstructionPacketFeetech(std::uint8_t id, Instruction instruction, std::vector<std::uint8_t> params)
        : params_(std::move(params)), instruction_(instruction), id_(id) {}

    std::uint8_t id() const { return id_; }
    Instruction instruction() const { return instruction_; }
    std::span<const std::uint8_t> params() const { return params_; }
    // The serialised packet; refused (IoErrorKind::InvalidInput) when the
    // parameters do not fit in one packet.
    Result<std::vector<std::uint8_t>> to_bytes() const;

private:
    std::vector<std::uint8_t> params_;
    Instruction instruction_;
    std::uint8_t id_;
};
using InstructionPacket = InstructionPacketFeetech;

// The servo's error byte decoded: bits 0, 1, 2, 3 and 5 give the flags
// 0, 1, 2, 3 and 4, in ascending order. Nothing in this library acts on them.
using ErrorFlag = std::uint8_t;
std::vector<ErrorFlag> decode_error_flags(std::uint8_t error_byte);

class StatusPacketFeetech {
public:
    StatusPacketFeetech(std::uint8_t id, std::vector<ErrorFlag> errors, std::vector<std::uint8_t> params)
        : errors_(std::move(errors)), params_(std::move(params)), id_(id) {}

    // Parses one complete status packet expected from servo `id`. Checks, in
    // order: at least 6 bytes (ParsingError); checksum (ChecksumError, after
    // one diagnostic line on standard output); FF FF header, id and length
    // byte (ParsingError). A pure function of its input apart from that line.
    static common::Result<StatusPacketFeetech, CommunicationErrorKind> from_bytes(
            std::span<const std::uint8_t> bytes, std::uint8_t id);

    std::uint8_t id() const { return id_; }
    std::span<const ErrorFlag> errors() const { return errors_; }
    std::span<const std::uint8_t> params() const { return params_; }
    std::vector<std::uint8_t> take_params() && { return std::move(params_); }

private:
    std::vector<ErrorFlag> errors_;
    std::vector<std::uint8_t> params_;
    std::uint8_t id_;
};
using StatusPacket = StatusPacketFeetech;

// The packet family: builds instruction packets and parses status packets.
// Holds nothing.
class PacketFeetech {
public:
    static InstructionPacketFeetech read_packet(std::uint8_t id, std::uint8_t address, std::uint8_t count);
    static InstructionPacketFeetech write_packet(std::uint8_t id, std::uint8_t address,
                                                 std::span<const std::uint8_t> data);
    static InstructionPacketFeetech sync_read_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                     std::uint8_t count);
    // Refused (InvalidInput) unless there is at least one id and exactly one
    // data vector per id, all of one length of at most 255 bytes.
    static Result<InstructionPacketFeetech> sync_write_packet(std::span<const std::uint8_t> ids, std::uint8_t address,
                                                              const std::vector<std::vector<std::uint8_t>>& data);
    // StatusPacketFeetech::from_bytes.
    static common::Result<StatusPacketFeetech, CommunicationErrorKind> status_packet(
            std::span<const std::uint8_t> bytes, std::uint8_t id) {
        return StatusPacketFeetech::from_bytes(bytes, id);
    }
};
using Packet = PacketFeetech;

}  // namespace smartbus
