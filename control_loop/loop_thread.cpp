#include "control_loop/loop_thread.hpp"

#include <sys/prctl.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "common/idle_work.hpp"
#include "common/log.hpp"
#include "control_loop/adapter_phase.hpp"
#include "control_loop/handle_commands.hpp"
#include "control_loop/control_loop.hpp"
#include "control_loop/log_origin.hpp"
#include "control_loop/read_pos.hpp"

namespace quorvel {
namespace {

using Clock = LoopEnvironment::Clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
    if (to < from) return 0.0;
    return common::seconds(std::chrono::duration_cast<std::chrono::nanoseconds>(to - from));
}

// The loop's time as the motion group counts it.
double seconds_since_epoch(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Tick k is due at start + k * period (+ the offset, if any), whatever the
// ticks before it cost.
class TickSchedule {
public:
    TickSchedule(Clock::time_point start, std::chrono::nanoseconds period) : start_(start), period_(period) {}
    Clock::time_point next_due() const { return due_; }
    std::chrono::nanoseconds offset() const { return offset_; }
    // Moves the whole schedule to start + k * period + offset.
    void set_offset(std::chrono::nanoseconds offset) {
        if (due_ != Clock::time_point::max()) due_ += offset - offset_;
        offset_ = offset;
    }
    void advance() {
        ++served_;
        const auto max_ticks = static_cast<std::uint64_t>(std::numeric_limits<Clock::rep>::max() / period_.count());
        const auto limit = Clock::time_point::max() - start_;
        // A schedule beyond the clock's range is due never.
        due_ = served_ >= max_ticks || period_ * static_cast<Clock::rep>(served_) >= limit
                   ? Clock::time_point::max()
                   : start_ + period_ * static_cast<Clock::rep>(served_) + offset_;
    }

private:
    Clock::time_point start_;
    std::chrono::nanoseconds period_;
    std::chrono::nanoseconds offset_{0};
    std::uint64_t served_ = 0;
    Clock::time_point due_ = start_;
};

// The loop thread's own environment: a fair coin chooses between a due tick
// and a queued command.
class MonotonicEnvironment final : public LoopEnvironment {
public:
    MonotonicEnvironment() : coin_(static_cast<std::uint64_t>(Clock::now().time_since_epoch().count()) | 1) {}

    Clock::time_point now() override { return Clock::now(); }
    QueueEvent wait_for_command(QueueReceiver<MotorCmd>& commands, Clock::time_point deadline) override {
        return commands.wait_until(deadline);
    }
    void sleep_until(Clock::time_point deadline) override { std::this_thread::sleep_until(deadline); }
    bool tick_first() override {
        coin_ ^= coin_ << 13;  // xorshift64
        coin_ ^= coin_ >> 7;
        coin_ ^= coin_ << 17;
        return (coin_ >> 32) & 1U;
    }

private:
    std::uint64_t coin_;
};

// Keeps at most the samples a publication can still show.
void push_capped(std::vector<double>& samples, double sample) {
    constexpr std::size_t cap = ControlLoopStats::kMaxSamples;
    if (samples.size() >= 2 * cap) samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(cap - 1));
    samples.push_back(sample);
}

// Runs `update` on the published statistics under their lock.
template <class F>
void update_stats(SharedCell<StatsWindows>& cell, F&& update) {
    auto stats = cell.lock();
    if (stats.poisoned()) throw LoopFault("last_stats mutex was poisoned");
    update(*stats);
}

// The loop thread drives two independent wires. The serial side (the
// servos' reads with their retries, goal writes, servo commands) runs in
// order on this thread; while it waits on its line, the waits are lent to
// the CAN side (run_due): the neck is served once per period (its motion's
// set points, its reading) and queued commands that work on the neck alone
// run at once. Commands taken off the queue meanwhile that touch the servos
// wait in the backlog, in their order, for the serial side.
class LoopBody final : private common::IdleWork {
public:
    LoopBody(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
             const LoopConfig& config, LoopEnvironment& environment)
        : controller_(controller),
          commands_(commands),
          cells_(cells),
          config_(config),
          env_(environment),
          stats_(config.stats_pub_period && cells.last_stats ? cells.last_stats.get() : nullptr),
          start_(env_.now()),
          schedule_(start_, config.period),
          previous_tick_start_(start_),
          window_start_(start_) {
        if (config.follow_adapter_timer) adapter_phase_.emplace(config.period);
    }

