// Feetech serial-bus packets as a servo sees them: instruction packets coming
// in (split out of an arbitrary byte stream) and status packets going out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace torso_sim::feetech {

inline constexpr std::uint8_t kBroadcastId = 0xFE;

namespace instruction {
inline constexpr std::uint8_t kPing = 0x01;
inline constexpr std::uint8_t kRead = 0x02;
inline constexpr std::uint8_t kWrite = 0x03;
inline constexpr std::uint8_t kReboot = 0x08;
inline constexpr std::uint8_t kSyncRead = 0x82;
inline constexpr std::uint8_t kSyncWrite = 0x83;
}  // namespace instruction

// ~(sum of the bytes) & 0xFF, over id .. last parameter.
std::uint8_t checksum(std::span<const std::uint8_t> id_to_last_param);

// FF FF id len err params checksum.
std::vector<std::uint8_t> status_packet(std::uint8_t id, std::uint8_t error,
                                        std::span<const std::uint8_t> params);

struct InstructionPacket {
    std::uint8_t id = 0;
    std::uint8_t instruction = 0;
    std::vector<std::uint8_t> params;
};

// Splits the host's byte stream into instruction packets and chunks of
// garbage. A packet is FF FF id len instr params checksum with a valid
// checksum; anything else is skipped byte by byte until the next FF FF, so
// the parser resynchronises after noise, truncated or corrupted packets.
class PacketSplitter {
public:
    struct Item {
        bool parsed;                       // false: `bytes` is a garbage chunk
        std::vector<std::uint8_t> bytes;   // the raw bytes as received
        InstructionPacket packet;          // valid when parsed
    };

    void feed(std::span<const std::uint8_t> bytes);

    // The next packet or garbage chunk, or nothing when the buffer holds only
    // the beginning of a packet (or nothing). With `stale` set, a packet
    // that is still incomplete is taken to be garbage (the line has been
    // quiet too long for it to be completed).
    std::optional<Item> next(bool stale = false);

    // True if bytes are waiting for the rest of their packet.
    bool has_partial() const { return !buffer_.empty(); }

private:
    void drop_front_to_garbage(std::size_t n);

    std::vector<std::uint8_t> buffer_;
    std::vector<std::uint8_t> garbage_;
};

}  // namespace torso_sim::feetech
