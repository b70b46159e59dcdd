#include "feetech_packet.hpp"

#include <algorithm>

namespace torso_sim::feetech {

namespace {
constexpr std::size_t kHeaderSize = 4;   // FF FF id len
constexpr std::uint8_t kHeaderByte = 0xFF;
}  // namespace

std::uint8_t checksum(std::span<const std::uint8_t> id_to_last_param) {
    unsigned sum = 0;
    for (std::uint8_t b : id_to_last_param) sum += b;
    return static_cast<std::uint8_t>(~sum & 0xFFu);
}

std::vector<std::uint8_t> status_packet(std::uint8_t id, std::uint8_t error,
                                        std::span<const std::uint8_t> params) {
    std::vector<std::uint8_t> out{kHeaderByte, kHeaderByte, id,
                                  static_cast<std::uint8_t>(params.size() + 2), error};
    out.insert(out.end(), params.begin(), params.end());
    out.push_back(checksum(std::span(out).subspan(2)));
    return out;
}

void PacketSplitter::feed(std::span<const std::uint8_t> bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void PacketSplitter::drop_front_to_garbage(std::size_t n) {
    garbage_.insert(garbage_.end(), buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
}

std::optional<PacketSplitter::Item> PacketSplitter::next(bool stale) {
    auto flush_garbage = [this]() -> std::optional<Item> {
        if (garbage_.empty()) return std::nullopt;
        Item item{false, std::move(garbage_), {}};
        garbage_.clear();
        return item;
    };

    for (;;) {
        // Skip to the next FF FF whose third byte is not FF (an id is never FF).
        std::size_t start = 0;
        while (start < buffer_.size()) {
            if (buffer_[start] != kHeaderByte) { ++start; continue; }
            if (start + 1 < buffer_.size() && buffer_[start + 1] != kHeaderByte) { start += 2; continue; }
            if (start + 2 < buffer_.size() && buffer_[start + 2] == kHeaderByte) { ++start; continue; }
            break;
        }
        drop_front_to_garbage(start);
        if (buffer_.empty()) return flush_garbage();

        if (buffer_.size() >= kHeaderSize) {
            const std::size_t length = buffer_[3];
            if (length < 2) {   // not even room for the instruction byte
                drop_front_to_garbage(1);
                continue;
            }
            const std::size_t total = length + kHeaderSize;
            if (buffer_.size() >= total) {
                const auto body = std::span(buffer_).subspan(2, total - 3);
                if (checksum(body) != buffer_[total - 1]) {
                    drop_front_to_garbage(1);
                    continue;
                }
                if (!garbage_.empty()) return flush_garbage();   // what came before goes first
                Item item{true, {buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total)}, {}};
                item.packet.id = buffer_[2];
                item.packet.instruction = buffer_[4];
                item.packet.params.assign(buffer_.begin() + 5, buffer_.begin() + static_cast<std::ptrdiff_t>(total - 1));
                buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
                return item;
            }
        }
        // Only the beginning of a packet so far; noise before it waits with
        // it, so that one stretch of noise stays one chunk.
        if (stale) {
            drop_front_to_garbage(1);
            continue;
        }
        return std::nullopt;
    }
}

}  // namespace torso_sim::feetech
