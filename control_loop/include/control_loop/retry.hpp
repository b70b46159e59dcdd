// The control loop's retry rule for bus reads: up to `allowed_retries`
// attempts, 20 ms apart, retrying only serial I/O errors of the timed-out or
// interrupted kind (a silent servo). Any other error ends the attempts, and
// so does a stop request (close(), or Ctrl-C during start-up). CAN errors are
// never retried: the neck's reads are single attempts.
#pragma once

#include <chrono>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "common/stop_source.hpp"
#include "controller/controller_error.hpp"

namespace quorvel {

inline constexpr auto kRetryPause = std::chrono::milliseconds(20);

namespace retry_detail {
// Sleeps the pause between two attempts; false if stopped meanwhile.
bool pause(common::StopSource* stop);
// The info record "Serial I/O recovered after {} retries".
void log_recovery(std::uint64_t failed_attempts);
}  // namespace retry_detail

// Runs `attempt` (returning a ControllerResult) until it succeeds, fails
// with a non-retriable error or has been tried `allowed_retries` times; the
// outcome is that of the last attempt. At least one attempt is always made
// (the loop refuses 0 when it is created); once `stop` asks, no further one.
template <class F>
auto with_retry(std::uint64_t allowed_retries, common::StopSource* stop, F&& attempt) -> std::invoke_result_t<F&> {
    std::uint64_t failed = 0;
    for (;;) {
        auto result = attempt();
        if (result.ok()) {
            if (failed > 0) retry_detail::log_recovery(failed);
            return result;
        }
        ++failed;
        if (failed >= allowed_retries || !result.error().is_timed_out_or_interrupted()) return result;
        if (!retry_detail::pause(stop)) return result;
    }
}

}  // namespace quorvel
