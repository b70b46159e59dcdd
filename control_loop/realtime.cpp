#include "control_loop/realtime.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstring>
#include <system_error>
#include <thread>

#include "control_loop/signal_mask.hpp"

namespace quorvel {

int min_realtime_priority() { return sched_get_priority_min(SCHED_FIFO); }
int max_realtime_priority() { return sched_get_priority_max(SCHED_FIFO); }

int run_at_realtime_priority(int priority) {
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

int probe_realtime_priority(int priority) {
    int outcome = 0;
    try {
        const BlockAllSignals no_signals_in_the_probe;
        std::thread probe([&outcome, priority] { outcome = run_at_realtime_priority(priority); });
        probe.join();
    } catch (const std::system_error& e) {
        return e.code().value();  // no thread to ask with (EAGAIN): the loop thread would not start either
    }
    return outcome;
}

std::string realtime_refusal_text(int priority, int error) {
    const std::string p = std::to_string(priority);
    return "cannot run the control loop thread at real-time priority " + p + " (SCHED_FIFO): " +
           std::strerror(error) + " (os error " + std::to_string(error) +
           "). Allow it with an rtprio limit of at least " + p +
           " for this user in /etc/security/limits.conf (for example \"@robot - rtprio " + p +
           "\", then log in again), or give the program CAP_SYS_NICE (for example sudo setcap cap_sys_nice+ep "
           "on the Python executable)";
}

}  // namespace quorvel
