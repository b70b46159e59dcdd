#include "frame_image.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

namespace candrive::socketcan_backend {
namespace {

std::uint32_t id_word(CanId id) {
    return id.kind == CanId::Kind::Extended ? (id.value | kExtendedFlag) : id.value;
}

CanId id_from_word(std::uint32_t word) {
    if ((word & kExtendedFlag) != 0) return CanId::extended(word & CanId::kExtendedMax);
    return CanId::standard(word & CanId::kStandardMax);
}

bool carries_data(std::uint32_t word) { return (word & (kRemoteFlag | kErrorFlag)) == 0; }

// The frame that an image of the kernel's structure `Image` carries; nothing
// for a remote request or an error frame.
template <class Image>
std::optional<CanFrame> decode_as(std::span<const std::uint8_t> bytes) {
    constexpr bool fd = std::is_same_v<Image, FdImage>;
    Image image;
    std::memcpy(&image, bytes.data(), sizeof image);
    if (!carries_data(image.id_word)) return std::nullopt;
    const std::size_t length = std::min<std::size_t>(image.length, sizeof image.data);
    bool bit_rate_switch = false;
    if constexpr (fd) bit_rate_switch = (image.flags & kFdBitRateSwitch) != 0;
    return CanFrame{std::vector<std::uint8_t>(image.data, image.data + length), id_from_word(image.id_word), fd,
                    bit_rate_switch};
}

}  // namespace

std::size_t fd_wire_length(std::size_t length) {
    if (length <= 8) return length;
    for (std::size_t step : {12, 16, 20, 24, 32, 48}) {
        if (length <= step) return step;
    }
    return 64;
}

CanResult<std::size_t> encode_image(const CanFrame& frame, std::span<std::uint8_t, sizeof(FdImage)> out) {
    if (!frame.id.is_valid()) return common::Err{CanError::invalid_id()};
    const std::size_t length = frame.data.size();
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    if (!frame.fd) {
        if (length > kClassicMaxData) return common::Err{CanError::frame_too_large(length)};
        ClassicImage image{};
        image.id_word = id_word(frame.id);
        image.length = static_cast<std::uint8_t>(length);
        std::copy(frame.data.begin(), frame.data.end(), image.data);
        std::memcpy(out.data(), &image, sizeof image);
        return sizeof(ClassicImage);
    }
    if (length > kFdMaxData) return common::Err{CanError::frame_too_large(length)};
    FdImage image{};
    image.id_word = id_word(frame.id);
    image.length = static_cast<std::uint8_t>(fd_wire_length(length));  // padding stays zero
    image.flags = static_cast<std::uint8_t>(kFdFrame | (frame.brs ? kFdBitRateSwitch : 0));
    std::copy(frame.data.begin(), frame.data.end(), image.data);
    std::memcpy(out.data(), &image, sizeof image);
    return sizeof(FdImage);
}

CanResult<std::optional<CanFrame>> decode_image(std::span<const std::uint8_t> image) {
    if (image.size() == sizeof(ClassicImage)) return decode_as<ClassicImage>(image);
    if (image.size() == sizeof(FdImage)) return decode_as<FdImage>(image);
    return common::Err{CanError::backend("received a message of " + std::to_string(image.size()) +
                                         " bytes, which is not a CAN frame")};
}

}  // namespace candrive::socketcan_backend
