// Construction of the controller and the start-up operations: presence
// checks, supply voltages and the reboot of all servos.
#include "controller/quorvel_motor_controller.hpp"

#include <chrono>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "common/log.hpp"
#include "detail/controller_state.hpp"
#include "smartbus/feetech_servo.hpp"

namespace quorvel {

namespace {

using common::Err;
using common::log::Level;

// Pause between the polling passes of a reboot.
constexpr auto kRebootPollPeriod = std::chrono::milliseconds(100);

std::string servo_name(std::uint8_t id) {
    const ServoJoint* joint = servo_joint_by_id(id);
    return joint ? std::string(joint->name) : std::string();
}

// The bus links reopen a lost device by themselves and tell of it; the
// controller keeps the records: one warning per loss ("<lost> (<reason>);
// <retrying> at most every 500 ms"), one info record when it is back
// ("<device> is back").
common::LinkEventHandler link_records(std::string lost, std::string retrying, std::string device) {
    return [lost = std::move(lost), retrying = std::move(retrying),
            device = std::move(device)](const common::LinkEvent& event) {
        if (event.kind == common::LinkEvent::Kind::Lost) {
            QMC_LOG(Level::Warn, kControllerLogOrigin,
                    lost + " (" + event.reason + "); " + retrying + " at most every " +
                        std::to_string(common::kReopenInterval.count()) + " ms");
        } else {
            QMC_LOG(Level::Info, kControllerLogOrigin, device + " is back");
        }
    };
}

}  // namespace

ControllerResult<QuorvelMotorController> QuorvelMotorController::create(const std::optional<std::string>& serialport,
                                                                       const std::string& can_bus,
                                                                       SerialTimings timings,
                                                                       PositionRead position_read) {
    std::unique_ptr<smartbus::ReconnectingSerialPort> port;
    if (serialport) {
        auto opened = smartbus::ReconnectingSerialPort::open(
            *serialport, timings.reply_timeout,
            link_records("Lost the serial port " + *serialport, "reopening it", "Serial port " + *serialport));
        if (!opened) return Err{ControllerError(std::move(opened).error())};
        port = std::move(opened).value();
    }

    auto can = candrive::ReconnectingCanBus::open(
        can_bus, link_records("Lost the CAN bus " + can_bus, "reconnecting", "CAN bus " + can_bus));
    if (!can) {
        port.reset();  // release the port (and its lock) before reporting
        ControllerError failure("failed to open CAN bus '" + can_bus + "': " + can.error().message());
        return Err{std::move(failure.set_os_cause(common::os_cause(can.error().os_error(), can_bus)))};
    }

    std::array<std::optional<candrive::damiao::Damiao>, 3> motors;
    for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
        const NeckJoint& joint = kNeckJoints[i];
        motors[i] = candrive::damiao::Damiao::create(joint.esc_id, joint.mst_id, joint.timeout, joint.limits);
        if (!motors[i])  // only a broken motor table gets here
            return Err{ControllerError("invalid MIT limits for " + std::string(joint.name))};
    }

    auto state = std::make_unique<State>(std::array<candrive::damiao::Damiao, 3>{*motors[0], *motors[1], *motors[2]},
                                         std::move(port), std::move(can).value(), timings.raw_reply_window);
    state->position_read = position_read;
    return QuorvelMotorController(std::move(state));
}

QuorvelMotorController::QuorvelMotorController(std::unique_ptr<State> state) : state_(std::move(state)) {}
QuorvelMotorController::QuorvelMotorController(QuorvelMotorController&&) noexcept = default;
QuorvelMotorController& QuorvelMotorController::operator=(QuorvelMotorController&&) noexcept = default;
QuorvelMotorController::~QuorvelMotorController() = default;

std::unordered_map<std::string, std::uint8_t> QuorvelMotorController::get_motor_name_id() {
    std::unordered_map<std::string, std::uint8_t> map;
    for (const auto& joint : kServoJoints) map.emplace(std::string(joint.name), joint.id);
    return map;
}

bool QuorvelMotorController::has_serial_port() const { return state_->serial_port != nullptr; }

std::string_view QuorvelMotorController::serial_device() const {
    return state_->serial_port ? std::string_view(state_->serial_port->path()) : std::string_view{};
}

std::string_view QuorvelMotorController::can_interface() const { return state_->can_transport.name(); }

std::vector<std::uint8_t> QuorvelMotorController::check_missing_ids(common::StopSource* stop) {
    std::vector<std::uint8_t> missing;
    if (!state_->serial_port) return missing;
    for (std::uint8_t id : kServoIds) {
        if (common::stop_requested(stop)) break;
        auto answered = state_->servo_protocol.ping(*state_->serial_port, id);
        if (!answered.ok() || !answered.value()) missing.push_back(id);
    }
    return missing;
}

std::vector<std::string> QuorvelMotorController::check_missing_neck_motors() {
    std::vector<std::string> missing;
    for (std::size_t i = 0; i < kNeckJoints.size(); ++i) {
        if (!state_->neck_motors[i].request_feedback(state_->can_transport).ok())
            missing.emplace_back(kNeckJoints[i].name);
    }
    return missing;
}

ControllerResult<std::array<std::uint8_t, 7>> QuorvelMotorController::read_all_voltages() {
    auto port = state_->require_port();
    if (!port) return Err{std::move(port).error()};
    return detail::read_arms_then_nose<std::uint8_t>(state_->servo_protocol, **port,
                                                     smartbus::feetech_servo::sync_read_present_voltage,
                                                     "read_all_voltages");
}

ControllerResult<void> QuorvelMotorController::reboot(std::chrono::nanoseconds timeout, common::StopSource* stop) {
    if (!state_->serial_port) return {};
    smartbus::SerialPort& port = *state_->serial_port;
    auto& handler = state_->servo_protocol;

    for (std::uint8_t id : kServoIds) {
        QMC_LOG(Level::Warn, kControllerLogOrigin,
                "Rebooting motor " + servo_name(id) + " (id=" + std::to_string(id) + ")");
        // Whether the servo acknowledged is irrelevant: it answers pings once it is back.
        auto sent = handler.reboot(port, id);
        if (!sent) return Err{ControllerError(std::move(sent).error())};
    }

    std::vector<std::uint8_t> pending(kServoIds.begin(), kServoIds.end());
    const auto start = std::chrono::steady_clock::now();
    while (!pending.empty()) {
        if (std::chrono::steady_clock::now() - start >= timeout) {
            std::vector<std::string> names;
            for (std::uint8_t id : pending) {
                names.push_back(servo_name(id));
                QMC_LOG(Level::Warn, kControllerLogOrigin,
                        "Motor " + names.back() + " (id=" + std::to_string(id) +
                            ") did not respond after reboot within timeout");
            }
            return Err{ControllerError(
                "Some motors did not respond after reboot (" +
                common::debug_list(names, [](const std::string& name) { return common::quoted(name); }) +
                " - ids: " + common::debug_list(pending, [](std::uint8_t id) { return common::int_text(id); }) +
                ")")};
        }
        if (!common::sleep_unless_stopped(stop, kRebootPollPeriod)) return Err{ControllerError::interrupted("reboot")};
        std::vector<std::uint8_t> still_silent;
        for (std::uint8_t id : pending) {
            if (common::stop_requested(stop)) return Err{ControllerError::interrupted("reboot")};
            auto answered = handler.ping(port, id);
            if (!answered.ok() || !answered.value()) still_silent.push_back(id);
        }
        pending = std::move(still_silent);
    }
    return {};
}

}  // namespace quorvel
