// set_arm_home: makes the present arm pose the new zero by rewriting the
// SM40BL position offsets in EEPROM, then checks the result by reading back.
#include <cmath>
#include <string>
#include <utility>

#include "common/format.hpp"
#include "detail/controller_state.hpp"
#include "controller/quorvel_motor_controller.hpp"
#include "smartbus/sm40bl.hpp"

namespace quorvel {

namespace {

using common::Err;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;

// Into [-pi, pi] by whole turns.
double wrap_to_pi(double angle) {
    while (angle > kPi) angle -= kTwoPi;
    while (angle < -kPi) angle += kTwoPi;
    return angle;
}

std::string signed_list(const std::array<double, 4>& values) {
    return common::debug_list(values, [](double v) { return common::fixed(v, 4, true); });
}

ControllerError serial_error(smartbus::Error error) { return ControllerError(std::move(error)); }

}  // namespace

ControllerResult<std::array<double, 4>> QuorvelMotorController::set_arm_home(double verify_tol) {
    if (!(verify_tol > 0.0))  // NaN included
        return Err{ControllerError("set_arm_home: verify_tol must be positive, got " +
                                   common::float_display(verify_tol))};
    // An infinite tolerance would pass any verification: the EEPROM offsets
    // would be rewritten with nothing to catch a wrong sign convention.
    QMC_TRY(detail::require_finite("set_arm_home", "verify_tol", verify_tol));
    QMC_TRY(state_->require_port());
    auto& port = *state_->serial_port;
    auto& handler = state_->servo_protocol;
    using namespace smartbus::feetech_servo;
    using namespace smartbus::sm40bl;

    // The arms stay torque-off whatever happens after this point.
    QMC_TRY(sync_write_torque_enable(handler, port, kArmIds, std::vector<bool>(kArmIds.size(), false)));

    auto present = sync_read_present_position(handler, port, kArmIds);
    if (!present) return Err{serial_error(std::move(present).error())};
    auto offset = sync_read_offset(handler, port, kArmIds);
    if (!offset) return Err{serial_error(std::move(offset).error())};
    if (present->size() != kArmIds.size() || offset->size() != kArmIds.size())
        return Err{ControllerError("set_arm_home: incomplete arm response (present=" +
                                   std::to_string(present->size()) + " ids, offset=" +
                                   std::to_string(offset->size()) + " ids)")};

    // present = encoder - offset, so present + offset is the absolute encoder
    // angle: with it as the new offset, this pose reads 0.
    std::array<double, 4> prior_offsets{};
    std::array<double, 4> new_offsets{};
    for (std::size_t i = 0; i < kArmIds.size(); ++i) {
        prior_offsets[i] = (*offset)[i];
        const double absolute = (*present)[i] + (*offset)[i];
        if (!std::isfinite(absolute))  // the accessors decode finite values; never loop on a broken one
            return Err{ControllerError("set_arm_home: non-finite position or offset reading")};
        new_offsets[i] = wrap_to_pi(absolute);
    }

    QMC_TRY(sync_write_lock(handler, port, kArmIds, std::vector<bool>(kArmIds.size(), false)));
    QMC_TRY(sync_write_offset(handler, port, kArmIds, new_offsets));
    QMC_TRY(sync_write_lock(handler, port, kArmIds, std::vector<bool>(kArmIds.size(), true)));

    auto verify = sync_read_present_position(handler, port, kArmIds);
    if (!verify) return Err{serial_error(std::move(verify).error())};
    if (verify->size() != kArmIds.size())
        return Err{ControllerError("set_arm_home: verify read returned " + std::to_string(verify->size()) +
                                   " values (expected 4)")};
    std::array<double, 4> readings{};
    double largest = 0.0;
    for (std::size_t i = 0; i < kArmIds.size(); ++i) {
        readings[i] = (*verify)[i];
        if (std::abs(readings[i]) > largest) largest = std::abs(readings[i]);  // NaN never compares greater
    }
    if (largest <= verify_tol) return readings;

    return Err{ControllerError(
        "set_arm_home: verify failed \xE2\x80\x94 arm IDs " +
        common::debug_list(kArmIds, [](std::uint8_t id) { return common::int_text(id); }) + " now reading " +
        signed_list(readings) + " rad (expected ~0 within " + common::fixed(verify_tol, 4) +
        "). The Feetech offset sign convention on this hardware may differ from the assumed "
        "`present = encoder - offset`. EEPROM has been left in the new state; restore manually using "
        "prior_offsets " +
        signed_list(prior_offsets) + ", new_offsets " + signed_list(new_offsets) + ".")};
}

}  // namespace quorvel
