// The loop's flight recorder: what the loop thread does, tick by tick, as
// fixed-size records for a writer on another thread to drain. The loop
// thread only copies records into its ring (never allocates, never waits);
// records from other threads (log records of the calling thread, refused
// commands) go through a small queue of their own, so the ring keeps a
// single producer. Recording is off until a writer starts it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "common/log.hpp"
#include "common/result.hpp"
#include "control_loop/flight_record.hpp"
#include "control_loop/motion_runner.hpp"
#include "control_loop/motor_cmd.hpp"
#include "control_loop/motor_error.hpp"
#include "control_loop/records.hpp"

namespace quorvel {

class FlightRecorder {
public:
    using Clock = std::chrono::steady_clock;
    // About 10 s of a 2 ms loop with motion on every joint.
    static constexpr std::size_t kRingCapacity = 16384;
    static constexpr std::size_t kSideCapacity = 1024;

    FlightRecorder() = default;
    ~FlightRecorder();
    FlightRecorder(const FlightRecorder&) = delete;
    FlightRecorder& operator=(const FlightRecorder&) = delete;

    // ---- Writer side (one writer at a time) ----
    // Starts a recording: records from now on are kept. The ring (of
    // `capacity` records, rounded up to a power of two) is made by the first
    // start and kept.
    void start(std::size_t capacity = kRingCapacity);
    // Stops keeping records; those kept so far can still be taken.
    void stop();
    bool on() const { return on_.load(std::memory_order_acquire); }
    // Moves up to `max` kept records to `out`, oldest first (the loop
    // thread's, then the other threads').
    std::size_t take(FlightRecord* out, std::size_t max);
    // Records lost to overflow since start().
    std::uint64_t dropped();

    // ---- Loop thread ----
    // Marks the calling thread as this recorder's loop thread (its log
    // records go to the ring) until the returned guard is released.
    class LoopThreadMark {
    public:
        explicit LoopThreadMark(FlightRecorder& recorder);
        ~LoopThreadMark();
        LoopThreadMark(const LoopThreadMark&) = delete;
        LoopThreadMark& operator=(const LoopThreadMark&) = delete;
    };
    // One tick: its timing, its reading and the motion's set points.
    void tick_on_loop_thread(Clock::time_point due, Clock::time_point start, Clock::time_point read_end,
                             Clock::time_point write_end, std::chrono::nanoseconds period,
                             const common::Result<QuorvelTorsoPosition, MotorError>& reading,
                             const MotionRunner& runner, const MotionSnapshot& motion);
    // A command about to run: goals as Command records, motion as events.
    void command_on_loop_thread(const MotorCmd& command);

    // ---- Any other thread ----
    void note_from_caller(EventKind kind, std::uint8_t level, std::string_view text);
    // A health reading of one motor ("name|key=value|...").
    void note_status(std::string_view text);

    // ---- Either ----
    // A log record: the loop thread's into its ring, another thread's into
    // the side queue of every recording recorder.
    // The origin goes into reserved[0]: 1 the controller, 2 the control loop.
    static void log_tap(common::log::Level level, std::string_view origin, std::string_view message);

private:
    void push(const FlightRecord& record) { ring_.load(std::memory_order_relaxed)->push(record); }
    // `head` with `text`, in as many records as it takes.
    void push_side(const FlightRecord& head, std::string_view text);

    std::atomic<bool> on_{false};
    // Made by the first start() and kept until the recorder goes: the loop
    // thread may hold it while a writer stops and starts again.
    std::atomic<RecordRing*> ring_{nullptr};
    std::unique_ptr<RecordRing> ring_owner_;

    std::mutex side_mutex_;
    std::deque<FlightRecord> side_;
    std::uint64_t side_dropped_ = 0;
    std::uint64_t dropped_at_start_ = 0;

    // Loop thread only.
    std::uint64_t ticks_ = 0;
    Clock::time_point last_start_{};
    MotionJoints active_;
};

}  // namespace quorvel
