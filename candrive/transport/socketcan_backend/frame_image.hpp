// The Linux SocketCAN frame images: what a CAN_RAW socket (and the virtual
// bus) carries, one image per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "candrive/transport.hpp"

namespace candrive::socketcan_backend {

// Identifier word flags.
inline constexpr std::uint32_t kExtendedFlag = 0x80000000U;  // 29-bit identifier
inline constexpr std::uint32_t kRemoteFlag = 0x40000000U;
inline constexpr std::uint32_t kErrorFlag = 0x20000000U;

// FD flags byte.
inline constexpr std::uint8_t kFdBitRateSwitch = 0x01;
inline constexpr std::uint8_t kFdFrame = 0x04;

inline constexpr std::size_t kClassicMaxData = 8;
inline constexpr std::size_t kFdMaxData = 64;

// struct can_frame
struct ClassicImage {
    std::uint32_t id_word;  // host byte order
    std::uint8_t length;
    std::uint8_t padding;
    std::uint8_t reserved;
    std::uint8_t len8_dlc;
    std::uint8_t data[kClassicMaxData];
};
static_assert(sizeof(ClassicImage) == 16);
static_assert(offsetof(ClassicImage, length) == 4);
static_assert(offsetof(ClassicImage, data) == 8);

// struct canfd_frame
struct FdImage {
    std::uint32_t id_word;
    std::uint8_t length;
    std::uint8_t flags;
    std::uint8_t reserved0;
    std::uint8_t reserved1;
    std::uint8_t data[kFdMaxData];
};
static_assert(sizeof(FdImage) == 72);
static_assert(offsetof(FdImage, flags) == 5);
static_assert(offsetof(FdImage, data) == 8);

// The FD payload length that carries `length` bytes: 0-8, 12, 16, 20, 24, 32, 48, 64.
std::size_t fd_wire_length(std::size_t length);

// Fills `out` (16 or 72 bytes, zeroed past the payload) with the image of
// `frame` and returns its size; InvalidId or FrameTooLarge when it has none.
CanResult<std::size_t> encode_image(const CanFrame& frame, std::span<std::uint8_t, sizeof(FdImage)> out);

// The frame of a 16- or 72-byte image; any other size is a Backend error.
// A remote request or an error frame is no frame of data for anyone (a remote
// request on a feedback identifier would otherwise read as 8 data bytes): nothing.
CanResult<std::optional<CanFrame>> decode_image(std::span<const std::uint8_t> image);

}  // namespace candrive::socketcan_backend
