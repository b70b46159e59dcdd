#include "control_loop/control_loop.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <exception>
#include <future>
#include <system_error>
#include <utility>

#include "common/format.hpp"
#include "common/log.hpp"
#include "control_loop/log_origin.hpp"
#include "control_loop/loop_thread.hpp"
#include "control_loop/read_pos.hpp"
#include "control_loop/realtime.hpp"
#include "control_loop/signal_mask.hpp"
#include "control_loop/startup_checks.hpp"

namespace quorvel {
namespace {

using common::Err;
using common::log::Level;

// The text of a fault that ended the loop thread.
std::string fault_text(const std::exception_ptr& fault) {
    try {
        std::rethrow_exception(fault);
    } catch (const std::exception& e) {
        return common::quoted(e.what());
    } catch (...) {
        return "Any { .. }";
    }
}

// The loop thread: owns the controller and the queue's receiving end, and
// lets go of them in this order when the body ends (normally or by a fault):
// the queue first, so waiting callers learn that no reply will come, then
// the controller, which closes both buses.
// First of all it takes the real-time priority asked for, if any, and
// reports the outcome through `started` (0 or the refusal's errno); refused,
// it ends without running the body.
void loop_thread_main(QuorvelMotorController controller, QueueReceiver<MotorCmd> commands,
                      std::shared_ptr<LoopCells> cells, LoopConfig config, std::optional<int> realtime_priority,
                      std::promise<int> started) noexcept {
    const int refused = realtime_priority ? run_at_realtime_priority(*realtime_priority) : 0;
    started.set_value(refused);
    if (refused != 0) return;
    std::exception_ptr fault;
    {
        auto receiver = std::make_optional(std::move(commands));
        auto owned = std::make_optional(std::move(controller));
        try {
            run_loop_body(*owned, *receiver, *cells, config);
        } catch (...) {
            fault = std::current_exception();
        }
        receiver.reset();
        owned.reset();  // both buses are closed before close() hears of the end
    }
    cells->mark_ended(fault);
}

// Copies what a cell holds. A poisoned cell is read all the same; the
// record is written after the cell is unlocked.
template <class T, class Copy>
auto read_cell(SharedCell<T>& cell, const char* poisoned_record, Copy&& copy) {
    bool poisoned = false;
    auto value = [&] {
        auto guard = cell.lock();
        poisoned = guard.poisoned();
        return copy(*guard);
    }();
    if (poisoned) QMC_LOG(Level::Error, kControlLoopLogOrigin, poisoned_record);
    return value;
}

// A request that got no answer, as the loop's error: the caller's own stop
// is Interrupted, anything else CommunicationFailure.
MotorError failed_request(RequestFailure failure) {
    if (failure == RequestFailure::Stopped) return MotorError(MotorError::Interrupted{});
    return MotorError(MotorError::CommunicationFailure{});
}

}  // namespace

ControlLoopError ControlLoopError::invalid_argument(std::string message) {
    return ControlLoopError(Kind::InvalidArgument, std::move(message));
}

ControlLoopError ControlLoopError::spawn_failed(std::string message) {
    return ControlLoopError(Kind::SpawnFailed, std::move(message));
}

ControlLoopError ControlLoopError::interrupted() { return ControlLoopError(Kind::Interrupted, "interrupted"); }

ControlLoopError ControlLoopError::realtime_refused(std::string message) {
    return ControlLoopError(Kind::RealtimeRefused, std::move(message));
}

std::string ControlLoopError::message() const { return motor_ ? motor_->message() : message_; }

common::Result<std::unique_ptr<QuorvelControlLoop>, ControlLoopError> QuorvelControlLoop::create(
    const std::optional<std::string>& serialport, const std::string& can_bus,
    std::chrono::nanoseconds read_position_loop_period, std::optional<std::chrono::nanoseconds> stats_pub_period,
    std::uint64_t allowed_retries, std::chrono::nanoseconds voltage_rampup_timeout,
    std::optional<int> realtime_priority, common::StopSource* stop, PositionRead position_read) {
    // A loop cannot tick without a period nor read without an attempt.
    if (read_position_loop_period <= std::chrono::nanoseconds::zero())
        return Err{ControlLoopError::invalid_argument("read_position_loop_period must be greater than zero")};
    if (allowed_retries == 0) return Err{ControlLoopError::invalid_argument("allowed_retries must be at least 1")};
    if (realtime_priority &&
        (*realtime_priority < min_realtime_priority() || *realtime_priority > max_realtime_priority()))
        return Err{ControlLoopError::invalid_argument(
            "realtime_priority must be between " + std::to_string(min_realtime_priority()) + " and " +
            std::to_string(max_realtime_priority()) + ", got " + std::to_string(*realtime_priority))};
    // A priority the system refuses is refused before start-up reboots the
    // servos; the loop thread still asks for it itself (and still may be refused).
    if (realtime_priority) {
        if (const int refused = probe_realtime_priority(*realtime_priority); refused != 0)
            return Err{ControlLoopError::realtime_refused(realtime_refusal_text(*realtime_priority, refused))};
    }

    auto [sender, receiver] = bounded_queue<MotorCmd>(kCommandQueueCapacity);

    if (serialport) {
        struct stat entry {};
        if (::stat(serialport->c_str(), &entry) != 0) {
            const auto cause = common::os_cause(errno, *serialport);
            MotorError error(MotorError::PortNotFound{*serialport});
            return Err{ControlLoopError(std::move(error.set_os_cause(cause ? &*cause : nullptr)))};
        }
    }

    // Whichever bus failed, the text names the serial port; the cause names
    // the device that really failed (the CAN interface, say).
    auto created = QuorvelMotorController::create(serialport, can_bus, {}, position_read);
    if (!created) {
        MotorError error(MotorError::PortOpenFailed{serialport.value_or("")});
        return Err{ControlLoopError(std::move(error.set_os_cause(created.error().os_cause())))};
    }
    QuorvelMotorController controller = std::move(created).value();

    // A step that gave up because of a stop request failed with some error:
    // the stop is what the caller must hear of. Returning releases both ports.
    const auto failed = [stop](const MotorError& error) {
        return common::stop_requested(stop) ? ControlLoopError::interrupted() : ControlLoopError(error);
    };
    auto names = QuorvelMotorController::get_motor_name_id();
    if (auto present = check_presence(controller, names, stop); !present) return Err{failed(present.error())};
    if (controller.has_serial_port()) {
        if (auto supply = await_supply_and_reboot(controller, allowed_retries, voltage_rampup_timeout, stop); !supply)
            return Err{failed(supply.error())};
    }

    auto first_position = read_pos(controller, allowed_retries, stop);
    if (!first_position) return Err{failed(first_position.error())};
    auto first_torque = first_torque_state(controller, allowed_retries, stop);
    if (!first_torque) return Err{failed(first_torque.error())};
    if (common::stop_requested(stop)) return Err{ControlLoopError::interrupted()};

    auto cells = std::make_shared<LoopCells>(std::move(first_position), std::move(first_torque),
                                             stats_pub_period.has_value());
    std::unique_ptr<QuorvelControlLoop> loop(new QuorvelControlLoop(std::move(sender), cells, std::move(names)));
    loop->stats_pub_period_ = stats_pub_period;
    loop->neck_only_ = !serialport.has_value();

    const LoopConfig config{read_position_loop_period, stats_pub_period, allowed_retries,
                            serialport.has_value() && position_read == PositionRead::OneSyncRead};
    std::promise<int> started;
    auto priority_outcome = started.get_future();
    std::thread thread;
    try {
        const BlockAllSignals no_signals_in_the_loop_thread;
        thread = std::thread(loop_thread_main, std::move(controller), std::move(receiver), cells, config,
                             realtime_priority, std::move(started));
    } catch (const std::system_error& e) {
        return Err{ControlLoopError::spawn_failed(std::string("failed to spawn thread: ") + e.what())};
    }
    // The thread's first act: one system call away.
    if (const int refused = priority_outcome.get(); refused != 0) {
        thread.join();  // it ended at once, releasing the controller and the queue
        return Err{ControlLoopError::realtime_refused(realtime_refusal_text(*realtime_priority, refused))};
    }
    *loop->thread_handle_.lock() = std::move(thread);
    return loop;
}

QuorvelControlLoop::QuorvelControlLoop(QueueSender<MotorCmd> sender, std::shared_ptr<LoopCells> cells,
                                       std::unordered_map<std::string, std::uint8_t> names)
    : command_sender_(std::move(sender)), cells_(std::move(cells)), motor_name_ids_(std::move(names)) {}

QuorvelControlLoop::~QuorvelControlLoop() { close(); }

void QuorvelControlLoop::close() { (void)close_until(std::chrono::steady_clock::time_point::max()); }

bool QuorvelControlLoop::close_until(std::chrono::steady_clock::time_point deadline) {
    // Commands queued from now on are refused; those queued before still run.
    command_sender_.close_sending();
    // The loop thread sees the stop once its wait on the queue is woken.
    cells_->stop.request_stop();
    command_sender_.wake_receiver();

    {
        auto handle = thread_handle_.lock();
        if (!handle->has_value()) return true;  // never started, or joined already
    }
    if (!cells_->wait_ended_until(deadline)) return false;

    auto handle = thread_handle_.lock();
    const bool poisoned = handle.poisoned();
    std::optional<std::thread> thread = std::exchange(*handle, std::nullopt);
    if (!thread) return true;  // a concurrent close() joined it
    thread->join();  // returns at once: the thread has ended
    if (cells_->fault) {
        QMC_LOG(Level::Error, kControlLoopLogOrigin,
                std::string(poisoned ? "Failed to join control loop thread (poisoned): "
                                     : "Failed to join control loop thread: ") +
                    fault_text(cells_->fault));
    }
    return true;
}

namespace {

bool switches_torque(const MotorCmd& command) {
    namespace c = motor_cmd;
    return std::holds_alternative<c::EnableNeck>(command) || std::holds_alternative<c::EnableTorque>(command) ||
           std::holds_alternative<c::EnableTorqueOnIds>(command) || std::holds_alternative<c::DisableTorque>(command) ||
           std::holds_alternative<c::DisableTorqueOnIds>(command) || std::holds_alternative<c::EnableArms>(command) ||
           std::holds_alternative<c::EnableNose>(command);
}

}  // namespace

void QuorvelControlLoop::note_queued(bool torque) {
    if (torque) cells_->torque_queued.fetch_add(1);
}

std::optional<SendError> QuorvelControlLoop::try_send_command(MotorCmd& command) {
    const bool torque = switches_torque(command);
    auto refused = command_sender_.try_send(command);
    if (!refused) note_queued(torque);
    return refused;
}

std::optional<SendError> QuorvelControlLoop::send_command_until(MotorCmd& command,
                                                                std::chrono::steady_clock::time_point deadline) {
    const bool torque = switches_torque(command);
    auto refused = command_sender_.send_until(command, deadline);
    if (!refused) note_queued(torque);
    return refused;
}

std::optional<SendError> QuorvelControlLoop::send_command(MotorCmd command) {
    const bool torque = switches_torque(command);
    auto refused = command_sender_.send(std::move(command));
    if (!refused) note_queued(torque);
    return refused;
}

std::optional<RequestFailure> QuorvelControlLoop::send_command_unless_stopped(MotorCmd& command,
                                                                             common::StopSource* stop) {
    std::optional<SendError> refused = try_send_command(command);  // the usual case: room at once
    if (refused == SendError::Full) {
        const auto end = wait_unless_stopped(std::chrono::steady_clock::time_point::max(), stop,
                                             [&](std::chrono::steady_clock::time_point until) {
                                                 refused = send_command_until(command, until);
                                                 return refused != SendError::Timeout;
                                             });
        if (end == WaitEnd::Stopped) return RequestFailure::Stopped;
    }
    if (refused) return RequestFailure::Closed;
    return std::nullopt;
}

MotorResult<std::vector<std::uint8_t>> QuorvelControlLoop::async_read_raw_bytes(std::uint8_t id, std::uint8_t addr,
                                                                                std::uint8_t length,
                                                                                common::StopSource* stop) {
    auto bytes = request<std::vector<std::uint8_t>>(
        [&](ByteReply reply) { return motor_cmd::ReadRawBytes{id, addr, length, std::move(reply)}; },
        kRawReadTimeout, stop);
    if (!bytes) return Err{failed_request(bytes.error())};
    return std::move(bytes).value();
}

MotorResult<smartbus::feetech_servo::PidGains> QuorvelControlLoop::async_read_pid_gains(std::uint8_t id,
                                                                                       common::StopSource* stop) {
    namespace registers = smartbus::feetech_servo;
    auto bytes = async_read_raw_bytes(id, registers::kPidGains.address, registers::kPidGains.width, stop);
    if (!bytes) return Err{std::move(bytes).error()};
    const auto& b = bytes.value();
    if (b.size() != registers::kPidGains.width) return Err{MotorError(MotorError::CommunicationFailure{})};
    return registers::pid_gains_from_bytes(b[0], b[1], b[2]);
}

MotorResult<void> QuorvelControlLoop::check_pid_gains(std::uint16_t p, std::uint16_t i, std::uint16_t d) {
    const std::pair<const char*, std::uint16_t> gains[] = {{"p", p}, {"i", i}, {"d", d}};
    for (const auto& [name, gain] : gains) {
        if (gain > 0xFF)
            return Err{MotorError(MotorError::InvalidArgument{std::string("async_write_pid_gains: ") + name +
                                                              " must be between 0 and 255 (one register byte), got " +
                                                              std::to_string(gain)})};
    }
    return {};
}

MotorResult<void> QuorvelControlLoop::async_write_pid_gains(std::uint8_t id, std::uint16_t p, std::uint16_t i,
                                                            std::uint16_t d, common::StopSource* stop) {
    namespace registers = smartbus::feetech_servo;
    if (auto checked = check_pid_gains(p, i, d); !checked) return checked;
    const auto byte = [](std::uint16_t gain) { return static_cast<std::uint8_t>(gain); };
    const auto bytes = registers::pid_gain_bytes({byte(p), byte(i), byte(d)});
    MotorCmd command = motor_cmd::WriteRawBytes{id, registers::kPidGains.address, {bytes.begin(), bytes.end()}};
    if (const auto refused = send_command_unless_stopped(command, stop)) return Err{failed_request(*refused)};
    return {};
}

MotorResult<QuorvelTorsoPosition> QuorvelControlLoop::get_last_position() {
    return read_cell(cells_->last_position, "last_position mutex was poisoned", [](const auto& v) { return v; });
}

MotorResult<bool> QuorvelControlLoop::is_torque_enabled() {
    return read_cell(cells_->last_torque, "last_torque mutex was poisoned", [](const auto& v) { return v; });
}

std::optional<ControlLoopStats> QuorvelControlLoop::get_stats() {
    if (!stats_pub_period_ || !cells_->last_stats) return std::nullopt;
    return read_cell(*cells_->last_stats, "last_stats mutex was poisoned",
                     [](const StatsWindows& stats) { return stats.snapshot(); });
}

}  // namespace quorvel

