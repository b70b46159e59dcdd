// QuorvelControlLoop: a torso controller run by a background thread that
// reads every joint periodically (with retries), publishes the last reading,
// the torque state and timing statistics, and executes the commands that
// callers put on its bounded queue.
//
//   auto loop = QuorvelControlLoop::create("/dev/ttyUSB0", "can0", 10ms, 1s, 5, 30s);
//   if (!loop) ... loop.error().message() ...
//   (*loop)->send_command(motor_cmd::EnableTorque{});
//   auto position = (*loop)->get_last_position();
//   (*loop)->close();
//
// Every member function is safe to call from any thread at any time; none
// of them touches the bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/result.hpp"
#include "common/stop_source.hpp"
#include "control_loop/command_queue.hpp"
#include "control_loop/loop_cells.hpp"
#include "control_loop/motor_cmd.hpp"
#include "control_loop/motor_error.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "control_loop/records.hpp"
#include "control_loop/reply_channel.hpp"
#include "control_loop/shared_cell.hpp"
#include "control_loop/stop_wait.hpp"
#include "smartbus/registers.hpp"

namespace quorvel {

// Commands the queue holds before senders have to wait.
inline constexpr std::size_t kCommandQueueCapacity = 100;
// How long a motion call waits for the torque commands queued before it to
// have run (a loop stuck behind serial retries answers later than this).
inline constexpr auto kTorqueSwitchWait = std::chrono::seconds(2);
// How long a raw read or a health reading waits for the loop's answer.
inline constexpr auto kRawReadTimeout = std::chrono::seconds(1);

// How a request ended without the loop's answer.
enum class RequestFailure {
    Closed,      // the loop is closing or closed: nothing was queued
    Stopped,     // the caller's stop source asked first (a queued command still runs)
    Unanswered,  // the loop released the reply unanswered: the operation failed
    TimedOut,    // the time limit passed first
};

template <class T>
using RequestResult = common::Result<T, RequestFailure>;

// Why a control loop did not start.
class ControlLoopError {
public:
    enum class Kind {
        Motor,            // a start-up check failed: see motor_error()
        InvalidArgument,  // a zero period or zero retries; nothing was opened
        SpawnFailed,      // the system refused to start the loop thread
        Interrupted,      // the caller's stop source asked start-up to stop
        RealtimeRefused,  // the system refused the real-time priority asked for
    };

    ControlLoopError(MotorError error) : kind_(Kind::Motor), motor_(std::move(error)) {}  // NOLINT
    static ControlLoopError invalid_argument(std::string message);
    static ControlLoopError spawn_failed(std::string message);
    static ControlLoopError interrupted();
    static ControlLoopError realtime_refused(std::string message);

    Kind kind() const { return kind_; }
    const MotorError* motor_error() const { return motor_ ? &*motor_ : nullptr; }
    // The MotorError's display text; otherwise the description.
    std::string message() const;

private:
    ControlLoopError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::optional<MotorError> motor_;
    std::string message_;
};

class QuorvelControlLoop {
public:
    // Opens the buses (no serial port: a neck-only loop), checks that every
    // motor answers, waits up to `voltage_rampup_timeout` for the servo
    // supply to reach 11.0 V, reboots the servos, takes a first reading and
    // the torque state, and starts the loop thread. Runs on the calling
    // thread; on failure nothing is left open or running.
    // `read_position_loop_period` and `allowed_retries` must be non-zero.
    // Between its bus transactions and in its waits it looks at `stop`; once
    // that asks, it releases everything and fails with Kind::Interrupted.
    // With `realtime_priority` (1-99), the loop thread runs under SCHED_FIFO
    // at that priority; if the system refuses, the error is RealtimeRefused,
    // found before any bus is opened (and, should the refusal come only
    // later, before the thread touches a bus), and nothing is left running.
    // `position_read` is how every reading of the servos is taken, the first
    // one included (see PositionRead).
    static common::Result<std::unique_ptr<QuorvelControlLoop>, ControlLoopError> create(
        const std::optional<std::string>& serialport, const std::string& can_bus,
        std::chrono::nanoseconds read_position_loop_period,
        std::optional<std::chrono::nanoseconds> stats_pub_period, std::uint64_t allowed_retries,
        std::chrono::nanoseconds voltage_rampup_timeout, std::optional<int> realtime_priority = std::nullopt,
        common::StopSource* stop = nullptr, PositionRead position_read = PositionRead::ArmsThenNose);