    void run() {
        {
            const common::LendWaits lend(*this);
            while (!cells_.stop.stop_requested()) serve_one();
        }
        // Draining: every command queued until now still runs, unmeasured.
        finish_neck();
        while (auto command = next_command())
            (void)handle_commands(controller_, cells_.last_torque, std::move(*command), config_.allowed_retries,
                                  &cells_.stop, &motion_, seconds_since_epoch(env_.now()));
        hold_neck();
        cells_.motion.publish(motion_.snapshot(seconds_since_epoch(env_.now())));
    }

private:
    // Waits for the next due tick or queued command and serves one of them.
    void serve_one() {
        const auto due = schedule_.next_due();
        bool tick_ready = env_.now() >= due;
        bool command_ready = !backlog_.empty();
        if (tick_ready) {
            command_ready = command_ready || commands_.has_items();
        } else if (!command_ready) {
            switch (env_.wait_for_command(commands_, due)) {
                case QueueEvent::Ready:
                    command_ready = true;
                    tick_ready = env_.now() >= due;
                    break;
                case QueueEvent::Timeout: tick_ready = true; break;
                case QueueEvent::Woken: return;  // look at the stop source
                case QueueEvent::Disconnected:
                    // No command can come any more; only ticks remain.
                    env_.sleep_until(due);
                    tick_ready = true;
                    break;
            }
        }
        if (tick_ready && (!command_ready || env_.tick_first())) {
            tick();
        } else if (command_ready) {
            if (auto command = next_command()) execute(std::move(*command));
        }
    }

    // The backlog comes first: it was queued before what the queue holds.
    std::optional<MotorCmd> next_command() {
        if (backlog_.empty()) return commands_.try_recv();
        MotorCmd command = std::move(backlog_.front());
        backlog_.pop_front();
        return command;
    }

    // ---- The CAN side ----------------------------------------------------

    // The period slot that `t` falls in: slot k begins when tick k is due.
    // Slots follow the ticks' schedule, offset included, so that a tick and
    // the neck's service between ticks agree on which period they are in.
    std::int64_t slot_of(Clock::time_point t) const {
        const auto origin = start_ + schedule_.offset();
        return t <= origin ? 0 : static_cast<std::int64_t>((t - origin) / config_.period);
    }

    // Asks the neck for its reading, commanding the joints that have a set
    // point in the same exchange; the answers are collected by finish_neck.
    void start_neck(const std::array<std::optional<NeckSetPoint>, 3>& set_points, std::int64_t slot) {
        finish_neck();
        const bool commanding = std::any_of(set_points.begin(), set_points.end(),
                                            [](const auto& set_point) { return set_point.has_value(); });
        neck_in_flight_.emplace(commanding ? controller_.start_neck_exchange(set_points)
                                           : controller_.start_neck_feedback());
        in_flight_slot_ = slot;
        neck_slot_ = std::max(neck_slot_, slot);
    }
    // Collects the answers of the exchange on the way, if any: before any
    // other CAN request, so that none of them is discarded as stale.
    void finish_neck() {
        if (!neck_in_flight_) return;
        auto pending = std::move(*neck_in_flight_);
        neck_in_flight_.reset();
        neck_reading_ = controller_.finish_neck_feedback(std::move(pending));
        if (neck_reading_) motion_.observe_neck_on_loop_thread(neck_reading_.value());
    }