namespace quorvel {

// The loop answers as soon as it has planned; this only bounds a caller
// whose loop is stuck behind long serial retries.
constexpr auto kMotionPlanTimeout = std::chrono::seconds(5);

ControllerResult<void> QuorvelControlLoop::check_motion_start(std::string_view label, MotionJoints joints,
                                                             common::StopSource* stop) {
    if (neck_only_) {
        for (std::size_t j = 0; j < kFirstNeckJoint; ++j)
            if (joints[j])
                return common::Err{ControllerError(std::string(label) + ": " + std::string(motion_joint_name(j)) +
                                                   ": " + std::string(kNeckOnlyMessage))};
    }
    const std::uint64_t queued = cells_->torque_queued.load();
    if (cells_->motion.read().torque_switches < queued) {
        (void)wait_unless_stopped(std::chrono::steady_clock::now() + kTorqueSwitchWait, stop,
                                  [&](std::chrono::steady_clock::time_point until) {
                                      if (is_closed()) return true;
                                      return cells_->motion.wait_until(until, [&](const MotionSnapshot& snapshot) {
                                          return snapshot.torque_switches >= queued;
                                      });
                                  });
    }
    return quorvel::check_motion_start(label, joints, cells_->motion.read(), get_last_position());
}

std::optional<RequestFailure> QuorvelControlLoop::send_motion_command(MotorCmd& command, common::StopSource* stop) {
    const auto* limits = std::get_if<motor_cmd::SetMotionLimits>(&command);
    const std::optional<motor_cmd::SetMotionLimits> limits_sent =
        limits ? std::optional<motor_cmd::SetMotionLimits>(*limits) : std::nullopt;
    if (auto refused = send_command_unless_stopped(command, stop)) return refused;
    cells_->motion_queued.fetch_add(1);
    if (limits_sent) {
        auto table = cells_->motion_limits.lock();
        for (std::size_t j = 0; j < kMotionJoints; ++j)
            if (limits_sent->joints[j]) (*table)[j] = limits_sent->limits[j];
    }
    return std::nullopt;
}

RequestResult<std::optional<MotionRefusal>> QuorvelControlLoop::follow_trajectory(motion::Trajectory trajectory,
                                                                                common::StopSource* stop) {
    const auto sent = std::chrono::steady_clock::now();
    auto answer = request<std::optional<MotionRefusal>>(
        [&](motor_cmd::MotionReply reply) {
            return motor_cmd::FollowTrajectory{std::move(trajectory), sent, std::move(reply)};
        },
        kMotionPlanTimeout, stop);
    if (answer || answer.error() != RequestFailure::Closed) cells_->motion_queued.fetch_add(1);
    if (answer && !answer.value()) {
        // The loop answers before it publishes: once the call returns,
        // motion_state() shows the trajectory.
        const std::uint64_t queued = cells_->motion_queued.load();
        (void)wait_unless_stopped(std::chrono::steady_clock::now() + kRawReadTimeout, stop,
                                  [&](std::chrono::steady_clock::time_point until) {
                                      if (is_closed()) return true;
                                      return cells_->motion.wait_until(until, [&](const MotionSnapshot& snapshot) {
                                          return snapshot.executed >= queued;
                                      });
                                  });
    }
    return answer;
}

WaitEnd QuorvelControlLoop::wait_motion_until(std::chrono::steady_clock::time_point deadline,
                                              common::StopSource* stop) {
    const std::uint64_t queued = cells_->motion_queued.load();
    return wait_unless_stopped(deadline, stop, [&](std::chrono::steady_clock::time_point until) {
        if (is_closed()) return true;
        return cells_->motion.wait_until(until, [&](const MotionSnapshot& snapshot) {
            return snapshot.executed >= queued && snapshot.active.none();
        });
    });
}

MotionSnapshot QuorvelControlLoop::motion_state() { return cells_->motion.read(); }

MotionLimitTable QuorvelControlLoop::motion_limits() {
    return read_cell(cells_->motion_limits, "motion_limits mutex was poisoned", [](const auto& v) { return v; });
}

}  // namespace quorvel
