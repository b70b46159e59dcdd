#include "control_loop/handle_commands.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "control_loop/retry.hpp"

namespace quorvel {
namespace {

using common::Err;

template <class... F>
struct overloaded : F... {
    using F::operator()...;
};
template <class... F>
overloaded(F...) -> overloaded<F...>;

// The flag stands for all servos, even when only some ids were switched. A
// poisoned cell keeps its content.
void store_torque(SharedCell<MotorResult<bool>>& last_torque, bool enabled) {
    auto cell = last_torque.lock();
    if (cell.poisoned()) return;
    *cell = enabled;
}

ControllerResult<void> then_store_torque(ControllerResult<void> result, SharedCell<MotorResult<bool>>& last_torque,
                                         bool enabled) {
    if (result) store_torque(last_torque, enabled);
    return result;
}

// A neck setter's result without the observed positions, which the loop does
// not report: the clamp and the checks are the controller's own.
template <class T>
ControllerResult<void> without_observed(ControllerResult<T> observed) {
    if (!observed) return Err{std::move(observed).error()};
    return {};
}

ControllerResult<void> read_raw_bytes(QuorvelMotorController& controller, motor_cmd::ReadRawBytes& cmd,
                                      std::uint64_t allowed_retries, common::StopSource* stop) {
    auto bytes = with_retry(allowed_retries, stop, [&] { return controller.read_raw_bytes(cmd.id, cmd.addr, cmd.length); });
    if (!bytes) return Err{std::move(bytes).error()};  // the reply is released unanswered
    // A caller that stopped waiting does not make the read a failure.
    cmd.reply.send(std::move(bytes).value());
    return {};
}

// A neck-only loop answers with the neck-only text (retrying cannot help);
// a failed bus read releases the reply unanswered, as for a raw read.
template <class T, class Read>
ControllerResult<void> read_status(QuorvelMotorController& controller, StatusReply<T>& reply, bool needs_port,
                                   std::uint64_t allowed_retries, common::StopSource* stop, Read&& read) {
    if (needs_port && !controller.has_serial_port()) {
        reply.send(common::Err{std::string(kNeckOnlyMessage)});
        return Err{ControllerError(std::string(kNeckOnlyMessage))};
    }
    auto status = with_retry(allowed_retries, stop, read);
    if (!status) return Err{std::move(status).error()};
    reply.send(std::move(status).value());
    return {};
}

ControllerResult<void> write_raw_packet(QuorvelMotorController& controller, motor_cmd::WriteRawPacket& cmd) {
    auto reply = controller.write_raw_packet(cmd.data);
    if (!reply) return Err{ControllerError(smartbus::Error(std::move(reply).error()))};
    if (!cmd.reply.send(std::move(reply).value())) return Err{ControllerError("sending on a closed channel")};
    return {};
}

}  // namespace

ControllerResult<void> handle_commands(QuorvelMotorController& controller, SharedCell<MotorResult<bool>>& last_torque,
                                       MotorCmd command, std::uint64_t allowed_retries, common::StopSource* stop) {
    namespace c = motor_cmd;
    return std::visit(
        overloaded{
            [&](c::SetAllGoalPositions& cmd) -> ControllerResult<void> {
                // The neck and the time stamp are ignored: the neck does not move.
                const auto& p = cmd.positions;
                return controller.set_all_goal_positions({p.left_arm[0], p.left_arm[1], p.right_arm[0],
                                                          p.right_arm[1], p.nose[0], p.nose[1], p.nose[2]});
            },
            [&](c::SetLeftArmPosition& cmd) { return controller.set_left_arm_position(cmd.position); },
            [&](c::SetRightArmPosition& cmd) { return controller.set_right_arm_position(cmd.position); },
            [&](c::SetArmsPosition& cmd) { return controller.set_arms_position(cmd.position); },
            [&](c::SetNosePosition& cmd) { return controller.set_nose_position(cmd.position); },
            [&](c::SetNeckPosition& cmd) { return without_observed(controller.set_neck_position(cmd.position)); },
            [&](c::SetNeckYawPosition& cmd) {
                return without_observed(controller.set_single_neck_joint(0, cmd.position));
            },
            [&](c::SetNeckPitchPosition& cmd) {
                return without_observed(controller.set_single_neck_joint(1, cmd.position));
            },
            [&](c::SetNeckRollPosition& cmd) {
                return without_observed(controller.set_single_neck_joint(2, cmd.position));
            },
            [&](c::EnableNeck& cmd) { return controller.enable_neck(cmd.enable); },
            [&](c::EnableTorque&) { return then_store_torque(controller.enable_torque(), last_torque, true); },
            [&](c::EnableTorqueOnIds& cmd) {
                return then_store_torque(controller.set_torque_on_ids(cmd.ids, true), last_torque, true);
            },
            [&](c::DisableTorque&) { return then_store_torque(controller.disable_torque(), last_torque, false); },
            [&](c::DisableTorqueOnIds& cmd) {
                return then_store_torque(controller.set_torque_on_ids(cmd.ids, false), last_torque, false);
            },
            [&](c::EnableArms& cmd) { return controller.enable_arms(cmd.enable); },
            [&](c::EnableNose& cmd) { return controller.enable_nose(cmd.enable); },
            [&](c::ReadRawBytes& cmd) { return read_raw_bytes(controller, cmd, allowed_retries, stop); },
            // One attempt; data that no packet can carry is refused by the
            // protocol handler as an ordinary error.
            [&](c::WriteRawBytes& cmd) { return controller.write_raw_bytes(cmd.id, cmd.addr, cmd.data); },
            [&](c::WriteRawPacket& cmd) { return write_raw_packet(controller, cmd); },
            [&](c::ReadServoStatus& cmd) {
                return read_status(controller, cmd.reply, true, allowed_retries, stop,
                                   [&] { return controller.read_servo_status(); });
            },
            [&](c::ReadNeckStatus& cmd) {
                // One attempt, as the periodic read asks the neck: the retry
                // rule is for serial time-outs, and no CAN error is one.
                return read_status(controller, cmd.reply, false, 1, stop,
                                   [&] { return controller.read_neck_status(); });
            },
        },
        command);
}

ControllerResult<void> check_command(const MotorCmd& command) {
    namespace c = motor_cmd;
    using Q = QuorvelMotorController;
    return std::visit(
        overloaded{
            [](const c::SetAllGoalPositions& cmd) {
                const auto& p = cmd.positions;
                return Q::check_all_goal_positions({p.left_arm[0], p.left_arm[1], p.right_arm[0], p.right_arm[1],
                                                    p.nose[0], p.nose[1], p.nose[2]});
            },
            [](const c::SetLeftArmPosition& cmd) { return Q::check_left_arm_position(cmd.position); },
            [](const c::SetRightArmPosition& cmd) { return Q::check_right_arm_position(cmd.position); },
            [](const c::SetArmsPosition& cmd) { return Q::check_arms_position(cmd.position); },
            [](const c::SetNosePosition& cmd) { return Q::check_nose_position(cmd.position); },
            [](const c::SetNeckPosition& cmd) { return Q::check_neck_position(cmd.position); },
            [](const c::SetNeckYawPosition& cmd) { return Q::check_single_neck_joint(0, cmd.position); },
            [](const c::SetNeckPitchPosition& cmd) { return Q::check_single_neck_joint(1, cmd.position); },
            [](const c::SetNeckRollPosition& cmd) { return Q::check_single_neck_joint(2, cmd.position); },
            [](const c::EnableTorqueOnIds& cmd) { return Q::check_torque_on_ids(cmd.ids); },
            [](const c::DisableTorqueOnIds& cmd) { return Q::check_torque_on_ids(cmd.ids); },
            [](const auto&) { return ControllerResult<void>{}; },
        },
        command);
}

}  // namespace quorvel
