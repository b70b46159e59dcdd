// Bus transactions of the Feetech protocol on an open serial port. The
// handler owns no port: every call takes one, and the caller makes sure one
// transaction runs on a port at a time. One call is one attempt; nothing is
// retried here.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "smartbus/error.hpp"
#include "smartbus/packet.hpp"
#include "smartbus/serial_port.hpp"

namespace smartbus {

// The two steps every transaction shares.
struct Protocol {
    // Stale input (a reply longer than asked, a late answer, noise) must not
    // be taken for the answer to the next packet: when the port is unsettled
    // or input is waiting, discards input until the line has been quiet for
    // 30 ms, then marks the port settled; TimeoutError if input keeps coming
    // for about 150 ms. The quiet time counts from the moment the port became
    // unsettled. Healthy traffic pays one look at the input queue.
    static Result<void> settle_line(SerialPort& port);

    // Clears stale input, then writes the packet. When the port is unsettled
    // or input is waiting, input is discarded until the line has been quiet
    // for 30 ms (TimeoutError, nothing sent, if it keeps coming for about
    // 150 ms). A packet that cannot be encoded is refused (InvalidInput)
    // before the port is touched; a failed write is reported as TimeoutError.
    static Result<void> send_instruction_packet(SerialPort& port, const InstructionPacketFeetech& packet);

    // Reads one status packet expected from `id`: the I/O error of the port if
    // it stays silent for the time-out, ParsingError without an FF FF header,
    // otherwise whatever StatusPacketFeetech::from_bytes decides. Any failure
    // leaves the port unsettled.
    static Result<StatusPacketFeetech> read_status_packet(SerialPort& port, std::uint8_t id);
};

class FeetechProtocolHandler {
public:
    // When set, slept at the end of every read and after every successful write.
    std::optional<std::chrono::nanoseconds> post_delay;

    // True if servo `id` answered with a valid status packet, false on any
    // read or parse failure; an error only if sending failed.
    Result<bool> ping(SerialPort& port, std::uint8_t id);
    // The reply's parameter bytes as they came (their number is not checked).
    Result<std::vector<std::uint8_t>> read(SerialPort& port, std::uint8_t id, std::uint8_t address,
                                           std::uint8_t count);
    // Writes and waits for the servo's acknowledgement. More than 252 data
    // bytes are refused (InvalidInput).
    Result<void> write(SerialPort& port, std::uint8_t id, std::uint8_t address, std::span<const std::uint8_t> data);
    // Same results as ping.
    Result<bool> reboot(SerialPort& port, std::uint8_t id);
    // One packet, then one reply per id in the order of `ids`; the first
    // failure ends the call and returns nothing of what was gathered.
    Result<std::vector<std::vector<std::uint8_t>>> sync_read(SerialPort& port, std::span<const std::uint8_t> ids,
                                                             std::uint8_t address, std::uint8_t count);
    // One packet, no reply. `data` holds one vector per id, all of one length.
    Result<void> sync_write(SerialPort& port, std::span<const std::uint8_t> ids, std::uint8_t address,
                            const std::vector<std::vector<std::uint8_t>>& data);

private:
    Result<bool> send_and_check_answer(SerialPort& port, Instruction instruction, std::uint8_t id);
    void pause_after_transaction() const;
};

}  // namespace smartbus
