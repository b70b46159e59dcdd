// Shared test fixture: a virtual torso, a controller on it, and a log sink
// that keeps every record the process writes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/log.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "torso_sim/torso_sim.hpp"

namespace quorvel::testing {

class CapturingSink final : public common::log::Sink {
public:
    bool enabled(common::log::Level, std::string_view) const override { return true; }
    void write(const common::log::Record& record) noexcept override {
        std::lock_guard lock(mutex_);
        if (record.origin == kControllerLogOrigin && record.level == common::log::Level::Warn)
            warnings_.emplace_back(record.message);
    }
    std::vector<std::string> take_warnings() {
        std::lock_guard lock(mutex_);
        return std::exchange(warnings_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> warnings_;
};

// Installed once for the whole test binary.
inline CapturingSink& log_sink() {
    static CapturingSink sink;
    static const bool installed = common::log::install_sink(&sink);
    (void)installed;
    return sink;
}

// These tests are about what the controller sends and makes of the answers,
// not about how soon an answer comes: a pseudo-terminal on a busy machine can
// hold a reply past the servos' 10 ms, so the serial windows are wide here.
// Tests of the windows themselves make a controller with the defaults.
inline constexpr SerialTimings kPatientSerial{std::chrono::milliseconds(100), std::chrono::milliseconds(100)};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        log_sink();
        sim = torso_sim::TorsoSim::start();
        ASSERT_NE(sim, nullptr);
        auto created = QuorvelMotorController::create(sim->serial_path(), sim->can_bus(), kPatientSerial);
        ASSERT_TRUE(created.ok()) << created.error().message();
        ctl.emplace(std::move(created).value());
        sim->clear_logs();
        log_sink().take_warnings();
    }

    // Sync writes expect no reply: a round trip makes sure the simulator has
    // handled everything sent before it (it handles packets in order).
    void barrier() { ASSERT_TRUE(ctl->read_raw_bytes(1, 0, 1).ok()); }

    // Packets the host sent, in order.
    std::vector<std::vector<std::uint8_t>> serial_packets() const {
        std::vector<std::vector<std::uint8_t>> out;
        for (auto& entry : sim->serial_log()) out.push_back(entry.bytes);
        return out;
    }

    std::unique_ptr<torso_sim::TorsoSim> sim;
    std::optional<QuorvelMotorController> ctl;
};

// Ids addressed by a Feetech sync write packet (FF FF FE len 83 addr width {id data...}... sum).
inline std::vector<std::uint8_t> sync_write_ids(const std::vector<std::uint8_t>& packet) {
    std::vector<std::uint8_t> ids;
    if (packet.size() < 8 || packet[4] != 0x83) return ids;
    const std::size_t width = packet[6];
    for (std::size_t i = 7; i + width + 1 < packet.size(); i += width + 1) ids.push_back(packet[i]);
    return ids;
}

}  // namespace quorvel::testing
