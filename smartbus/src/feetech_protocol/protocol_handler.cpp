// Bus transactions: drain, send one instruction packet, read the replies.
#include "smartbus/protocol_handler.hpp"

#include <array>
#include <thread>

namespace smartbus {
namespace {

constexpr int drain_passes = 3;
constexpr auto drain_settle_time = std::chrono::milliseconds(5);

// FF FF id length, then up to 255 further bytes as the length byte says.
constexpr std::size_t status_head_size = 4;
constexpr std::size_t max_status_size = status_head_size + 255;

const PacketFeetech packets;

Error timeout_error() { return CommunicationErrorKind{CommunicationErrorCode::TimeoutError}; }

// One pass: if input is waiting, asks again how much, reads and discards that
// many bytes, then lets the line settle. True if the input queue is empty at
// the start of the pass or after it.
Result<bool> drain_pass(SerialPort& port) {
    auto waiting = port.bytes_to_read();
    if (!waiting) return common::Err{std::move(waiting).error()};
    if (*waiting == 0) return true;
    std::array<std::uint8_t, 256> scratch;
    auto pending = port.bytes_to_read();
    if (!pending) return common::Err{std::move(pending).error()};
    for (std::size_t left = *pending; left > 0;) {
        const std::size_t chunk = std::min(left, scratch.size());
        QMC_TRY(port.read_exact(std::span(scratch).first(chunk)));
        left -= chunk;
    }
    std::this_thread::sleep_for(drain_settle_time);
    auto after = port.bytes_to_read();
    if (!after) return common::Err{std::move(after).error()};
    return *after == 0;
}

// Replies left over from an earlier, failed transaction must not be taken for
// the answer to the next packet.
Result<void> drain_stale_input(SerialPort& port) {
    for (int pass = 0; pass < drain_passes; ++pass) {
        auto drained = drain_pass(port);
        if (!drained) return common::Err{std::move(drained).error()};
        if (*drained) return {};
    }
    return common::Err{timeout_error()};
}

}  // namespace

Result<void> Protocol::send_instruction_packet(SerialPort& port, const InstructionPacket& packet) {
    auto bytes = packet.to_bytes();  // refuse what cannot be encoded before touching the port
    if (!bytes) return common::Err{std::move(bytes).error()};
    QMC_TRY(drain_stale_input(port));
    if (!port.write_all(*bytes)) return common::Err{timeout_error()};
    return {};
}

Result<StatusPacketFeetech> Protocol::read_status_packet(SerialPort& port, std::uint8_t id) {
    std::array<std::uint8_t, max_status_size> buffer;
    QMC_TRY(port.read_exact(std::span(buffer).first(status_head_size)));
    if (buffer[0] != 0xFF || buffer[1] != 0xFF) return common::Err{CommunicationErrorKind{CommunicationErrorCode::ParsingError}};
    const std::size_t rest = buffer[3];
    QMC_TRY(port.read_exact(std::span(buffer).subspan(status_head_size, rest)));
    auto parsed = StatusPacketFeetech::from_bytes(std::span(buffer).first(status_head_size + rest), id);
    if (!parsed) return common::Err{parsed.error()};
    return std::move(parsed).value();
}

Result<bool> FeetechProtocolHandler::send_and_check_answer(SerialPort& port, Instruction instruction,
                                                           std::uint8_t id) {
    QMC_TRY(Protocol::send_instruction_packet(port, InstructionPacketFeetech(id, instruction, {})));
    return Protocol::read_status_packet(port, id).ok();
}

Result<bool> FeetechProtocolHandler::ping(SerialPort& port, std::uint8_t id) {
    return send_and_check_answer(port, Instruction::Ping, id);
}

Result<bool> FeetechProtocolHandler::reboot(SerialPort& port, std::uint8_t id) {
    return send_and_check_answer(port, Instruction::Reboot, id);
}

Result<std::vector<std::uint8_t>> FeetechProtocolHandler::read(SerialPort& port, std::uint8_t id,
                                                               std::uint8_t address, std::uint8_t count) {
    QMC_TRY(Protocol::send_instruction_packet(port, *packets.read_packet(id, address, count)));
    auto reply = Protocol::read_status_packet(port, id);
    pause_after_transaction();
    if (!reply) return common::Err{std::move(reply).error()};
    return std::move(reply).value().take_params();
}

Result<void> FeetechProtocolHandler::write(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                           std::span<const std::uint8_t> data) {
    QMC_TRY(Protocol::send_instruction_packet(port, *packets.write_packet(id, address, data)));
    QMC_TRY(Protocol::read_status_packet(port, id));
    pause_after_transaction();
    return {};
}

Result<std::vector<std::vector<std::uint8_t>>> FeetechProtocolHandler::sync_read(
        SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t count) {
    QMC_TRY(Protocol::send_instruction_packet(port, *packets.sync_read_packet(ids, address, count)));
    std::vector<std::vector<std::uint8_t>> replies;
    replies.reserve(ids.size());
    // The servos answer one after another in the order of the ids.
    for (std::uint8_t id : ids) {
        auto reply = Protocol::read_status_packet(port, id);
        if (!reply) return common::Err{std::move(reply).error()};
        replies.push_back(std::move(reply).value().take_params());
    }
    return replies;
}

Result<void> FeetechProtocolHandler::sync_write(SerialPort& port, std::span<const std::uint8_t> ids,
                                                std::uint8_t address,
                                                const std::vector<std::vector<std::uint8_t>>& data) {
    auto packet = packets.sync_write_packet(ids, address, data);
    if (!packet) return common::Err{std::move(packet).error()};
    return Protocol::send_instruction_packet(port, **packet);
}

void FeetechProtocolHandler::pause_after_transaction() const {
    if (post_delay) std::this_thread::sleep_for(*post_delay);
}

}  // namespace smartbus
