// Internal: what a running control loop shares between its owner (the
// QuorvelControlLoop, used from callers' threads) and the loop thread. Each
// cell has its own mutex; no code ever holds two of them at a time, nor one
// across bus traffic.
#pragma once

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>

#include "common/result.hpp"
#include "common/stop_source.hpp"
#include "control_loop/flight_recorder.hpp"
#include "control_loop/motion_runner.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/reading_feed.hpp"
#include "control_loop/records.hpp"
#include "control_loop/sample_window.hpp"
#include "control_loop/shared_cell.hpp"

namespace quorvel {

template <class T>
using MotorResult = common::Result<T, MotorError>;

// The published statistics: the most recent samples of each sequence.
struct StatsWindows {
    SampleWindow period{ControlLoopStats::kMaxSamples};
    SampleWindow read_dt{ControlLoopStats::kMaxSamples};
    SampleWindow write_dt{ControlLoopStats::kMaxSamples};

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
    ReadingFeed readings;                                          // every reading, for waiters
    std::unique_ptr<SharedCell<StatsWindows>> last_stats;          // null: no statistics
    MotionCell motion;                                             // published after each tick and motion command
    // The motion limits as the callers set them (the loop applies them in
    // queue order), and the motion commands queued so far: wait_motion waits
    // for the loop to have executed them.
    SharedCell<MotionLimitTable> motion_limits{default_motion_limits()};
    std::atomic<std::uint64_t> motion_queued{0};
    // Torque commands queued so far: a motion is judged by the torque that
    // the commands queued before it leave.
    std::atomic<std::uint64_t> torque_queued{0};
    // Records what the loop thread does while a recording is on.
    FlightRecorder recorder;
    // Requested by close(): the loop thread drains the queue and ends, and
    // the retries and retry pauses of the bus work in progress end early.
    common::StopSource stop;

    // The loop thread's last act, after it has let go of the controller (and
    // with it both buses): sets `ended`, so close() can wait for it in
    // slices and then join at once.
    void mark_ended(std::exception_ptr thread_fault) {
        readings.close();
        {
            std::lock_guard lock(ended_mutex);
            fault = std::move(thread_fault);
            ended = true;
        }
        ended_changed.notify_all();
    }
    // True once the loop thread has ended; waits at most until `deadline`
    // (time_point::max(): as long as it takes).
    bool wait_ended_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(ended_mutex);
        if (deadline == std::chrono::steady_clock::time_point::max()) {
            ended_changed.wait(lock, [&] { return ended; });
            return true;
        }
        return ended_changed.wait_until(lock, deadline, [&] { return ended; });
    }

    std::mutex ended_mutex;  // guards `ended` and `fault`
    std::condition_variable ended_changed;
    bool ended = false;
    // The fault that ended the loop thread, if any. Read only after `ended`.
    std::exception_ptr fault;
};

// The loop thread's fixed settings.
struct LoopConfig {
    std::chrono::nanoseconds period;
    std::optional<std::chrono::nanoseconds> stats_pub_period;  // none: no statistics
    std::uint64_t allowed_retries;
    // Keeps the ticks in phase with a USB adapter's latency timer (see
    // AdapterPhaseSeeker): worth it when a tick's serial read is one round trip.
    bool follow_adapter_timer = false;
};

}  // namespace quorvel
