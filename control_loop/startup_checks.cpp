#include "control_loop/startup_checks.hpp"

#include <algorithm>
#include <array>
#include <vector>

#include "common/format.hpp"
#include "common/log.hpp"
#include "control_loop/log_origin.hpp"
#include "control_loop/retry.hpp"

namespace quorvel {
namespace {

using common::Err;
using common::log::Level;
using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kMinimumSupply = 110;  // tenths of a volt
constexpr auto kVoltagePollPeriod = std::chrono::milliseconds(100);
constexpr auto kRebootTimeout = std::chrono::seconds(1);

MotorError communication_failure() { return MotorError(MotorError::CommunicationFailure{}); }
using quorvel::communication_failure;  // the overload that keeps a bus error's device and motor

MotorResult<std::array<std::uint8_t, 7>> read_voltages(QuorvelMotorController& controller,
                                                       std::uint64_t allowed_retries, common::StopSource* stop) {
    auto voltages = with_retry(allowed_retries, stop, [&] { return controller.read_all_voltages(); });
    if (!voltages) return Err{communication_failure(voltages.error())};
    return voltages.value();
}

std::uint8_t lowest(const std::array<std::uint8_t, 7>& voltages) {
    return *std::min_element(voltages.begin(), voltages.end());
}

}  // namespace

MotorResult<void> check_presence(QuorvelMotorController& controller,
                                 const std::unordered_map<std::string, std::uint8_t>& names,
                                 common::StopSource* stop) {
    if (controller.has_serial_port()) {
        const std::vector<std::uint8_t> missing = controller.check_missing_ids(stop);
        if (common::stop_requested(stop)) return Err{communication_failure()};  // the list is incomplete
        if (missing.size() == kServoIds.size()) return Err{MotorError(MotorError::NoMotorsDetected{})};
        if (!missing.empty()) {
            MotorError::MissingMotors error;
            for (std::uint8_t id : missing) {
                const auto named = std::find_if(names.begin(), names.end(),
                                                [id](const auto& entry) { return entry.second == id; });
                error.names.push_back(named != names.end() ? named->first
                                                           : "Unknown(" + std::to_string(id) + ")");
            }
            return Err{MotorError(std::move(error))};
        }
    }
    auto missing_neck = controller.check_missing_neck_motors();
    if (!missing_neck.empty()) return Err{MotorError(MotorError::MissingMotors{std::move(missing_neck)})};
    return {};
}

MotorResult<void> await_supply_and_reboot(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                          std::chrono::nanoseconds timeout, common::StopSource* stop) {
    QMC_LOG(Level::Info, kControlLoopLogOrigin, "Waiting for voltage to be stable at 12V...");
    auto voltages = read_voltages(controller, allowed_retries, stop);
    if (!voltages) return Err{std::move(voltages).error()};
    const auto start = Clock::now();
    while (lowest(*voltages) < kMinimumSupply && Clock::now() - start < timeout) {
        if (!common::sleep_unless_stopped(stop, kVoltagePollPeriod)) return Err{communication_failure()};
        voltages = read_voltages(controller, allowed_retries, stop);
        if (!voltages) return Err{std::move(voltages).error()};
    }
    if (lowest(*voltages) < kMinimumSupply)
        return Err{MotorError(MotorError::VoltageTimeout{lowest(*voltages), timeout})};
    QMC_LOG(Level::Info, kControlLoopLogOrigin,
            "Voltage is stable at ~12V: " +
                common::debug_list(*voltages, [](std::uint8_t v) { return std::to_string(v); }) + " (took " +
                common::duration_text(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)) +
                ")");

    if (auto rebooted = controller.reboot(kRebootTimeout, stop); !rebooted)
        return Err{communication_failure(rebooted.error())};
    return {};
}

MotorResult<bool> first_torque_state(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                     common::StopSource* stop) {
    if (!controller.has_serial_port()) return false;
    auto enabled = with_retry(allowed_retries, stop, [&] { return controller.is_torque_enabled(); });
    if (!enabled) return Err{communication_failure(enabled.error())};
    return enabled.value();
}

}  // namespace quorvel
