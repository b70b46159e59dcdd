// Internal: what a running control loop shares between its owner (the
// QuorvelControlLoop, used from callers' threads) and the loop thread. Each
// cell has its own mutex; no code ever holds two of them at a time, nor one
// across bus traffic.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include "common/result.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/records.hpp"
#include "control_loop/sample_window.hpp"
#include "control_loop/shared_cell.hpp"

namespace quorvel {

template <class T>
using MotorResult = common::Result<T, MotorError>;

// The published statistics: the most recent samples of each sequence.
struct StatsWindows {
    SampleWindow period{ControlLoopStats::max_samples};
    SampleWindow read_dt{ControlLoopStats::max_samples};
    SampleWindow write_dt{ControlLoopStats::max_samples};

    // O(1): the copy shares the samples' storage.
    ControlLoopStats snapshot() const { return {period.snapshot(), read_dt.snapshot(), write_dt.snapshot()}; }
};

// Reference-counted: lives until both the loop object and the loop thread
// have let go of it.
struct LoopCells {
    LoopCells(MotorResult<QuorvelTorsoPosition> first_position, MotorResult<bool> first_torque, bool with_stats)
        : last_position(std::move(first_position)), last_torque(std::move(first_torque)) {
        if (with_stats) last_stats = std::make_unique<SharedCell<StatsWindows>>();
    }

    SharedCell<MotorResult<QuorvelTorsoPosition>> last_position;  // outcome of the latest read
    SharedCell<MotorResult<bool>> last_torque;                     // torque on all servos
    std::unique_ptr<SharedCell<StatsWindows>> last_stats;          // null: no statistics
    SharedCell<bool> stop_requested{false};                        // set by close()

    // The fault that ended the loop thread, if any. Written by the loop
    // thread as its last act and read only after joining it.
    std::exception_ptr fault;
};

// The loop thread's fixed settings.
struct LoopConfig {
    std::chrono::nanoseconds period;
    std::optional<std::chrono::nanoseconds> stats_pub_period;  // none: no statistics
    std::uint64_t allowed_retries;
};

}  // namespace quorvel
