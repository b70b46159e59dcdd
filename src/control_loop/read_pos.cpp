#include "control_loop/read_pos.hpp"

#include "control_loop/retry.hpp"

namespace quorvel {
namespace {

// The loop's text for any failed read; the cause, if a system call failed,
// says which device and why.
MotorError communication_failure(const ControllerError& error) {
    MotorError failure(MotorError::CommunicationFailure{});
    failure.set_os_cause(error.os_cause());
    return failure;
}

}  // namespace

MotorResult<QuorvelTorsoPosition> read_pos(QuorvelMotorController& controller, std::uint64_t allowed_retries,
                                           common::StopSource* stop) {
    std::array<double, 7> servos{};  // a neck-only loop reports zeros
    if (controller.has_serial_port()) {
        auto read = with_retry(allowed_retries, stop, [&] { return controller.read_all_positions(); });
        if (!read) return common::Err{communication_failure(read.error())};
        servos = read.value();
    }
    auto neck = controller.read_neck_positions();
    if (!neck) return common::Err{communication_failure(neck.error())};
    return QuorvelTorsoPosition::from_servos(servos, neck.value());
}

}  // namespace quorvel
