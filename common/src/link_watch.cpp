#include "common/link_watch.hpp"

namespace common {

bool LinkWatch::reopen_due() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_attempt_) return false;
    next_attempt_ = now + kReopenInterval;
    return true;
}

void LinkWatch::lost(const std::string& reason) {
    next_attempt_ = std::chrono::steady_clock::now();
    if (lost_) return;  // lost again before it ever answered: the same loss
    lost_ = true;
    if (on_event_) on_event_(LinkEvent{LinkEvent::Kind::Lost, reason});
}

void LinkWatch::heard_from() {
    if (!lost_) return;
    lost_ = false;
    if (on_event_) on_event_(LinkEvent{LinkEvent::Kind::Back, {}});
}

}  // namespace common
