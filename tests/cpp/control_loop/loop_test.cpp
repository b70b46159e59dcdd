// The running loop: its tick schedule, statistics, retries, draining and close.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <string>
#include <numeric>
#include <vector>

#include "log_capture.hpp"
#include "sim_fixture.hpp"

using namespace std::chrono_literals;
using quorvel::MotorCmd;
using quorvel::SendError;
using test_support::eventually;
using test_support::LoopSettings;
namespace cmd = quorvel::motor_cmd;
using Clock = std::chrono::steady_clock;

class Loop : public test_support::SimTest {};


TEST_F(Loop, PublishesStatisticsWhileItRuns) {
    // The timing itself is checked exactly with a scripted clock (loop_body_test).
    LoopSettings settings;
    settings.period = 10ms;
    settings.stats_pub_period = 50ms;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    ASSERT_TRUE(eventually([&] { return loop->get_stats()->read_dt.size() >= 3; }));
    const auto stats = *loop->get_stats();
    EXPECT_LE(stats.read_dt.size(), stats.period.size());
    for (std::size_t i = 0; i < stats.period.size(); ++i) EXPECT_GE(stats.period[i], 0.0);

    // A successful command adds a write_dt sample at the next publication.
    const auto writes = stats.write_dt.size();
    EXPECT_FALSE(loop->send_command(cmd::EnableArms{true}));
    EXPECT_TRUE(eventually([&] { return loop->get_stats()->write_dt.size() == writes + 1; }));
}

TEST_F(Loop, ReadFailuresAreRetriedAndReported) {
    test_support::clear_captured_records();
    LoopSettings settings;
    settings.period = 20ms;
    auto loop = start(settings);
    ASSERT_TRUE(loop);

    // The last servo of a sync read stays silent: the read times out...
    sim->set_servo_silent(7, true);
    std::this_thread::sleep_for(60ms);
    sim->set_servo_silent(7, false);  // ...and recovers within the five attempts
    ASSERT_TRUE(eventually([] { return !test_support::records_starting_with("Serial I/O recovered after ").empty(); }));
    auto recovered = test_support::records_starting_with("Serial I/O recovered after ");
    EXPECT_EQ(recovered[0].origin, "quorvel_motor_controller::control_loop");
    EXPECT_TRUE(loop->get_last_position().ok());
    loop.reset();

    settings.allowed_retries = 1;
    loop = start(settings);
    ASSERT_TRUE(loop);
    sim->set_servo_silent(7, true);
    ASSERT_TRUE(eventually([&] { return !loop->get_last_position().ok(); }));
    EXPECT_EQ(loop->get_last_position().error().message(),
              "Motor communication error! Check connections and power supply.");
    sim->set_servo_silent(7, false);
    EXPECT_TRUE(eventually([&] { return loop->get_last_position().ok(); }));
}

TEST_F(Loop, CloseDrainsTheQueueThenRefusesCommands) {
    LoopSettings settings;
    settings.period = 200ms;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    EXPECT_FALSE(loop->send_command(cmd::EnableNeck{true}));  // a disabled motor ignores set-points
    ASSERT_TRUE(eventually([&] { return sim->neck_state(0).enabled; }));
    sim->clear_logs();
    constexpr int kCommands = 40;
    for (int i = 1; i <= kCommands; ++i) EXPECT_FALSE(loop->send_command(cmd::SetNeckJointPosition{0, 0.01 * i}));
    loop->close();
    EXPECT_NEAR(sim->neck_state(0).commanded_position, 0.01 * kCommands, 1e-4);
    int yaw_frames = 0;
    for (const auto& frame : sim->can_log()) yaw_frames += frame.id == 1 ? 1 : 0;
    EXPECT_EQ(yaw_frames, kCommands);

    loop->close();  // a second close returns at once
    MotorCmd refused = cmd::EnableArms{true};
    EXPECT_EQ(loop->try_send_command(refused), SendError::Closed);
    EXPECT_EQ(loop->send_command(cmd::EnableTorque{}), SendError::Closed);
    EXPECT_TRUE(loop->get_last_position().ok());  // the last values stay readable
    EXPECT_TRUE(loop->is_torque_enabled().ok());
    EXPECT_EQ(loop->async_read_raw_bytes(1, 56, 2).error().message(),
              "Motor communication error! Check connections and power supply.");
}

TEST_F(Loop, CloseWakesAnIdleLoopAndDestructionCloses) {
    LoopSettings settings;
    settings.period = 5s;
    auto loop = start(settings);
    ASSERT_TRUE(loop);
    const auto begin = Clock::now();
    loop.reset();  // destruction stops and joins the thread
    EXPECT_LT(Clock::now() - begin, 2s);
}

namespace {
// The blocked-signal mask of every thread of this process but the caller, read from /proc.
std::vector<unsigned long long> other_threads_blocked_masks() {
    std::vector<unsigned long long> masks;
    const std::string self = std::to_string(gettid());
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == self) continue;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("SigBlk:", 0) == 0) masks.push_back(std::stoull(line.substr(7), nullptr, 16));
    }
    return masks;
}

bool blocks(unsigned long long mask, int signal) { return (mask >> (signal - 1)) & 1U; }
}  // namespace

TEST_F(Loop, TheLoopThreadTakesNoSignalsAndTheCallersMaskIsKept) {
    auto loop = start();
    ASSERT_TRUE(loop);
    // Once the loop thread has published a reading of its own it runs with the mask
    // it inherited (a thread just made by the C library blocks everything until it starts).
    const double first = loop->get_last_position().value().timestamp;
    ASSERT_TRUE(eventually([&] {
        auto position = loop->get_last_position();
        return position.ok() && position.value().timestamp != first;
    }));
    // Ctrl-C must reach the host program's threads, never the loop thread (nor the simulator's).
    const auto masks = other_threads_blocked_masks();
    ASSERT_GE(masks.size(), 3U);
    for (const auto mask : masks) {
        EXPECT_TRUE(blocks(mask, SIGINT));
        EXPECT_TRUE(blocks(mask, SIGTERM));
    }
    sigset_t own;
    pthread_sigmask(SIG_SETMASK, nullptr, &own);
    EXPECT_FALSE(sigismember(&own, SIGINT));
}