    // close(), then releases everything.
    ~QuorvelControlLoop();
    QuorvelControlLoop(const QuorvelControlLoop&) = delete;
    QuorvelControlLoop& operator=(const QuorvelControlLoop&) = delete;

    // Asks the loop thread to stop, lets it execute the commands still
    // queued and waits for it to end. From its start on, new commands are
    // refused (SendError::Closed), and the retries and pauses of the bus
    // work in progress end early. Idempotent; a second caller waits for the
    // thread too. Never fails; a loop thread that died of a fault is logged.
    void close();
    // The same, waiting at most until `deadline`: true once the thread has
    // ended and been joined. Call it again (or close()) to go on waiting.
    bool close_until(std::chrono::steady_clock::time_point deadline);

    // True once close() has begun or the loop thread has ended: commands are refused.
    bool is_closed() { return command_sender_.is_closed(); }

    // ---- Commands ---------------------------------------------------------
    // The command is moved from only when it was queued; on Full or Timeout it
    // is left in `command` for another try. Closed: the loop thread has ended.
    std::optional<SendError> try_send_command(MotorCmd& command);
    std::optional<SendError> send_command_until(MotorCmd& command, std::chrono::steady_clock::time_point deadline);
    // Waits as long as the queue is full.
    std::optional<SendError> send_command(MotorCmd command);

    // Queues `command`, waiting for room while the queue is full: nothing once
    // it is queued, Closed, or Stopped when `stop` (may be null) asked first;
    // the command is moved from only when it was queued. The wait looks at
    // `stop` every StopSource::kCheckPeriod.
    std::optional<RequestFailure> send_command_unless_stopped(MotorCmd& command, common::StopSource* stop);

    // Queues the command that `make(reply)` builds around a new reply channel
    // (ReplySender<T>), as send_command_unless_stopped does, then waits for
    // the loop's answer at most `time_limit` from then (nothing: as long as the
    // loop holds on to the reply), looking at `stop` every kCheckPeriod.
    template <class T, class Make>
    RequestResult<T> request(Make&& make, std::optional<std::chrono::nanoseconds> time_limit,
                             common::StopSource* stop = nullptr);

    // Queues a raw read of servo `id` and waits up to kRawReadTimeout for the
    // bytes. A closed queue, a time-out or a failed read (the reply channel
    // released unanswered) is CommunicationFailure; once `stop` asks, the
    // wait ends with Interrupted. Waits while the queue is full.
    MotorResult<std::vector<std::uint8_t>> async_read_raw_bytes(std::uint8_t id, std::uint8_t addr,
                                                                std::uint8_t length,
                                                                common::StopSource* stop = nullptr);

    // The position loop's gains of servo `id`, read as async_read_raw_bytes
    // reads (a reply of another length is CommunicationFailure).
    MotorResult<smartbus::feetech_servo::PidGains> async_read_pid_gains(std::uint8_t id,
                                                                       common::StopSource* stop = nullptr);
    // Each gain register holds one byte, so a gain above 255 is refused
    // (InvalidArgument, naming the gain) rather than reduced to its low 8
    // bits: 256 would become 0, a servo that no longer holds its load.
    static MotorResult<void> check_pid_gains(std::uint16_t p, std::uint16_t i, std::uint16_t d);
    // Queues the write of the gains to servo `id` after check_pid_gains
    // (refused: nothing queued). A closing or closed loop is
    // CommunicationFailure; `stop` ends a wait for room with Interrupted.
    MotorResult<void> async_write_pid_gains(std::uint8_t id, std::uint16_t p, std::uint16_t i, std::uint16_t d,
                                            common::StopSource* stop = nullptr);

