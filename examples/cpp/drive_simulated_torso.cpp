// Drives the virtual torso from C++ alone: starts the simulator, opens the
// controller on its serial port and CAN bus, reads every joint, moves the
// left arm, homes a neck that starts a turn away from zero, and prints what
// happened. Exits 0 when every step did what it should, 1 otherwise.
//
//   ./drive_simulated_torso
//
// To drive real hardware instead, replace the simulator by the device names:
//   QuorvelMotorController::create(std::string("/dev/ttyUSB0"), "can0")

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "common/log.hpp"
#include "controller/motor_tables.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "torso_sim/torso_sim.hpp"

namespace {

// Prints the controller's warnings (neck clamps, servo reboots) on stderr.
class StderrSink final : public common::log::Sink {
public:
    bool enabled(common::log::Level level, std::string_view) const override {
        return level <= common::log::Level::Warn;
    }
    void write(const common::log::Record& record) noexcept override {
        std::fprintf(stderr, "[%.*s] %.*s\n", static_cast<int>(record.origin.size()), record.origin.data(),
                     static_cast<int>(record.message.size()), record.message.data());
    }
};

template <std::size_t N>
std::string radians_text(const std::array<double, N>& values) {
    std::string text = "[";
    char buffer[32];
    for (std::size_t i = 0; i < N; ++i) {
        std::snprintf(buffer, sizeof buffer, "%s%+.3f", i == 0 ? "" : ", ", values[i]);
        text += buffer;
    }
    return text + "]";
}

// Reports a failed step and tells main to stop.
bool failed(std::string_view step, const std::string& message) {
    std::cerr << step << " failed: " << message << "\n";
    return false;
}

bool run() {
    // A neck left a full turn (and a bit) away from zero, as a multi-turn
    // counter can be after the head was turned by hand.
    torso_sim::Options options;
    options.neck_positions = {6.1, -0.2, 3.2};
    std::string error;
    auto sim = torso_sim::TorsoSim::start(options, &error);
    if (!sim) return failed("starting the simulator", error);
    sim->set_servo_speed(3.0);  // servos travel at 3 rad/s instead of arriving at once
    std::cout << "simulated torso: serial " << sim->serial_path() << ", CAN " << sim->can_bus() << "\n";

    auto created = quorvel::QuorvelMotorController::create(sim->serial_path(), sim->can_bus());
    if (!created) return failed("opening the controller", created.error().message());
    quorvel::QuorvelMotorController& torso = created.value();

    // Every motor answers?
    const auto missing = torso.check_missing_ids();
    const auto missing_neck = torso.check_missing_neck_motors();
    if (!missing.empty() || !missing_neck.empty())
        return failed("presence check", std::to_string(missing.size() + missing_neck.size()) + " motors silent");

    auto servos = torso.read_all_positions();
    if (!servos) return failed("read_all_positions", servos.error().message());
    std::cout << "servo positions (rad):\n";
    for (std::size_t i = 0; i < quorvel::kServoJoints.size(); ++i)
        std::printf("  %-16s id %u  %+.3f\n", std::string(quorvel::kServoJoints[i].name).c_str(),
                    static_cast<unsigned>(quorvel::kServoJoints[i].id), servos.value()[i]);
    auto neck = torso.read_neck_positions();
    if (!neck) return failed("read_neck_positions", neck.error().message());
    std::cout << "neck positions (rad, yaw/pitch/roll): " << radians_text(neck.value()) << "\n";

    // Move the left arm: hold where it is, switch torque on, then go to the goal.
    const std::array<double, 2> left_arm_goal{0.5, -0.3};
    if (auto hold = torso.set_all_goal_positions(servos.value()); !hold)
        return failed("set_all_goal_positions", hold.error().message());
    if (auto on = torso.enable_torque(); !on) return failed("enable_torque", on.error().message());
    if (auto move = torso.set_left_arm_position(left_arm_goal); !move)
        return failed("set_left_arm_position", move.error().message());
    std::array<double, 7> now{};
    for (int attempt = 0; attempt < 100; ++attempt) {  // at most about 2 s
        auto read = torso.read_all_positions();
        if (!read) return failed("read_all_positions", read.error().message());
        now = read.value();
        if (std::abs(now[0] - left_arm_goal[0]) < 0.01 && std::abs(now[1] - left_arm_goal[1]) < 0.01) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::cout << "left arm commanded " << radians_text(left_arm_goal) << ", reached "
              << radians_text(std::array<double, 2>{now[0], now[1]}) << "\n";
    if (std::abs(now[0] - left_arm_goal[0]) >= 0.01 || std::abs(now[1] - left_arm_goal[1]) >= 0.01)
        return failed("moving the left arm", "the arm did not reach its goal");

    // Home the neck: each joint goes to the multiple of 2 pi nearest to it.
    std::cout << "homing the neck from " << radians_text(neck.value()) << " ...\n";
    auto homed = torso.neck_home(/*speed=*/2.0, /*tolerance=*/0.05, std::nullopt, std::nullopt);
    if (!homed) return failed("neck_home", homed.error().message());
    // The start [6.1, -0.2, 3.2] is nearest to [2 pi, 0, 2 pi]: one turn, none, one turn.
    constexpr double turn = 2 * std::numbers::pi;
    const std::array<double, 3> expected{turn, 0.0, turn};
    std::cout << "neck homed at " << radians_text(homed.value()) << " (goals " << radians_text(expected) << ")\n";
    for (std::size_t i = 0; i < 3; ++i)
        if (std::abs(homed.value()[i] - expected[i]) >= 0.05)
            return failed("neck_home", "a joint did not settle at its nearest zero");

    // Leave everything limp, as a program that is about to exit should.
    if (auto off = torso.disable_torque(); !off) return failed("disable_torque", off.error().message());
    if (auto off = torso.enable_neck(false); !off) return failed("enable_neck(false)", off.error().message());
    std::cout << "torque off; done\n";
    return true;
}

}  // namespace

int main() {
    static StderrSink sink;
    common::log::install_sink(&sink);
    common::log::set_max_level(common::log::Level::Warn);
    return run() ? 0 : 1;
}
