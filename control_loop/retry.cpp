#include "control_loop/retry.hpp"

#include <string>

#include "common/idle_work.hpp"
#include "common/log.hpp"
#include "control_loop/log_origin.hpp"

namespace quorvel::retry_detail {

// The pause is lent to the thread's idle work (the loop's CAN side), and the
// serial line counts it as quiet time before the next attempt.
bool pause(common::StopSource* stop) {
    return common::sleep_lending(stop, std::chrono::steady_clock::now() + kRetryPause);
}

void log_recovery(std::uint64_t failed_attempts) {
    QMC_LOG(common::log::Level::Info, kControlLoopLogOrigin,
            "Serial I/O recovered after " + std::to_string(failed_attempts) + " retries");
}

}  // namespace quorvel::retry_detail
