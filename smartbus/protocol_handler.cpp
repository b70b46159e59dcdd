// Bus transactions: settle the line, send one instruction packet, read the replies.
#include "smartbus/protocol_handler.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <thread>

namespace smartbus {
namespace {

// Before a packet goes out after a transaction that ended badly, or when
// input is waiting, the line must have been quiet this long: longer than a
// USB adapter holds a late reply (16 ms by default) and than the gaps between
// the late replies of a sync read.
constexpr auto kQuietTime = std::chrono::milliseconds(30);
// How long input may keep coming before the send is given up.
constexpr auto kSettleLimit = std::chrono::milliseconds(150);

// FF FF id length, then up to 255 further bytes as the length byte says.
constexpr std::size_t kStatusHeadSize = 4;
constexpr std::size_t kMaxStatusSize = kStatusHeadSize + 255;

Error timeout_error() { return CommunicationErrorKind{CommunicationErrorCode::TimeoutError}; }

}  // namespace

Result<void> Protocol::settle_line(SerialPort& port) {
    const auto began = std::chrono::steady_clock::now();
    // The time since the port became unsettled is quiet time already when no
    // input has come since (a retry's pause is not waited twice); input seen
    // starts a full wait.
    std::chrono::nanoseconds window = kQuietTime;
    if (port.unsettled()) {
        window = std::clamp<std::chrono::nanoseconds>(kQuietTime - (began - port.unsettled_since()),
                                                      std::chrono::nanoseconds{}, kQuietTime);
    } else {
        auto waiting = port.bytes_to_read();
        if (!waiting) return common::Err{std::move(waiting).error()};
        if (*waiting == 0) return {};
        port.set_unsettled(true);
    }
    for (;;) {
        auto discarded = port.discard_input(window);
        if (!discarded) return common::Err{std::move(discarded).error()};
        if (*discarded == 0) {
            port.set_unsettled(false);
            return {};
        }
        if (std::chrono::steady_clock::now() - began >= kSettleLimit - kQuietTime) return common::Err{timeout_error()};
        window = kQuietTime;
    }
}

namespace {

Result<StatusPacketFeetech> read_one_status_packet(SerialPort& port, std::uint8_t id) {
    std::array<std::uint8_t, kMaxStatusSize> buffer;
    QMC_TRY(port.read_exact(std::span(buffer).first(kStatusHeadSize)));
    if (buffer[0] != 0xFF || buffer[1] != 0xFF) return common::Err{CommunicationErrorKind{CommunicationErrorCode::ParsingError}};
    const std::size_t rest = buffer[3];
    QMC_TRY(port.read_exact(std::span(buffer).subspan(kStatusHeadSize, rest)));
    auto parsed = StatusPacketFeetech::from_bytes(std::span(buffer).first(kStatusHeadSize + rest), id);
    if (!parsed) {
        Error error(parsed.error());
        if (buffer[2] != id) error.set_reply_id(buffer[2]);
        return common::Err{std::move(error)};
    }
    return std::move(parsed).value();
}

}  // namespace

Result<void> Protocol::send_instruction_packet(SerialPort& port, const InstructionPacketFeetech& packet) {
    auto bytes = packet.to_bytes();  // refuse what cannot be encoded before touching the port
    if (!bytes) return common::Err{std::move(bytes).error()};
    QMC_TRY(Protocol::settle_line(port));
    if (!port.write_all(*bytes)) {
        port.set_unsettled(true);  // part of the packet may have gone out
        return common::Err{timeout_error()};
    }
    return {};
}

Result<StatusPacketFeetech> Protocol::read_status_packet(SerialPort& port, std::uint8_t id) {
    auto reply = read_one_status_packet(port, id);
    if (reply) return reply;
    // Whatever is left of a reply that failed may still be arriving.
    port.set_unsettled(true);
    // A silent servo or a reply that is not valid is that servo's failure;
    // a port that failed is nobody's on the bus.
    Error& error = reply.error();
    if (error.communication() != nullptr || error.is_timed_out()) error.set_servo_id(id);
    return reply;
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
    QMC_TRY(Protocol::send_instruction_packet(port, PacketFeetech::read_packet(id, address, count)));
    auto reply = Protocol::read_status_packet(port, id);
    pause_after_transaction();
    if (!reply) return common::Err{std::move(reply).error()};
    return std::move(reply).value().take_params();
}

Result<void> FeetechProtocolHandler::write(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                           std::span<const std::uint8_t> data) {
    QMC_TRY(Protocol::send_instruction_packet(port, PacketFeetech::write_packet(id, address, data)));
    QMC_TRY(Protocol::read_status_packet(port, id));
    pause_after_transaction();
    return {};
}

Result<std::vector<std::vector<std::uint8_t>>> FeetechProtocolHandler::sync_read(
        SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address, std::uint8_t count) {
    QMC_TRY(Protocol::send_instruction_packet(port, PacketFeetech::sync_read_packet(ids, address, count)));
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
    auto packet = PacketFeetech::sync_write_packet(ids, address, data);
    if (!packet) return common::Err{std::move(packet).error()};
    return Protocol::send_instruction_packet(port, *packet);
}

void FeetechProtocolHandler::pause_after_transaction() const {
    if (post_delay) std::this_thread::sleep_for(*post_delay);
}

}  // namespace smartbus
