// Origin of every log record the control loop writes.
#pragma once

#include <string_view>

namespace quorvel {

inline constexpr std::string_view kControlLoopLogOrigin = "quorvel_motor_controller::control_loop";

}  // namespace quorvel
