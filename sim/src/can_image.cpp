#include "can_image.hpp"

#include <algorithm>
#include <cstring>

namespace torso_sim::can {

namespace {
constexpr std::uint32_t kExtendedFlag = 0x80000000u;
constexpr std::uint32_t kRemoteFlag = 0x40000000u;
constexpr std::uint32_t kErrorFlag = 0x20000000u;
constexpr std::uint32_t kExtendedMask = 0x1FFFFFFFu;
constexpr std::uint32_t kStandardMask = 0x7FFu;
constexpr std::size_t kLengthOffset = 4;
constexpr std::size_t kFlagsOffset = 5;
constexpr std::size_t kDataOffset = 8;
constexpr std::size_t kClassicMaxData = 8;
constexpr std::size_t kFdMaxData = 64;
constexpr std::uint8_t kFdFlagBrs = 0x01;
}  // namespace

std::optional<Frame> parse_image(std::span<const std::uint8_t> image) {
    if (image.size() != kClassicImageSize && image.size() != kFdImageSize) return std::nullopt;
    Frame f;
    f.fd = image.size() == kFdImageSize;
    std::uint32_t word = 0;
    std::memcpy(&word, image.data(), sizeof word);
    f.extended = (word & kExtendedFlag) != 0;
    f.remote = (word & kRemoteFlag) != 0;
    f.error = (word & kErrorFlag) != 0;
    f.id = word & (f.extended ? kExtendedMask : kStandardMask);
    const std::size_t length = image[kLengthOffset];
    if (length > (f.fd ? kFdMaxData : kClassicMaxData)) return std::nullopt;
    f.brs = f.fd && (image[kFlagsOffset] & kFdFlagBrs) != 0;
    f.data.assign(image.begin() + kDataOffset, image.begin() + static_cast<std::ptrdiff_t>(kDataOffset + length));
    return f;
}

std::vector<std::uint8_t> frame_image(const Frame& frame) {
    const std::size_t max_data = frame.fd ? kFdMaxData : kClassicMaxData;
    std::size_t length = frame.data.size() < max_data ? frame.data.size() : max_data;
    if (frame.fd && length > 8) {
        constexpr std::size_t kFdLengths[] = {12, 16, 20, 24, 32, 48, 64};
        for (std::size_t valid : kFdLengths) {
            if (length <= valid) {
                length = valid;
                break;
            }
        }
    }
    std::vector<std::uint8_t> image(frame.fd ? kFdImageSize : kClassicImageSize, 0);
    const std::uint32_t word = frame.extended ? ((frame.id & kExtendedMask) | kExtendedFlag) : (frame.id & kStandardMask);
    std::memcpy(image.data(), &word, sizeof word);
    image[kLengthOffset] = static_cast<std::uint8_t>(length);
    if (frame.fd) image[kFlagsOffset] = static_cast<std::uint8_t>(0x04 | (frame.brs ? kFdFlagBrs : 0));
    std::memcpy(image.data() + kDataOffset, frame.data.data(), std::min(length, frame.data.size()));
    return image;
}

std::vector<std::uint8_t> classic_image(std::uint32_t standard_id, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> image(kClassicImageSize, 0);
    const std::uint32_t word = standard_id & kStandardMask;
    std::memcpy(image.data(), &word, sizeof word);
    const std::size_t length = data.size() < kClassicMaxData ? data.size() : kClassicMaxData;
    image[kLengthOffset] = static_cast<std::uint8_t>(length);
    std::memcpy(image.data() + kDataOffset, data.data(), length);
    return image;
}

}  // namespace torso_sim::can
