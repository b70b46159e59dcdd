// The seven servos on the half-duplex line, the supply they share and the
// faults injected into their replies.
#pragma once

#include "feetech_packet.hpp"
#include "servo.hpp"
#include "set_point_history.hpp"
#include "torso_sim/torso_sim.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace torso_sim {

// The torso's servos: ids 1-4 SM40BL (arms), 5-7 STS3025BL (nose).
inline constexpr std::uint8_t kFirstServoId = 1;
inline constexpr std::uint8_t kServoCount = 7;
inline constexpr std::uint8_t kLastArmId = 4;

// Supply voltage, fixed or ramping linearly from one value to another.
struct VoltageSupply {
    std::uint8_t from = 120, to = 120;
    double start = 0.0, duration = 0.0;   // seconds
    std::uint8_t at(double now) const;
};

struct ServoFaults {
    bool silent = false;
    bool corrupt_checksum = false;
    std::optional<std::uint8_t> reply_as;
    std::size_t garbage_bytes = 0;
    std::chrono::microseconds reply_delay{0};   // on top of the bus-wide delay
};

class ServoBus {
public:
    ServoBus();

    // Applies one instruction packet received at `now` and returns the bytes
    // the servos put on the line in answer (empty if none answer).
    std::vector<std::uint8_t> handle(const feetech::InstructionPacket& packet, double now);

    // The servo with this id brought up to `now`, or null if there is none.
    Servo* servo(std::uint8_t id, double now);
    ServoFaults* faults(std::uint8_t id);
    ServoEnvironment environment(double now) const;

    VoltageSupply voltage;
    double speed_steps_per_s = 0.0;
    double reboot_silence = 0.020;   // seconds
    std::chrono::microseconds reply_delay{0};

    // How long after receiving `packet` its answer starts: the bus-wide delay
    // plus the longest delay of the servos it addresses (the others answer
    // after them on the shared line).
    std::chrono::microseconds reply_delay_for(const feetech::InstructionPacket& packet) const;

    std::uint32_t reboot_count(std::uint8_t id) const;
    void reset_faults();

    // The goals servo `id` took from the bus (empty for an id not on it).
    std::vector<ServoGoalEntry> goal_history(std::uint8_t id) const;
    void clear_goal_history();

private:
    struct Slot {
        Servo servo;
        ServoFaults faults;
        double silent_until = 0.0;   // restarting after a reboot
        std::uint32_t reboots = 0;
        SetPointHistory<ServoGoalEntry> goals;
    };

    Slot* slot(std::uint8_t id);
    bool answers(const Slot& s, double now) const;
    // A write from the bus, noted in the goal history when it covers the goal register.
    void write(Slot& s, std::uint8_t address, std::span<const std::uint8_t> data, double now);
    void reply(const Slot& s, std::span<const std::uint8_t> params, double now, std::vector<std::uint8_t>& out) const;
    std::vector<std::uint8_t> read_registers(const Slot& s, std::uint8_t address, std::size_t count,
                                             double now) const;

    std::vector<Slot> slots_;
};

}  // namespace torso_sim
