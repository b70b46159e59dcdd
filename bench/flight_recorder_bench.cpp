// The loop thread's cost of recording a tick: timing, reading and the set
// points of all ten joints, with a writer draining on another thread. Prints
// nanoseconds per tick, recording on and off.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "control_loop/flight_recorder.hpp"

using namespace quorvel;
using Clock = std::chrono::steady_clock;

namespace {

double ns_per_tick(FlightRecorder& recorder, const MotionRunner& runner, int ticks) {
    QuorvelTorsoPosition position;
    position.timestamp = 1.0;
    const common::Result<QuorvelTorsoPosition, MotorError> reading(position);
    MotionSnapshot snapshot;
    snapshot.active.set();
    const auto start = Clock::now();
    for (int i = 0; i < ticks; ++i) {
        const auto t = Clock::now();
        recorder.tick_on_loop_thread(t, t, t, t, std::chrono::milliseconds(2), reading, runner, snapshot);
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / ticks;
}

}  // namespace

int main() {
    constexpr int kTicks = 500000;
    FlightRecorder recorder;
    MotionRunner runner;  // nothing sampled: the set points record is left out
    std::printf("recording off: %.0f ns per tick\n", ns_per_tick(recorder, runner, kTicks));
    recorder.start();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<FlightRecord> batch(4096);
        while (!done.load()) {
            if (recorder.take(batch.data(), batch.size()) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::printf("recording on:  %.0f ns per tick (timing + reading records, writer draining)\n",
                ns_per_tick(recorder, runner, kTicks));
    done.store(true);
    writer.join();
    std::printf("dropped while benchmarking (the writer sleeps 1 ms when empty): %llu\n",
                static_cast<unsigned long long>(recorder.dropped()));
    recorder.stop();
}
