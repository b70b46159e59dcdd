#include "control_loop/retry.hpp"

#include <string>

#include "common/log.hpp"
#include "control_loop/log_origin.hpp"

namespace quorvel::retry_detail {

bool pause(common::StopSource* stop) { return common::sleep_unless_stopped(stop, kRetryPause); }

void log_recovery(std::uint64_t failed_attempts) {
    QMC_LOG(common::log::Level::Info, kControlLoopLogOrigin,
            "Serial I/O recovered after " + std::to_string(failed_attempts) + " retries");
}

}  // namespace quorvel::retry_detail
