// The three neck motors on the CAN bus: which frames they listen to, what
// they answer, and the faults injected into them.
#pragma once

#include "can_image.hpp"
#include "neck_motor.hpp"
#include "set_point_history.hpp"
#include "torso_sim/torso_sim.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace torso_sim {

// Neck motors: CAN ids 1-3 (yaw, pitch, roll) and their velocity and torque ranges.
inline constexpr int kNeckMotorCount = 3;

class NeckBus {
public:
    NeckBus(std::uint32_t ctrl_mode, const std::array<double, 3>& positions);

    // Lets the motors see one frame received at `now`; returns the classic
    // frame images they send in answer.
    std::vector<std::vector<std::uint8_t>> handle(const can::Frame& frame, double now);
    // How long after the frame last handled its answer goes out.
    std::chrono::microseconds answer_delay() const { return answer_delay_; }

    // The motor brought up to `now`, or null for an index outside 0..2.
    NeckMotor* motor(int index, double now);

    std::array<bool, kNeckMotorCount> silent{};
    bool spring_damper = false;
    bool mode_write_sticks = true;
    std::chrono::microseconds reply_delay{0};
    // Faults of one motor (index 0..2): a delay on top of reply_delay; the
    // motor whose state and identity answer in its place (-1: itself); the
    // register its register replies name instead of the one asked (-1: that one).
    std::array<std::chrono::microseconds, kNeckMotorCount> motor_reply_delay{};
    std::array<int, kNeckMotorCount> answered_by{-1, -1, -1};
    std::array<int, kNeckMotorCount> register_reply_as{-1, -1, -1};

    void reset_faults();

    // The MIT commands motor `index` acted on (empty for an index outside 0..2).
    std::vector<NeckCommandEntry> command_history(int index) const;
    void clear_command_history();

private:
    int index_of_esc_id(std::uint32_t esc_id) const;
    // The motor that answers for motor `index`, and notes its answer's delay.
    NeckMotor& answering(int index);
    void command_frame(int index, std::uint32_t offset, std::span<const std::uint8_t, 8> data, double now,
                       std::vector<std::vector<std::uint8_t>>& out);
    void broadcast_frame(std::span<const std::uint8_t> data, std::vector<std::vector<std::uint8_t>>& out);

    std::vector<NeckMotor> motors_;
    std::array<SetPointHistory<NeckCommandEntry>, kNeckMotorCount> commands_;
    std::chrono::microseconds answer_delay_{0};
};

}  // namespace torso_sim
