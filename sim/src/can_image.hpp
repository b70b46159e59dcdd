// Linux SocketCAN frame images as they travel over the virtual bus: 16 bytes
// (struct can_frame) for a classic frame, 72 bytes (struct canfd_frame) for
// an FD frame. The identifier word is in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace torso_sim::can {

inline constexpr std::size_t kClassicImageSize = 16;
inline constexpr std::size_t kFdImageSize = 72;

struct Frame {
    std::uint32_t id = 0;   // flags stripped
    bool extended = false;
    bool remote = false;
    bool error = false;
    bool fd = false;
    bool brs = false;
    std::vector<std::uint8_t> data;
};

// Null for a message that is not a frame image (wrong size or length byte).
std::optional<Frame> parse_image(std::span<const std::uint8_t> image);

// The image of any data frame: classic (data cut to 8 bytes) or FD (data cut
// to 64 bytes, length rounded up to a valid FD length).
std::vector<std::uint8_t> frame_image(const Frame& frame);

// A classic data frame with a standard identifier.
std::vector<std::uint8_t> classic_image(std::uint32_t standard_id, std::span<const std::uint8_t> data);

}  // namespace torso_sim::can
