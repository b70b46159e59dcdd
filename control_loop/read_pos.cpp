#include "control_loop/read_pos.hpp"

#include "control_loop/retry.hpp"

#include <algorithm>
#include <optional>
#include <utility>

namespace quorvel {

ControllerResult<std::array<double, 7>> read_servo_positions(QuorvelMotorController& controller,
                                                             std::uint64_t allowed_retries, common::StopSource* stop) {
    if (!controller.has_serial_port()) return std::array<double, 7>{};  // a neck-only loop reports zeros
    return with_retry(allowed_retries, stop, [&] { return controller.read_all_positions(); });
}

MotorResult<QuorvelTorsoPosition> combine_reading(ControllerResult<std::array<double, 7>> servos,
                                                  const ControllerResult<std::array<double, 3>>& neck) {
    // The cause is the first failure's; the motors at fault are those of both buses.
    if (!servos) {
        MotorError failure = communication_failure(servos.error());
        if (!neck) failure.add_motor_at_fault(neck.error().motor_at_fault());
        return common::Err{std::move(failure)};
    }
    if (!neck) return common::Err{communication_failure(neck.error())};
    return QuorvelTorsoPosition::from_servos(servos.value(), neck.value());
}

MotorResult<QuorvelTorsoPosition> read_pos(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                           common::StopSource* stop,
                                           const std::array<std::optional<NeckSetPoint>, 3>& neck_set_points) {
    // The neck's answers travel while the servos are read: a tick takes the
    // slower bus's time, not the sum of both.
    const bool commanding = std::any_of(neck_set_points.begin(), neck_set_points.end(),
                                        [](const auto& set_point) { return set_point.has_value(); });
    auto neck_feedback =
        commanding ? controller.start_neck_exchange(neck_set_points) : controller.start_neck_feedback();
    auto servos = read_servo_positions(controller, allowed_retries, stop);
    // Collected even after a failed servo read, so that no answer is left to come late.
    auto neck = controller.finish_neck_feedback(std::move(neck_feedback));
    return combine_reading(std::move(servos), neck);
}

}  // namespace quorvel
