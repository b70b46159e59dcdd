#include "neck_bus.hpp"

#include <algorithm>

namespace torso_sim {

namespace {

struct MotorRow {
    std::uint16_t can_id;
    float vmax, tmax;
};
constexpr MotorRow kNeckMotors[kNeckMotorCount] = {{1, 30.0f, 10.0f}, {2, 10.0f, 28.0f}, {3, 10.0f, 28.0f}};

// Identifiers: control frames at esc_id + mode offset; configuration frames on 0x7FF.
constexpr std::uint32_t kModeOffsetStep = 0x100;
constexpr std::uint32_t kConfigId = 0x7FF;
constexpr std::size_t kFrameLength = 8;

// Configuration commands (byte 2 of a 0x7FF frame).
constexpr std::uint8_t kRequestFeedback = 0xCC;
constexpr std::uint8_t kReadRegister = 0x33;
constexpr std::uint8_t kWriteRegister = 0x55;

// Special frames on esc_id: FF x7 followed by the command.
constexpr std::uint8_t kEnable = 0xFC;
constexpr std::uint8_t kDisable = 0xFD;
constexpr std::uint8_t kSetZero = 0xFE;
constexpr std::uint8_t kClearError = 0xFB;

}  // namespace

NeckBus::NeckBus(std::uint32_t ctrl_mode, const std::array<double, 3>& positions) {
    for (int i = 0; i < kNeckMotorCount; ++i)
        motors_.emplace_back(kNeckMotors[i].can_id, kNeckMotors[i].vmax, kNeckMotors[i].tmax, ctrl_mode,
                             positions[static_cast<std::size_t>(i)]);
}

NeckMotor* NeckBus::motor(int index, double now) {
    if (index < 0 || index >= kNeckMotorCount) return nullptr;
    NeckMotor& m = motors_[static_cast<std::size_t>(index)];
    m.advance(now, spring_damper);
    return &m;
}

void NeckBus::reset_faults() {
    silent.fill(false);
    spring_damper = false;
    mode_write_sticks = true;
    reply_delay = std::chrono::microseconds{0};
    motor_reply_delay.fill(std::chrono::microseconds{0});
    answered_by.fill(-1);
    register_reply_as.fill(-1);
    for (NeckMotor& m : motors_) {
        m.set_temperatures(kNeckIdleMosTemperature, kNeckIdleRotorTemperature);
        m.set_supply_voltage(kNeckSupplyVoltage);
        m.set_fault_code(0);
    }
}

NeckMotor& NeckBus::answering(int index) {
    const auto slot = static_cast<std::size_t>(index);
    answer_delay_ = reply_delay + motor_reply_delay[slot];
    const int other = answered_by[slot];
    return motors_[static_cast<std::size_t>(other >= 0 && other < kNeckMotorCount ? other : index)];
}

std::vector<NeckCommandEntry> NeckBus::command_history(int index) const {
    if (index < 0 || index >= kNeckMotorCount) return {};
    return commands_[static_cast<std::size_t>(index)].entries();
}

void NeckBus::clear_command_history() {
    for (auto& history : commands_) history.clear();
}

int NeckBus::index_of_esc_id(std::uint32_t esc_id) const {
    for (int i = 0; i < kNeckMotorCount; ++i)
        if (motors_[static_cast<std::size_t>(i)].esc_id() == esc_id && !silent[static_cast<std::size_t>(i)]) return i;
    return -1;
}

std::vector<std::vector<std::uint8_t>> NeckBus::handle(const can::Frame& frame, double now) {
    for (NeckMotor& m : motors_) m.advance(now, spring_damper);
    answer_delay_ = reply_delay;
    std::vector<std::vector<std::uint8_t>> out;
    // The motors speak classic CAN with standard identifiers and 8-byte data frames.
    if (frame.fd || frame.extended || frame.remote || frame.error) return out;
    if (frame.id == kConfigId) {
        broadcast_frame(frame.data, out);
        return out;
    }
    if (frame.data.size() != kFrameLength) return out;
    const std::span<const std::uint8_t, 8> data(frame.data.data(), kFrameLength);
    for (std::uint32_t offset = 0; offset < 4 * kModeOffsetStep; offset += kModeOffsetStep) {
        if (frame.id < offset) break;
        const int index = index_of_esc_id(frame.id - offset);
        if (index >= 0) {
            command_frame(index, offset, data, now, out);
            break;
        }
    }
    return out;
}

void NeckBus::command_frame(int index, std::uint32_t offset, std::span<const std::uint8_t, 8> data, double now,
                            std::vector<std::vector<std::uint8_t>>& out) {
    NeckMotor& m = motors_[static_cast<std::size_t>(index)];
    const bool special = offset == 0 && std::all_of(data.begin(), data.begin() + 7, [](std::uint8_t b) { return b == 0xFF; });
    if (special && data[7] == kEnable) {
        m.enable();
    } else if (special && data[7] == kDisable) {
        m.disable();
    } else if (special && data[7] == kSetZero) {
        m.set_zero();
    } else if (special && data[7] == kClearError) {
        // no faults to clear
    } else {
        const auto mode = static_cast<ControlMode>(offset / kModeOffsetStep + 1);
        if (const auto sp = m.control(mode, data, spring_damper))
            commands_[static_cast<std::size_t>(index)].add(
                NeckCommandEntry{now, sp->position, sp->velocity, sp->kp, sp->kd, sp->torque});
    }
    const NeckMotor& answer = answering(index);
    out.push_back(can::classic_image(answer.mst_id(), answer.feedback()));
}

void NeckBus::broadcast_frame(std::span<const std::uint8_t> data, std::vector<std::vector<std::uint8_t>>& out) {
    if (data.size() < 3) return;
    const int index = index_of_esc_id(static_cast<std::uint32_t>(data[0] | (data[1] << 8)));
    if (index < 0) return;
    NeckMotor& m = motors_[static_cast<std::size_t>(index)];
    const std::uint8_t command = data[2];
    if (command == kRequestFeedback) {
        const NeckMotor& answer = answering(index);
        out.push_back(can::classic_image(answer.mst_id(), answer.feedback()));
        return;
    }
    if (data.size() < 4) return;
    const std::uint8_t reg = data[3];
    if (command == kReadRegister) {
        const NeckMotor& answer = answering(index);
        const int named = register_reply_as[static_cast<std::size_t>(index)];
        const auto reply_reg = named >= 0 ? static_cast<std::uint8_t>(named) : reg;
        const auto value = answer.read_register(reg);
        if (!value) return;
        const std::uint8_t reply[8] = {static_cast<std::uint8_t>(answer.esc_id() & 0xFF),
                                       static_cast<std::uint8_t>(answer.esc_id() >> 8), kReadRegister, reply_reg,
                                       static_cast<std::uint8_t>(*value & 0xFF), static_cast<std::uint8_t>((*value >> 8) & 0xFF),
                                       static_cast<std::uint8_t>((*value >> 16) & 0xFF), static_cast<std::uint8_t>(*value >> 24)};
        out.push_back(can::classic_image(answer.mst_id(), reply));
    } else if (command == kWriteRegister && data.size() == kFrameLength) {
        const std::uint32_t value = static_cast<std::uint32_t>(data[4]) | (static_cast<std::uint32_t>(data[5]) << 8) |
                                    (static_cast<std::uint32_t>(data[6]) << 16) | (static_cast<std::uint32_t>(data[7]) << 24);
        if (!m.write_register(reg, value, mode_write_sticks)) return;   // read-only: ignored silently
        out.push_back(can::classic_image(m.mst_id(), data));
    }
}

}  // namespace torso_sim
