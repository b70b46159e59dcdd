#include "candrive/damiao/driver.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <thread>


namespace candrive::damiao {
namespace {

// Identifier of the frames addressed to the motor's management interface.
constexpr std::uint16_t kManagementId = 0x7FF;
constexpr std::uint8_t kFeedbackRequest = 0xCC;
constexpr std::uint8_t kRegisterRead = 0x33;
constexpr std::uint8_t kRegisterWrite = 0x55;

constexpr std::array<std::uint8_t, 8> kEnableData{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC};
constexpr std::array<std::uint8_t, 8> kDisableData{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD};

CanId standard_id(std::uint32_t id) { return CanId::standard(id % 0x800); }

CanFrame classic_frame(std::uint32_t id, const std::array<std::uint8_t, 8>& data) {
    return CanFrame{std::vector<std::uint8_t>(data.begin(), data.end()), standard_id(id), false, false};
}

void put_le32(std::array<std::uint8_t, 8>& out, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) out[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_le16(std::array<std::uint8_t, 8>& out, std::size_t at, std::uint16_t value) {
    out[at] = static_cast<std::uint8_t>(value);
    out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::uint32_t get_le32(std::span<const std::uint8_t> in, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{in[at + i]} << (8 * i);
    return value;
}

// Force-position fields: x clamped to [0, hi], scaled, truncated, capped at
// 10000; NaN gives 0.
std::uint16_t force_pos_field(float x, float hi, float scale) {
    if (!(x > 0.0F)) return 0;
    const float scaled = std::fmin(x, hi) * scale;
    return scaled >= 10000.0F ? std::uint16_t{10000} : static_cast<std::uint16_t>(scaled);
}

// A motor's answers come as classic 8-byte frames on its feedback identifier.
// Another node's frame can share that identifier (the neck's feedback ids equal
// its command ids), so the content must name the motor too.
bool from_motor(const CanFrame& frame) { return !frame.fd && frame.data.size() == 8; }

// The motor's answer to a register read: bytes 0-1 its esc_id, byte 2 the read code.
bool is_register_reply(const CanFrame& frame, std::uint16_t esc_id) {
    return frame.data[0] == static_cast<std::uint8_t>(esc_id) &&
           frame.data[1] == static_cast<std::uint8_t>(esc_id >> 8) && frame.data[2] == kRegisterRead;
}

bool is_valid_limit(float limit) { return !std::isnan(limit) && limit >= 0.0F; }

}  // namespace

ControlCommand::Mode ControlCommand::mode() const {
    return static_cast<Mode>(command_.index() + 1);
}

std::uint16_t ControlCommand::id_offset() const {
    return static_cast<std::uint16_t>(command_.index() * 0x100);
}

std::array<std::uint8_t, 8> ControlCommand::pack(const MitLimits& limits) const {
    std::array<std::uint8_t, 8> data{};
    if (const auto* mit = std::get_if<MitCommand>(&command_)) return encode(limits, *mit);
    if (const auto* pv = std::get_if<PosVelCommand>(&command_)) {
        put_le32(data, 0, std::bit_cast<std::uint32_t>(pv->position));
        put_le32(data, 4, std::bit_cast<std::uint32_t>(pv->velocity));
    } else if (const auto* vel = std::get_if<VelCommand>(&command_)) {
        put_le32(data, 0, std::bit_cast<std::uint32_t>(vel->velocity));
    } else if (const auto* fp = std::get_if<ForcePosCommand>(&command_)) {
        put_le32(data, 0, std::bit_cast<std::uint32_t>(fp->position));
        put_le16(data, 4, force_pos_field(fp->velocity, 100.0F, 100.0F));
        put_le16(data, 6, force_pos_field(fp->current, 1.0F, 10000.0F));
    }
    return data;
}

std::optional<Damiao> Damiao::create(std::uint16_t esc_id, std::uint16_t mst_id, std::chrono::nanoseconds timeout,
                                     MitLimits limits) {
    for (float limit : {limits.pmax, limits.vmax, limits.kp_max, limits.kd_max, limits.tmax}) {
        if (!is_valid_limit(limit)) return std::nullopt;
    }
    return Damiao(esc_id, mst_id, timeout, limits);
}

ReplyPattern Damiao::feedback_pattern() const {
    const std::uint16_t esc_id = esc_id_;
    // A register reply that comes late also names the motor in byte 0's low
    // bits. Read as feedback it would be a disabled motor at position code
    // 0x0033 (esc_ids below 0x100, as the neck's): -12.48 rad with pmax 12.5,
    // far beyond any neck joint's range. So such a frame is the register reply.
    return ReplyPattern{standard_id(mst_id_), [esc_id](const CanFrame& frame) {
                            return from_motor(frame) && (frame.data[0] & 0x0F) == (esc_id & 0x0F) &&
                                   !is_register_reply(frame, esc_id);
                        }};
}

ReplyPattern Damiao::register_reply_pattern(std::uint8_t id) const {
    const std::uint16_t esc_id = esc_id_;
    return ReplyPattern{standard_id(mst_id_), [esc_id, id](const CanFrame& frame) {
                            return from_motor(frame) && is_register_reply(frame, esc_id) && frame.data[3] == id;
                        }};
}

DamiaoResult<MotorState> Damiao::cmd_at_arbitration(CanTransport& bus, std::uint16_t id,
                                                    const std::array<std::uint8_t, 8>& data) const {
    CanResult<CanFrame> reply = bus.request(classic_frame(id, data), feedback_pattern(), timeout_);
    if (!reply.ok()) return common::Err{Error::transport(std::move(reply).error())};
    return decode_state(limits_, reply.value().data);
}

DamiaoResult<MotorState> Damiao::enable(CanTransport& bus) const { return cmd_at_arbitration(bus, esc_id_, kEnableData); }

DamiaoResult<MotorState> Damiao::disable(CanTransport& bus) const {
    return cmd_at_arbitration(bus, esc_id_, kDisableData);
}

DamiaoResult<MotorState> Damiao::control(CanTransport& bus, const ControlCommand& command) const {
    return cmd_at_arbitration(bus, static_cast<std::uint16_t>(esc_id_ + command.id_offset()), command.pack(limits_));
}

CanFrame Damiao::feedback_request_frame() const {
    return classic_frame(kManagementId, {static_cast<std::uint8_t>(esc_id_), static_cast<std::uint8_t>(esc_id_ >> 8),
                                         kFeedbackRequest, 0, 0, 0, 0, 0});
}

DamiaoResult<MotorState> Damiao::request_feedback(CanTransport& bus) const {
    CanResult<CanFrame> reply = bus.request(feedback_request_frame(), feedback_pattern(), timeout_);
    if (!reply.ok()) return common::Err{Error::transport(std::move(reply).error())};
    return decode_state(limits_, reply.value().data);
}

PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors) {
    return start_feedback_requests(bus, motors, {});
}

PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors,
                                        std::span<const std::optional<ControlCommand>> commands) {
    std::vector<CanFrame> frames;
    std::vector<ReplyPattern> replies;
    std::vector<MitLimits> limits;
    std::chrono::nanoseconds timeout{};
    for (std::size_t i = 0; i < motors.size(); ++i) {
        const Damiao& motor = motors[i];
        if (i < commands.size() && commands[i])
            frames.push_back(classic_frame(static_cast<std::uint16_t>(motor.esc_id_ + commands[i]->id_offset()),
                                           commands[i]->pack(motor.limits_)));
        else
            frames.push_back(motor.feedback_request_frame());
        replies.push_back(motor.feedback_pattern());
        limits.push_back(motor.limits());
        timeout = std::max(timeout, motor.timeout());
    }
    return PendingFeedback{std::move(limits), bus.start_requests(frames, std::move(replies), timeout)};
}

std::vector<DamiaoResult<MotorState>> finish_feedback_requests(CanTransport& bus, PendingFeedback&& pending) {
    std::vector<CanResult<CanFrame>> replies = bus.finish_requests(std::move(pending.requests));
    std::vector<DamiaoResult<MotorState>> states;
    states.reserve(replies.size());
    for (std::size_t i = 0; i < replies.size(); ++i) {
        if (!replies[i].ok())
            states.push_back(common::Err{Error::transport(std::move(replies[i]).error())});
        else
            states.push_back(decode_state(pending.limits[i], replies[i].value().data));
    }
    return states;
}

DamiaoResult<RegisterValue> Damiao::read_register(CanTransport& bus, std::uint8_t id) const {
    const RegisterInfo* info = lookup(id);
    if (info == nullptr) return common::Err{Error::unknown_register(id)};

    const std::array<std::uint8_t, 8> data{static_cast<std::uint8_t>(esc_id_), static_cast<std::uint8_t>(esc_id_ >> 8),
                                           kRegisterRead, id, 0, 0, 0, 0};
    CanResult<CanFrame> reply = bus.request(classic_frame(kManagementId, data), register_reply_pattern(id), timeout_);
    if (!reply.ok()) return common::Err{Error::transport(std::move(reply).error())};
    return RegisterValue::from_bits(info->kind, get_le32(reply.value().data, 4));
}

DamiaoResult<void> Damiao::write_register(CanTransport& bus, std::uint8_t id, RegisterValue value) const {
    const RegisterInfo* info = lookup(id);
    if (info == nullptr) return common::Err{Error::unknown_register(id)};
    if (!info->writable) return common::Err{Error::read_only_register(id)};
    if (value.type != info->kind) return common::Err{Error::type_mismatch(id, info->kind, value.type)};

    std::array<std::uint8_t, 8> data{static_cast<std::uint8_t>(esc_id_), static_cast<std::uint8_t>(esc_id_ >> 8),
                                     kRegisterWrite, id, 0, 0, 0, 0};
    put_le32(data, 4, value.bits());
    CanResult<void> sent = bus.send(classic_frame(kManagementId, data));
    if (!sent.ok()) return common::Err{Error::transport(std::move(sent).error())};
    return {};
}

DamiaoResult<void> Damiao::ensure_control_mode(CanTransport& bus, std::uint8_t mode) const {
    // The mode the motor reports, checked to be an integer.
    auto read_mode = [&]() -> DamiaoResult<std::uint32_t> {
        DamiaoResult<RegisterValue> value = read_register(bus, kCtrlModeRegister);
        if (!value.ok()) return common::Err{std::move(value).error()};
        if (value.value().type != RegisterType::Uint32) {
            return common::Err{Error::type_mismatch(kCtrlModeRegister, RegisterType::Uint32, value.value().type)};
        }
        return value.value().u;
    };

    DamiaoResult<std::uint32_t> current = read_mode();
    if (!current.ok()) return common::Err{std::move(current).error()};
    if (current.value() == mode) return {};

    QMC_TRY(write_register(bus, kCtrlModeRegister, RegisterValue::from_uint32(mode)));
    std::this_thread::sleep_for(kModeSettleTime);

    DamiaoResult<std::uint32_t> reported = read_mode();
    if (!reported.ok()) return common::Err{std::move(reported).error()};
    if (reported.value() != mode) {
        return common::Err{Error::control_mode_mismatch(mode, static_cast<std::uint8_t>(reported.value() & 0xFF))};
    }
    return {};
}

}  // namespace candrive::damiao
