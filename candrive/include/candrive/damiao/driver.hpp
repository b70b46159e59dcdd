// One Damiao motor on a CAN bus: control frames, enable/disable, feedback
// requests and register access. Holds no state between calls; the
// transport is passed to every operation so one bus serves all motors.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>
#include <variant>

#include "candrive/damiao/error.hpp"
#include "candrive/damiao/mit.hpp"
#include "candrive/damiao/registers.hpp"
#include "candrive/transport.hpp"

namespace candrive::damiao {

struct PosVelCommand {
    float position, velocity;
};
struct VelCommand {
    float velocity;
};
struct ForcePosCommand {
    float position, velocity, current;
};

// One control frame, in one of the motor's four control modes.
class ControlCommand {
public:
    // The motor's CTRL_MODE value for each kind of frame.
    enum class Mode : std::uint8_t { Mit = 1, PosVel = 2, Vel = 3, ForcePos = 4 };

    static ControlCommand Mit(const MitCommand& command) { return ControlCommand(command); }
    static ControlCommand PosVel(float p, float v) { return ControlCommand(PosVelCommand{p, v}); }
    static ControlCommand Vel(float v) { return ControlCommand(VelCommand{v}); }
    static ControlCommand ForcePos(float p, float v, float current) {
        return ControlCommand(ForcePosCommand{p, v, current});
    }

    Mode mode() const;
    // Added to the motor's esc_id to form the frame's identifier.
    std::uint16_t id_offset() const;
    // The frame's 8 data bytes (`limits` scale the MIT fields only).
    std::array<std::uint8_t, 8> pack(const MitLimits& limits) const;

    using Variant = std::variant<MitCommand, PosVelCommand, VelCommand, ForcePosCommand>;
    const Variant& variant() const { return command_; }

private:
    explicit ControlCommand(Variant command) : command_(command) {}

    Variant command_;
};

class Damiao;

// Feedback requests to several motors on one bus, sent back to back; the
// answers travel at the same time (see start_feedback_requests).
struct PendingFeedback {
    std::vector<MitLimits> limits;  // of each motor, in request order
    PendingRequests requests;
};

// Sends a feedback request to each motor, back to back, and returns at once;
// the answers are due within the longest of the motors' time-outs.
PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors);
// The same with a control frame instead of the feedback request for each
// motor whose entry of `commands` (one per motor) holds one: its reply is the
// motor's feedback all the same, so one exchange both commands and reads it.
PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors,
                                        std::span<const std::optional<ControlCommand>> commands);
// Each motor's feedback, in the order of the requests.
std::vector<DamiaoResult<MotorState>> finish_feedback_requests(CanTransport& bus, PendingFeedback&& pending);

class Damiao {
public:
    // Refuses (empty) limits that are negative or NaN.
    static std::optional<Damiao> create(std::uint16_t esc_id, std::uint16_t mst_id,
                                        std::chrono::nanoseconds timeout, MitLimits limits);

    std::uint16_t esc_id() const { return esc_id_; }
    std::uint16_t mst_id() const { return mst_id_; }
    std::chrono::nanoseconds timeout() const { return timeout_; }
    const MitLimits& limits() const { return limits_; }

    // Reads a register, waiting `timeout` for its reply (on mst_id, naming
    // this motor and the register).
    DamiaoResult<RegisterValue> read_register(CanTransport& bus, std::uint8_t id) const;
    // Writes a register; no reply is awaited. Bad ids and types fail before sending.
    DamiaoResult<void> write_register(CanTransport& bus, std::uint8_t id, RegisterValue value) const;
    DamiaoResult<MotorState> request_feedback(CanTransport& bus) const;
    // Sends 8 bytes on identifier `id` (modulo 0x800) and decodes the feedback.
    DamiaoResult<MotorState> cmd_at_arbitration(CanTransport& bus, std::uint16_t id,
                                                const std::array<std::uint8_t, 8>& data) const;
    // Makes CTRL_MODE equal `mode`, writing it (and checking it stuck after a
    // 100 ms pause) only when it differs.
    DamiaoResult<void> ensure_control_mode(CanTransport& bus, std::uint8_t mode) const;
    DamiaoResult<MotorState> enable(CanTransport& bus) const;
    DamiaoResult<MotorState> disable(CanTransport& bus) const;
    DamiaoResult<MotorState> control(CanTransport& bus, const ControlCommand& command) const;

    // The pause between writing CTRL_MODE and reading it back.
    static constexpr std::chrono::milliseconds kModeSettleTime{100};

    // The feedback request frame, and what counts as this motor's feedback.
    CanFrame feedback_request_frame() const;

private:
    // What counts as this motor's feedback, and as its reply to a register read:
    // classic 8-byte frames on mst_id whose content names this motor.
    ReplyPattern feedback_pattern() const;
    ReplyPattern register_reply_pattern(std::uint8_t id) const;

    friend PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors);
    friend PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors,
                                                   std::span<const std::optional<ControlCommand>> commands);
// The same with a control frame instead of the feedback request for each
// motor whose entry of `commands` (one per motor) holds one: its reply is the
// motor's feedback all the same, so one exchange both commands and reads it.
PendingFeedback start_feedback_requests(CanTransport& bus, std::span<const Damiao> motors,
                                        std::span<const std::optional<ControlCommand>> commands);

    Damiao(std::uint16_t esc_id, std::uint16_t mst_id, std::chrono::nanoseconds timeout, MitLimits limits)
        : esc_id_(esc_id), mst_id_(mst_id), timeout_(timeout), limits_(limits) {}

    std::uint16_t esc_id_;
    std::uint16_t mst_id_;
    std::chrono::nanoseconds timeout_;
    MitLimits limits_;
};

}  // namespace candrive::damiao
