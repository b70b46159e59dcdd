#include "servo_bus.hpp"

#include <algorithm>

namespace torso_sim {

namespace ins = feetech::instruction;

std::uint8_t VoltageSupply::at(double now) const {
    if (duration <= 0.0 || now >= start + duration) return to;
    const double fraction = std::clamp((now - start) / duration, 0.0, 1.0);
    const double value = from + (static_cast<double>(to) - from) * fraction;
    return static_cast<std::uint8_t>(std::clamp(value + 0.5, 0.0, 255.0));
}

ServoBus::ServoBus() {
    for (std::uint8_t i = 0; i < kServoCount; ++i) {
        const auto id = static_cast<std::uint8_t>(kFirstServoId + i);
        slots_.push_back(Slot{Servo(id, id <= kLastArmId ? ServoModel::SM40BL : ServoModel::STS3025BL), {}, 0.0, 0, {}});
    }
}

ServoBus::Slot* ServoBus::slot(std::uint8_t id) {
    if (id < kFirstServoId || id >= kFirstServoId + kServoCount) return nullptr;
    return &slots_[id - kFirstServoId];
}

ServoEnvironment ServoBus::environment(double now) const {
    return ServoEnvironment{now, voltage.at(now), speed_steps_per_s};
}

Servo* ServoBus::servo(std::uint8_t id, double now) {
    Slot* s = slot(id);
    if (!s) return nullptr;
    s->servo.advance(environment(now));
    return &s->servo;
}

ServoFaults* ServoBus::faults(std::uint8_t id) {
    Slot* s = slot(id);
    return s ? &s->faults : nullptr;
}

std::uint32_t ServoBus::reboot_count(std::uint8_t id) const {
    if (id < kFirstServoId || id >= kFirstServoId + kServoCount) return 0;
    return slots_[id - kFirstServoId].reboots;
}

void ServoBus::reset_faults() {
    for (Slot& s : slots_) {
        s.faults = ServoFaults{};
        s.servo.set_temperature(kServoIdleTemperature);
        s.servo.set_fault_bits(0);
    }
    voltage = VoltageSupply{};
    speed_steps_per_s = 0.0;
    reply_delay = std::chrono::microseconds{0};
}

std::vector<ServoGoalEntry> ServoBus::goal_history(std::uint8_t id) const {
    if (id < kFirstServoId || id >= kFirstServoId + kServoCount) return {};
    return slots_[id - kFirstServoId].goals.entries();
}

void ServoBus::clear_goal_history() {
    for (Slot& s : slots_) s.goals.clear();
}

void ServoBus::write(Slot& s, std::uint8_t address, std::span<const std::uint8_t> data, double now) {
    s.servo.write(address, data, true);
    constexpr std::size_t kGoalFirst = servo_register::kGoalPosition, kGoalLast = kGoalFirst + 1;
    if (data.empty() || address > kGoalLast || address + data.size() <= kGoalFirst) return;
    const std::int16_t steps = s.servo.goal_steps();
    s.goals.add(ServoGoalEntry{now, steps_to_radians(steps), steps});
}

bool ServoBus::answers(const Slot& s, double now) const {
    return !s.faults.silent && now >= s.silent_until;
}

void ServoBus::reply(const Slot& s, std::span<const std::uint8_t> params, double now,
                     std::vector<std::uint8_t>& out) const {
    // Noise on the line before the packet: never 0xFF, so it cannot pass for a header.
    for (std::size_t i = 0; i < s.faults.garbage_bytes; ++i) out.push_back(static_cast<std::uint8_t>((i % 15) * 0x11));
    // The error byte carries the servo's fault bits, as its status register does.
    auto packet = feetech::status_packet(s.faults.reply_as.value_or(s.servo.id()), s.servo.status_bits(environment(now)),
                                         params);
    if (s.faults.corrupt_checksum) packet.back() = static_cast<std::uint8_t>(packet.back() + 1);
    out.insert(out.end(), packet.begin(), packet.end());
}

std::vector<std::uint8_t> ServoBus::read_registers(const Slot& s, std::uint8_t address, std::size_t count,
                                                   double now) const {
    const ServoEnvironment env = environment(now);
    std::vector<std::uint8_t> data;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t a = address + i;
        data.push_back(a <= 255 ? s.servo.read(static_cast<std::uint8_t>(a), env) : 0);
    }
    return data;
}

std::chrono::microseconds ServoBus::reply_delay_for(const feetech::InstructionPacket& packet) const {
    std::chrono::microseconds longest{0};
    auto consider = [&](std::uint8_t id) {
        for (const Slot& s : slots_)
            if (s.servo.id() == id) longest = std::max(longest, s.faults.reply_delay);
    };
    if (packet.instruction == ins::kSyncRead) {
        for (std::size_t i = 2; i < packet.params.size(); ++i) consider(packet.params[i]);
    } else {
        consider(packet.id);
    }
    return reply_delay + longest;
}

std::vector<std::uint8_t> ServoBus::handle(const feetech::InstructionPacket& packet, double now) {
    const ServoEnvironment env = environment(now);
    for (Slot& s : slots_) s.servo.advance(env);

    std::vector<std::uint8_t> out;
    const auto& p = packet.params;
    const bool broadcast = packet.id == feetech::kBroadcastId;
    Slot* target = slot(packet.id);
    if (target && !answers(*target, now)) target = nullptr;

    switch (packet.instruction) {
        case ins::kPing:
            if (target) reply(*target, {}, now, out);
            break;
        case ins::kRead:
            if (target && p.size() == 2) reply(*target, read_registers(*target, p[0], p[1], now), now, out);
            break;
        case ins::kWrite:
            if (p.empty()) break;
            if (target) {
                write(*target, p[0], std::span(p).subspan(1), now);
                reply(*target, {}, now, out);
            } else if (broadcast) {
                for (Slot& s : slots_)
                    if (answers(s, now)) write(s, p[0], std::span(p).subspan(1), now);
            }
            break;
        case ins::kReboot:
            if (target) {
                reply(*target, {}, now, out);
                target->servo.reboot();
                target->silent_until = now + reboot_silence;
                ++target->reboots;
            }
            break;
        case ins::kSyncRead:
            if (!broadcast || p.size() < 2) break;
            // Each listed servo answers in turn; a silent one leaves its slot empty.
            for (std::size_t i = 2; i < p.size(); ++i) {
                Slot* s = slot(p[i]);
                if (s && answers(*s, now)) reply(*s, read_registers(*s, p[0], p[1], now), now, out);
            }
            break;
        case ins::kSyncWrite: {
            if (!broadcast || p.size() < 2) break;
            const std::size_t width = p[1];
            for (std::size_t i = 2; i + 1 + width <= p.size(); i += 1 + width) {
                Slot* s = slot(p[i]);
                if (s && answers(*s, now)) write(*s, p[0], std::span(p).subspan(i + 1, width), now);
            }
            break;
        }
        default:
            break;   // instructions these servos do not implement are ignored
    }
    for (Slot& s : slots_) s.servo.advance(env);   // a new goal at zero speed is reached at once
    return out;
}

}  // namespace torso_sim
