// The three neck motors on the CAN bus: which frames they listen to, what
// they answer, and the faults injected into them.
#pragma once

#include "can_image.hpp"
#include "neck_motor.hpp"

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

    // The motor brought up to `now`, or null for an index outside 0..2.
    NeckMotor* motor(int index, double now);

    std::array<bool, kNeckMotorCount> silent{};
    bool spring_damper = false;
    bool mode_write_sticks = true;
    std::chrono::microseconds reply_delay{0};

    void reset_faults();

private:
    int index_of_esc_id(std::uint32_t esc_id) const;
    void command_frame(NeckMotor& m, std::uint32_t offset, std::span<const std::uint8_t, 8> data,
                       std::vector<std::vector<std::uint8_t>>& out);
    void broadcast_frame(std::span<const std::uint8_t> data, std::vector<std::vector<std::uint8_t>>& out);

    std::vector<NeckMotor> motors_;
};

}  // namespace torso_sim
