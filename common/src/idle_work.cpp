#include "common/idle_work.hpp"

#include <algorithm>

namespace common {
namespace {

thread_local IdleWork* lent_to = nullptr;

}  // namespace

IdleWork* current_idle_work() { return lent_to; }

LendWaits::LendWaits(IdleWork& work) : previous_(lent_to) { lent_to = &work; }
LendWaits::~LendWaits() { lent_to = previous_; }

std::chrono::nanoseconds next_wait_slice(std::chrono::steady_clock::time_point deadline) {
    using std::chrono::nanoseconds;
    nanoseconds until_due = nanoseconds::max();
    if (IdleWork* work = lent_to) until_due = std::max(nanoseconds{}, work->run_due());
    const nanoseconds remaining = std::max<nanoseconds>(deadline - std::chrono::steady_clock::now(), nanoseconds{});
    return std::min(remaining, until_due);
}

bool sleep_lending(StopSource* stop, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto slice = next_wait_slice(deadline);
        if (std::chrono::steady_clock::now() >= deadline) return !stop_requested(stop);
        if (!sleep_unless_stopped(stop, slice)) return false;
    }
}

}  // namespace common
