#include "control_loop/loop_thread.hpp"

#include <sys/prctl.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/format.hpp"
#include "common/log.hpp"
#include "control_loop/handle_commands.hpp"
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

// Tick k is due at start + k * period, whatever the ticks before it cost.
class TickSchedule {
public:
    TickSchedule(Clock::time_point start, std::chrono::nanoseconds period) : start_(start), period_(period) {}
    Clock::time_point next_due() const { return due_; }
    void advance() {
        ++served_;
        const auto max_ticks = static_cast<std::uint64_t>(std::numeric_limits<Clock::rep>::max() / period_.count());
        const auto limit = Clock::time_point::max() - start_;
        // A schedule beyond the clock's range is due never.
        due_ = served_ >= max_ticks || period_ * static_cast<Clock::rep>(served_) >= limit
                   ? Clock::time_point::max()
                   : start_ + period_ * static_cast<Clock::rep>(served_);
    }

private:
    Clock::time_point start_;
    std::chrono::nanoseconds period_;
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

class LoopBody {
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
          window_start_(start_) {}

    void run() {
        while (!cells_.stop.stop_requested()) serve_one();
        // Draining: every command queued until now still runs, unmeasured.
        while (auto command = commands_.try_recv())
            (void)handle_commands(controller_, cells_.last_torque, std::move(*command), config_.allowed_retries,
                                  &cells_.stop, &motion_, seconds_since_epoch(env_.now()));
        cells_.motion.publish(motion_.snapshot(seconds_since_epoch(env_.now())));
    }

private:
    // Waits for the next due tick or queued command and serves one of them.
    void serve_one() {
        const auto due = schedule_.next_due();
        bool tick_ready = env_.now() >= due;
        bool command_ready = false;
        if (tick_ready) {
            command_ready = commands_.has_items();
        } else {
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
            if (auto command = commands_.try_recv()) execute(std::move(*command));
        }
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
        // reading: a failed read does not hold up a motion.
        const double now_s = seconds_since_epoch(tick_start);
        const auto neck_set_points = motion_.sample_on_loop_thread(now_s);
        auto reading = read_pos(controller_, config_.allowed_retries, &cells_.stop, neck_set_points);
        const auto read_end = env_.now();
        motion_.write_servo_goals_on_loop_thread(controller_);
        motion_.observe_reading_on_loop_thread(reading);
        const auto motion = motion_.snapshot(now_s);
        cells_.motion.publish(motion);
        cells_.recorder.tick_on_loop_thread(due, tick_start, read_end, env_.now(), config_.period, reading, motion_, motion);
        watch_reading(reading);
        {
            auto cell = cells_.last_position.lock();
            if (!cell.poisoned()) *cell = std::move(reading);  // a poisoned cell keeps its old value
        }

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