    // ---- Generated motion (see motion_runner.hpp) ----------------------------------
    // The refusal of a motion for `joints` that the published state tells
    // (torque off, no reading yet, a neck joint a whole turn off zero).
    // Torque commands queued before the call run before the motion, so it
    // first waits (at most kTorqueSwitchWait, ended early by `stop`) for the
    // loop to have executed them: `enable_torque(); move_to(...)` works.
    ControllerResult<void> check_motion_start(std::string_view label, MotionJoints joints,
                                              common::StopSource* stop = nullptr);
    // Queues a motion command (MoveTo, StopMotion, SetMotionLimits) as
    // send_command_unless_stopped does; queued limits are what motion_limits()
    // reports from then on.
    std::optional<RequestFailure> send_motion_command(MotorCmd& command, common::StopSource* stop);
    // Queues the trajectory (times from now) and waits for the loop to start
    // it: nothing once it runs, or the refusal's text.
    RequestResult<std::optional<MotionRefusal>> follow_trajectory(motion::Trajectory trajectory,
                                                                common::StopSource* stop);
    // Waits until the loop has executed every motion command queued before
    // the call and no motion is active: Done, TimedOut at `deadline`, or
    // Stopped. A closed loop has no motion.
    WaitEnd wait_motion_until(std::chrono::steady_clock::time_point deadline, common::StopSource* stop);
    MotionSnapshot motion_state();
    MotionLimitTable motion_limits();

    // ---- What the loop publishes ----------------------------------------------
    MotorResult<QuorvelTorsoPosition> get_last_position();
    MotorResult<bool> is_torque_enabled();
    // The first reading newer than the time stamp `after` (none: the next
    // one), waiting until `deadline` (time_point::max(): no limit) and
    // looking at `stop` every StopSource::kCheckPeriod (see ReadingFeed).
    common::Result<QuorvelTorsoPosition, FeedEnd> wait_for_position(std::optional<double> after,
                                                                    std::chrono::steady_clock::time_point deadline,
                                                                    common::StopSource* stop = nullptr) {
        return cells_->readings.wait_newer(after, deadline, stop);
    }
    // Nothing when statistics are disabled.
    std::optional<ControlLoopStats> get_stats();
    // The loop's flight recorder; lives as long as the returned pointer.
    std::shared_ptr<FlightRecorder> flight_recorder() const { return {cells_, &cells_->recorder}; }
    // Joint name -> servo id of the seven servos.
    const std::unordered_map<std::string, std::uint8_t>& motor_name_ids() const { return motor_name_ids_; }

private:
    // Counts a torque command once it is queued.
    void note_queued(bool switches_torque);

    QuorvelControlLoop(QueueSender<MotorCmd> sender, std::shared_ptr<LoopCells> cells,
                       std::unordered_map<std::string, std::uint8_t> names);

    QueueSender<MotorCmd> command_sender_;
    bool neck_only_ = false;  // no serial port: the servos are not this loop's
    std::shared_ptr<LoopCells> cells_;
    std::optional<std::chrono::nanoseconds> stats_pub_period_;
    // The loop thread's handle, taken out by the first close().
    SharedCell<std::optional<std::thread>> thread_handle_;
    std::unordered_map<std::string, std::uint8_t> motor_name_ids_;
};

template <class T, class Make>
RequestResult<T> QuorvelControlLoop::request(Make&& make, std::optional<std::chrono::nanoseconds> time_limit,
                                             common::StopSource* stop) {
    auto channel = reply_channel<T>();
    MotorCmd command = std::forward<Make>(make)(std::move(channel.first));
    if (auto refused = send_command_unless_stopped(command, stop)) return common::Err{*refused};

    const auto deadline =
        time_limit ? std::chrono::steady_clock::now() + *time_limit : std::chrono::steady_clock::time_point::max();
    std::optional<common::Result<T, RecvError>> answer;
    const WaitEnd end = wait_unless_stopped(deadline, stop, [&](std::chrono::steady_clock::time_point until) {
        auto received = channel.second.recv_until(until);
        if (!received && received.error() == RecvError::Timeout) return false;
        answer.emplace(std::move(received));
        return true;
    });
    if (end == WaitEnd::Stopped) return common::Err{RequestFailure::Stopped};
    if (end == WaitEnd::TimedOut) return common::Err{RequestFailure::TimedOut};
    if (!*answer) return common::Err{RequestFailure::Unanswered};
    return std::move(*answer).value();
}

}  // namespace quorvel
