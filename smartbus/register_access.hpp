// One register on many servos at once: sync reads that check the reply width
// and decode the raw values, sync writes that encode them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "smartbus/registers.hpp"
#include "smartbus/packet.hpp"
#include "smartbus/feetech_servo.hpp"

namespace smartbus::feetech_servo::detail {

template <class Raw>
Raw decode_raw(const std::vector<std::uint8_t>& bytes) {
    if constexpr (sizeof(Raw) == 1) {
        return static_cast<Raw>(bytes[0]);
    } else {
        return static_cast<Raw>(static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
    }
}

template <class Raw>
std::vector<std::uint8_t> encode_raw(Raw value) {
    if constexpr (sizeof(Raw) == 1) {
        return {static_cast<std::uint8_t>(value)};
    } else {
        const auto word = static_cast<std::uint16_t>(value);
        return {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)};
    }
}

template <class Raw>
Result<std::vector<Raw>> sync_read_register(FeetechProtocolHandler& handler, SerialPort& port, Ids ids,
                                            Register reg) {
    static_assert(sizeof(Raw) == 1 || sizeof(Raw) == 2);
    auto replies = handler.sync_read(port, ids, reg.address, reg.width);
    if (!replies) return common::Err{std::move(replies).error()};
    std::vector<Raw> values;
    values.reserve(replies->size());
    for (std::size_t i = 0; i < replies->size(); ++i) {
        const auto& reply = (*replies)[i];
        if (reply.size() != reg.width)
            return common::Err{Error(CommunicationErrorKind{CommunicationErrorCode::ParsingError}).set_servo_id(ids[i])};
        values.push_back(decode_raw<Raw>(reply));
    }
    return values;
}

template <class Raw>
Result<void> sync_write_register(FeetechProtocolHandler& handler, SerialPort& port, Ids ids, Register reg,
                                 std::span<const Raw> values) {
    static_assert(sizeof(Raw) == 1 || sizeof(Raw) == 2);
    if (values.size() != ids.size()) {
        return common::Err{invalid_input(std::to_string(values.size()) + " register values for " +
                                         std::to_string(ids.size()) + " servo ids")};
    }
    std::vector<std::vector<std::uint8_t>> data;
    data.reserve(values.size());
    for (Raw value : values) data.push_back(encode_raw(value));
    return handler.sync_write(port, ids, reg.address, data);
}

// Builds and encodes the packet a sync write of `reg` to `ids` would send,
// and returns the refusal it meets, if any; nothing is sent.
inline Result<void> check_sync_write_register(Ids ids, Register reg) {
    auto packet = PacketFeetech::sync_write_packet(
        ids, reg.address, std::vector<std::vector<std::uint8_t>>(ids.size(), std::vector<std::uint8_t>(reg.width)));
    if (!packet) return common::Err{std::move(packet).error()};
    auto bytes = packet->to_bytes();
    if (!bytes) return common::Err{std::move(bytes).error()};
    return {};
}

// Each of `values` through `convert`, in order: raw register values to the
// units callers use, and back.
template <class Out, class In, class Convert>
std::vector<Out> map_values(const In& values, Convert convert) {
    std::vector<Out> out;
    out.reserve(values.size());
    for (auto&& value : values) out.push_back(convert(value));
    return out;
}

// A raw sync read's values through `convert`, or its error.
template <class Out, class Raw, class Convert>
Result<std::vector<Out>> map_read(Result<std::vector<Raw>> raw, Convert convert) {
    if (!raw) return common::Err{std::move(raw).error()};
    return map_values<Out>(*raw, convert);
}

inline std::vector<std::uint8_t> bytes_from_flags(const std::vector<bool>& flags) {
    return map_values<std::uint8_t>(flags, [](bool flag) { return static_cast<std::uint8_t>(flag ? 1 : 0); });
}

}  // namespace smartbus::feetech_servo::detail
