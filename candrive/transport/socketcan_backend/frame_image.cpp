#include "frame_image.hpp"

#include <algorithm>
#include <cstring>
#include <string>

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
    if (image.size() == sizeof(ClassicImage)) {
        ClassicImage classic;
        std::memcpy(&classic, image.data(), sizeof classic);
        if (!carries_data(classic.id_word)) return std::optional<CanFrame>{};
        const std::size_t length = std::min<std::size_t>(classic.length, kClassicMaxData);
        return std::optional<CanFrame>(CanFrame{std::vector<std::uint8_t>(classic.data, classic.data + length),
                                                id_from_word(classic.id_word), false, false});
    }
    if (image.size() == sizeof(FdImage)) {
        FdImage fd;
        std::memcpy(&fd, image.data(), sizeof fd);
        if (!carries_data(fd.id_word)) return std::optional<CanFrame>{};
        const std::size_t length = std::min<std::size_t>(fd.length, kFdMaxData);
        return std::optional<CanFrame>(CanFrame{std::vector<std::uint8_t>(fd.data, fd.data + length),
                                                id_from_word(fd.id_word), true, (fd.flags & kFdBitRateSwitch) != 0});
    }
    return common::Err{CanError::backend("received a message of " + std::to_string(image.size()) +
                                         " bytes, which is not a CAN frame")};
}

}  // namespace candrive::socketcan_backend
