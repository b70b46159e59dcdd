// Register accessors of the Feetech STS3025BL (the nose servos): exactly the
// registers every model shares.
#pragma once

#include "smartbus/feetech_servo.hpp"

namespace smartbus::sts3025bl {

using namespace feetech_servo::accessors;

}  // namespace smartbus::sts3025bl
