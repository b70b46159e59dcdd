// Register accessors of the Feetech STS3025BL (the nose servos): exactly the
// registers every model shares.
#pragma once

#include "smartbus/feetech_servo.hpp"

namespace smartbus::sts3025bl {

using feetech_servo::check_sync_write_torque_enable;
using feetech_servo::read_model_number;
using feetech_servo::read_status;
using feetech_servo::StatusReading;
using feetech_servo::sync_read_status;
using feetech_servo::sync_read_present_position;
using feetech_servo::sync_read_present_voltage;
using feetech_servo::sync_read_raw_present_position;
using feetech_servo::sync_read_raw_torque_enable;
using feetech_servo::sync_read_torque_enable;
using feetech_servo::sync_write_goal_position;
using feetech_servo::sync_write_raw_goal_position;
using feetech_servo::sync_write_raw_torque_enable;
using feetech_servo::sync_write_torque_enable;

}  // namespace smartbus::sts3025bl
