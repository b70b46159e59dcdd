// How long things take on the torso's real wires, for a simulator that keeps
// wire time (opt-in: by default every answer is instant).
//
// Serial (half duplex, 8N1): every byte takes 10 bit times in either
// direction, one direction at a time. A servo starts its reply
// `servo_latency` plus its return-delay register (address 7, units of 2 us)
// after the last byte of the instruction; the replies of a sync read follow
// one another.
//
// The host's USB adapter (modelled on an FTDI chip such as the FT232R) holds
// what it receives from the line and sends it to the host in USB packets of
// at most `usb_packet_bytes` data bytes (64 minus its two modem-status bytes):
// a packet goes as soon as a full one is held, and otherwise when the
// adapter's latency timer expires. The timer restarts with every packet sent
// to the host; an idle adapter sends a status-only packet at each expiry, so
// between full packets the expiries keep a fixed grid, `usb_latency` apart,
// whatever the host does. A reply shorter than a packet therefore reaches the
// host at the first expiry after its last byte, and a read pays for the phase
// at which it starts. The host's own USB transfers (sending the request, and
// the kernel's hand-over of what arrived) are not modelled beyond what the
// pseudo-terminal costs.
//
// CAN (classic frames): one frame at a time on the shared bus, each taking
// its bit time including the worst-case stuff bits (an 8-byte frame with a
// standard identifier: 135 bits); when several frames wait for the bus, the
// lowest identifier wins arbitration. A motor answers `can_turnaround` after
// the end of the frame it answers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace torso_sim {

struct WireTiming {
    bool enabled = false;
    std::uint32_t serial_baud = 1'000'000;
    std::uint32_t can_bitrate = 1'000'000;
    std::chrono::microseconds servo_latency{20};
    std::chrono::microseconds can_turnaround{50};
    // 0: received bytes reach the host as soon as they are complete.
    std::chrono::microseconds usb_latency{0};
    // Data bytes in one USB packet to the host (62 on a full-speed FTDI chip,
    // 510 on a high-speed one).
    std::size_t usb_packet_bytes = 62;
};

// Bits a classic CAN data frame occupies on the bus with `data_bytes` of data,
// counting the worst-case stuff bits and the 3-bit interframe space.
constexpr std::uint32_t can_frame_bits(std::size_t data_bytes, bool extended = false) {
    const auto data_bits = static_cast<std::uint32_t>(8 * (data_bytes > 64 ? 64 : data_bytes));
    // SOF through the CRC sequence (15 bits): the part that is bit-stuffed.
    const std::uint32_t stuffed = (extended ? 54u : 34u) + data_bits;
    // CRC delimiter, ACK slot and delimiter, end of frame, interframe space.
    const std::uint32_t fixed = 1u + 2u + 7u + 3u;
    return stuffed + (stuffed - 1u) / 4u + fixed;
}

}  // namespace torso_sim
