// The loop body's timing, driven by a scripted clock on the test's own thread:
// the tick schedule, catching up after a stall, the statistics windows and the
// choice between a due tick and a queued command. Exact, whatever else the
// machine is doing. (Draining on close: loop_test.)
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "control_loop/loop_thread.hpp"
#include "sim_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using quorvel::LoopEnvironment;
using quorvel::MotorCmd;
using quorvel::QueueEvent;
using quorvel::QueueReceiver;
using Clock = LoopEnvironment::Clock;
namespace cmd = quorvel::motor_cmd;

// A clock that moves only when a wait lets it, and a fixed choice. Each wait
// first runs the test's script, which may move the clock, queue commands or
// end the run; unless the script answers the wait itself, a queued command is
// ready, and otherwise the clock moves on to the deadline.
class ScriptedEnvironment final : public LoopEnvironment {
public:
    Clock::time_point clock = Clock::time_point(1h);
    bool tick_first_choice = true;
    std::vector<Clock::time_point> deadlines;  // of every wait, in order
    std::function<std::optional<QueueEvent>(std::size_t wait)> script;

    Clock::time_point now() override { return clock; }
    QueueEvent wait_for_command(QueueReceiver<MotorCmd>& commands, Clock::time_point deadline) override {
        deadlines.push_back(deadline);
        if (script)
            if (auto event = script(deadlines.size() - 1)) return *event;
        if (commands.has_items()) return QueueEvent::Ready;
        clock = std::max(clock, deadline);
        return QueueEvent::Timeout;
    }
    void sleep_until(Clock::time_point deadline) override { clock = std::max(clock, deadline); }
    bool tick_first() override { return tick_first_choice; }
};

class LoopBody : public test_support::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        // One attempt per read (below): wide serial windows, so that a busy
        // machine's pseudo-terminal cannot turn a tick into a failed read.
        const quorvel::SerialTimings patient{std::chrono::milliseconds(100), std::chrono::milliseconds(100)};
        auto opened = quorvel::QuorvelMotorController::create(sim->serial_path(), sim->can_bus(), patient);
        ASSERT_TRUE(opened.ok()) << opened.error().message();
        controller.emplace(std::move(opened).value());
    }

    // Runs the body on this thread until the script ends the run.
    void run(std::chrono::nanoseconds period, std::optional<std::chrono::nanoseconds> stats_period = 1h) {
        const quorvel::LoopConfig config{period, stats_period, 1};
        quorvel::run_loop_body(*controller, queue.second, *cells, config, env);
    }
    // Ends the run: the body sees the stop once this wait returns.
    QueueEvent stop() {
        cells->stop.request_stop();
        return QueueEvent::Woken;
    }
    quorvel::ControlLoopStats stats() { return cells->last_stats->lock()->snapshot(); }
    std::size_t sync_reads() {
        std::size_t n = 0;
        for (const auto& entry : sim->serial_log()) n += entry.bytes.size() > 4 && entry.bytes[4] == 0x82 ? 1 : 0;
        return n;
    }

    std::optional<quorvel::QuorvelMotorController> controller;
    std::pair<quorvel::QueueSender<MotorCmd>, QueueReceiver<MotorCmd>> queue =
        quorvel::bounded_queue<MotorCmd>(100);
    // A stop is for good: a run after a stopped one needs new cells.
    static std::unique_ptr<quorvel::LoopCells> fresh_cells() {
        const auto failed = [] { return common::Err{quorvel::MotorError(quorvel::MotorError::CommunicationFailure{})}; };
        return std::make_unique<quorvel::LoopCells>(failed(), failed(), true);
    }
    std::unique_ptr<quorvel::LoopCells> cells = fresh_cells();
    ScriptedEnvironment env;
};

}  // namespace

TEST_F(LoopBody, TicksOnAFixedScheduleAndCatchesUpAfterAStall) {
    const Clock::time_point start = env.clock;
    env.script = [&](std::size_t wait) -> std::optional<QueueEvent> {
        if (wait == 2) {  // waiting for tick 3 (due at 30 ms), the host stalls until 75 ms
            env.clock = start + 75ms;
            return QueueEvent::Timeout;
        }
        if (wait == 4) return stop();
        return std::nullopt;
    };
    run(10ms);
    // Tick 0 at once; ticks 1 and 2 on time; after the stall ticks 3 to 7 back
    // to back, with no wait between them; then the schedule is met again.
    EXPECT_EQ(env.deadlines, (std::vector<Clock::time_point>{start + 10ms, start + 20ms, start + 30ms, start + 80ms,
                                                             start + 90ms}));
    const auto s = stats();
    ASSERT_EQ(s.period.size(), 9U);  // ticks 0 to 8
    const std::vector<double> expected{0.0, 0.010, 0.010, 0.055, 0.0, 0.0, 0.0, 0.0, 0.005};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(s.period[i], expected[i], 1e-9) << i;
    EXPECT_EQ(sync_reads(), 2 * 9U);  // two groups of servos per tick
}

TEST_F(LoopBody, PublishesReadAndWriteSamplesOncePerWindow) {
    const Clock::time_point start = env.clock;
    std::vector<std::size_t> published;  // read_dt samples visible at each wait
    env.script = [&](std::size_t wait) -> std::optional<QueueEvent> {
        published.push_back(stats().read_dt.size());
        if (wait == 1) {
            MotorCmd command = cmd::EnableArms{true};
            EXPECT_FALSE(queue.first.try_send(command));
        }
        if (wait == 7) return stop();
        return std::nullopt;
    };
    run(10ms, 25ms);
    // A window closes with the first tick more than 25 ms after it opened:
    // tick 3 (30 ms) publishes ticks 0-3, tick 6 (60 ms) ticks 4-6.
    EXPECT_EQ(published, (std::vector<std::size_t>{0, 0, 0, 0, 4, 4, 4, 7}));
    EXPECT_EQ(stats().write_dt.size(), 1U);  // the command, published with tick 3
    EXPECT_EQ(env.deadlines.front(), start + 10ms);
}

TEST_F(LoopBody, TheChoiceDecidesBetweenADueTickAndAQueuedCommand) {
    for (const bool tick_first : {true, false}) {
        sim->clear_logs();
        env.deadlines.clear();
        env.tick_first_choice = tick_first;
        env.script = [&](std::size_t wait) -> std::optional<QueueEvent> {
            if (wait == 0) {  // the tick falls due just as a command arrives
                MotorCmd command = cmd::EnableArms{true};
                EXPECT_FALSE(queue.first.try_send(command));
                env.clock += 10ms;
                return QueueEvent::Ready;
            }
            return stop();
        };
        run(10ms);
        // The ticks' sync reads (0x82) and the command's sync write (0x83), in the
        // order served. A sync write gets no reply: wait until the servos have it.
        std::vector<std::uint8_t> order;
        test_support::eventually([&] {
            order.clear();
            for (const auto& entry : sim->serial_log())
                if (entry.bytes.size() > 4 && (entry.bytes[4] == 0x82 || entry.bytes[4] == 0x83))
                    order.push_back(entry.bytes[4]);
            return order.size() == 5;
        });
        // Tick 0 first in either case (nothing queued yet), then the choice.
        const std::vector<std::uint8_t> expected = tick_first
            ? std::vector<std::uint8_t>{0x82, 0x82, 0x82, 0x82, 0x83}
            : std::vector<std::uint8_t>{0x82, 0x82, 0x83, 0x82, 0x82};
        EXPECT_EQ(order, expected) << "tick first: " << tick_first;
        cells = fresh_cells();
    }
}