    // While the serial side waits: the neck's slot when it is due, then the
    // queued commands (neck-only ones run, the others join the backlog).
    std::chrono::nanoseconds run_due() override {
        if (in_idle_work_) return std::chrono::nanoseconds::max();
        in_idle_work_ = true;
        const auto now = env_.now();
        if (const auto slot = slot_of(now); slot > neck_slot_) {
            // The answers are collected by whoever next needs the CAN bus or
            // this slot's reading: the serial side goes on meanwhile.
            finish_neck();
            start_neck(motion_.sample_neck_on_loop_thread(seconds_since_epoch(env_.now())), slot);
            idle_slot_ = slot;
            cells_.motion.publish(motion_.snapshot(seconds_since_epoch(now)));
        }
        while (backlog_.size() < kCommandQueueCapacity) {
            auto command = commands_.try_recv();
            if (!command) break;
            if (backlog_.empty() && only_neck_work(*command, motion_.active_on_loop_thread())) {
                finish_neck();
                execute(std::move(*command));
            } else {
                backlog_.push_back(std::move(*command));
            }
        }
        in_idle_work_ = false;
        const auto next_slot = start_ + config_.period * (neck_slot_ + 1);
        return std::max(std::chrono::nanoseconds{},
                        std::chrono::duration_cast<std::chrono::nanoseconds>(next_slot - env_.now()));
    }

    // A neck cut mid-motion by close would keep its last command's velocity
    // feed-forward: it gets one more command, to hold its set point.
    void hold_neck() {
        const auto hold = motion_.hold_on_loop_thread();
        if (std::none_of(hold.begin(), hold.end(), [](const auto& set_point) { return set_point.has_value(); }))
            return;
        start_neck(hold, neck_slot_);
        finish_neck();
    }

    void tick() {
        const auto due = schedule_.next_due();
        schedule_.advance();
        const auto tick_start = env_.now();
        if (stats_) {
            update_stats(*stats_, [&](StatsWindows& s) { s.period.push(seconds_between(previous_tick_start_, tick_start)); });
            previous_tick_start_ = tick_start;
        }

        // The set points of this tick come from the generator, not from the
        // reading: a failed read does not hold up a motion. The neck's
        // exchange travels while the servos are read (a tick takes the slower
        // bus's time), unless the CAN side served this slot while the serial
        // side was busy: then its reading is this tick's. An earlier exchange
        // is collected before sampling, so that the set points leave at once.
        const auto slot = slot_of(tick_start);
        const bool served = idle_slot_ == slot;
        if (!served) finish_neck();
        const double now_s = seconds_since_epoch(served ? tick_start : env_.now());
        const auto neck_set_points = motion_.sample_on_loop_thread(now_s);
        if (served) {
            idle_slot_.reset();
        } else {
            start_neck(neck_set_points, slot);
        }
        auto servos = read_servo_positions(controller_, config_.allowed_retries, &cells_.stop);
        if (adapter_phase_) schedule_.set_offset(adapter_phase_->observe(tick_start - due, env_.now() - due));
        // An exchange that the CAN side began for a later slot meanwhile stays
        // on its way (the next tick's reading): this tick's reading is its own slot's.
        if (in_flight_slot_ <= slot) finish_neck();
        auto reading = combine_reading(std::move(servos), neck_reading_);
        const auto read_end = env_.now();
        motion_.write_servo_goals_on_loop_thread(controller_, [this] { return seconds_since_epoch(env_.now()); });
        motion_.observe_reading_on_loop_thread(reading);
        const auto motion = motion_.snapshot(now_s);
        cells_.motion.publish(motion);
        cells_.recorder.tick_on_loop_thread(due, tick_start, read_end, env_.now(), config_.period, reading, motion_, motion);
        watch_reading(reading);
        const std::optional<QuorvelTorsoPosition> read_position =
            reading ? std::optional(reading.value()) : std::nullopt;
        {
            auto cell = cells_.last_position.lock();
            if (!cell.poisoned()) *cell = std::move(reading);  // a poisoned cell keeps its old value
        }
        // After the store: a woken waiter finds get_last_position() up to date.
        if (read_position)
            cells_.readings.publish_success(*read_position);
        else
            cells_.readings.publish_failure();

        if (!stats_) return;
        auto now = env_.now();
        push_capped(pending_reads_, seconds_between(tick_start, now));
        if (now - window_start_ > *config_.stats_pub_period) publish(now);
    }

