// Parsing status packets.
#include <cstdio>
#include <string>

#include "common/format.hpp"
#include "smartbus/packet.hpp"

namespace smartbus {
namespace {

constexpr std::size_t min_status_size = 6;  // FF FF id length error checksum

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
    if (bytes.size() < min_status_size) return common::Err{parsing_error()};

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

common::Result<std::unique_ptr<StatusPacket>, CommunicationErrorKind> PacketFeetech::status_packet(
        std::span<const std::uint8_t> bytes, std::uint8_t id) const {
    auto parsed = StatusPacketFeetech::from_bytes(bytes, id);
    if (!parsed) return common::Err{parsed.error()};
    return std::unique_ptr<StatusPacket>(std::make_unique<StatusPacketFeetech>(std::move(parsed).value()));
}

}  // namespace smartbus
