// A virtual torso and a control loop started on it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "control_loop/control_loop.hpp"
#include "torso_sim/torso_sim.hpp"

namespace test_support {

using namespace std::chrono_literals;

struct LoopSettings {
    bool with_serial = true;
    std::chrono::nanoseconds period = 10ms;
    std::optional<std::chrono::nanoseconds> stats_pub_period;
    std::uint64_t allowed_retries = 5;
    std::chrono::nanoseconds voltage_timeout = 30s;
};

// Polls `condition` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim = torso_sim::TorsoSim::start();
        ASSERT_TRUE(sim);
    }

    common::Result<std::unique_ptr<quorvel::QuorvelControlLoop>, quorvel::ControlLoopError> try_start(
        const LoopSettings& s = {}) {
        return quorvel::QuorvelControlLoop::create(
            s.with_serial ? std::optional<std::string>(sim->serial_path()) : std::nullopt, sim->can_bus(), s.period,
            s.stats_pub_period, s.allowed_retries, s.voltage_timeout);
    }

    // Starts a loop that must start.
    std::unique_ptr<quorvel::QuorvelControlLoop> start(const LoopSettings& s = {}) {
        auto loop = try_start(s);
        EXPECT_TRUE(loop.ok()) << (loop.ok() ? "" : loop.error().message());
        return loop.ok() ? std::move(loop).value() : nullptr;
    }

    // The error of a start that must fail.
    std::string start_error(const LoopSettings& s = {}) {
        auto loop = try_start(s);
        EXPECT_FALSE(loop.ok());
        return loop.ok() ? std::string() : loop.error().message();
    }

    std::unique_ptr<torso_sim::TorsoSim> sim;
};

}  // namespace test_support