    // One warning when the periodic read starts failing, naming the motors
    // that did not answer, and one info record when it reads again: a silent
    // servo is heard of once, not on every tick.
    void watch_reading(const MotorResult<QuorvelTorsoPosition>& reading) {
        using common::log::Level;
        if (reading) {
            if (failed_reads_ > 0)
                QMC_LOG(Level::Info, kControlLoopLogOrigin,
                        "Periodic read works again after " + std::to_string(failed_reads_) + " failed reads");
            failed_reads_ = 0;
            return;
        }
        if (failed_reads_++ > 0) return;
        QMC_LOG(Level::Warn, kControlLoopLogOrigin, "Periodic read failed: " + what_failed(reading.error()));
    }

    std::string what_failed(const MotorError& error) const {
        std::string text;
        for (const MotorAtFault& motor : error.motors_at_fault()) {
            if (!text.empty()) text += "; ";
            text += describe_motor_at_fault(motor, motor.bus == MotorAtFault::Bus::Serial
                                                       ? controller_.serial_device()
                                                       : controller_.can_interface());
        }
        if (!text.empty()) return text;
        // No motor to blame: the port or the interface failed.
        if (const common::OsCause* cause = error.os_cause()) return cause->device + ": " + cause->text();
        return error.message();
    }

    void execute(MotorCmd command) {
        finish_neck();  // a CAN request would discard the answers on their way
        const auto command_start = env_.now();
        cells_.recorder.command_on_loop_thread(command);
        auto outcome = handle_commands(controller_, cells_.last_torque, std::move(command), config_.allowed_retries,
                                       &cells_.stop, &motion_, seconds_since_epoch(command_start));
        cells_.motion.publish(motion_.snapshot(seconds_since_epoch(env_.now())));
        // A failure is not reported: the sender returned long ago.
        if (outcome && stats_) push_capped(pending_commands_, seconds_between(command_start, env_.now()));
    }

    void publish(Clock::time_point now) {
        update_stats(*stats_, [&](StatsWindows& s) { s.read_dt.append(pending_reads_); });
        update_stats(*stats_, [&](StatsWindows& s) { s.write_dt.append(pending_commands_); });
        pending_reads_.clear();
        pending_commands_.clear();
        window_start_ = now;
    }

    QuorvelMotorController& controller_;
    QueueReceiver<MotorCmd>& commands_;
    LoopCells& cells_;
    const LoopConfig& config_;
    LoopEnvironment& env_;
    SharedCell<StatsWindows>* stats_;  // null: statistics disabled
    Clock::time_point start_;
    TickSchedule schedule_;
    Clock::time_point previous_tick_start_;
    Clock::time_point window_start_;
    std::vector<double> pending_reads_;     // read_dt samples not yet published
    std::vector<double> pending_commands_;  // write_dt samples not yet published
    std::uint64_t failed_reads_ = 0;        // periodic reads failed in a row
    MotionRunner motion_;
    std::optional<AdapterPhaseSeeker> adapter_phase_;  // set: ticks follow the adapter's timer
    // The CAN side.
    std::optional<candrive::damiao::PendingFeedback> neck_in_flight_;
    ControllerResult<std::array<double, 3>> neck_reading_ = std::array<double, 3>{};  // the latest
    std::int64_t neck_slot_ = -1;           // the latest slot the neck was served in
    std::int64_t in_flight_slot_ = -1;      // the slot of neck_in_flight_
    std::optional<std::int64_t> idle_slot_;  // served by run_due, not yet by a tick
    bool in_idle_work_ = false;
    std::deque<MotorCmd> backlog_;  // taken off the queue while the serial side was busy
};

}  // namespace

void run_loop_body(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
                   const LoopConfig& config) {
    // Wake-ups within a microsecond of the deadline rather than the default 50 us slack.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    MonotonicEnvironment environment;
    run_loop_body(controller, commands, cells, config, environment);
}

void run_loop_body(QuorvelMotorController& controller, QueueReceiver<MotorCmd>& commands, LoopCells& cells,
                   const LoopConfig& config, LoopEnvironment& environment) {
    const FlightRecorder::LoopThreadMark recording_thread(cells.recorder);
    LoopBody(controller, commands, cells, config, environment).run();
}

}  // namespace quorvel
