// The request/reply exchange, shared by every transport.
#include <algorithm>
#include <chrono>
#include <cstddef>

#include "candrive/transport.hpp"
#include "transport/deadline.hpp"

namespace candrive {
namespace {

// Bounds on frames taken without waiting, so that a node flooding the bus
// cannot keep a request from starting or from ending.
constexpr std::size_t kMaxStaleFrames = 256;
constexpr std::size_t kMaxLateLooks = 64;

bool timed_out(const CanError& error) { return error.kind() == CanError::Kind::Timeout; }

// A wait that only clears the way ends well when nothing more came.
CanResult<void> settled(CanError error) {
    if (timed_out(error)) return {};
    return common::Err{std::move(error)};
}

}  // namespace

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected_id,
                                          std::chrono::nanoseconds timeout) {
    return request(frame, ReplyPattern{expected_id, nullptr}, timeout);
}

CanResult<CanFrame> CanTransport::request(const CanFrame& frame, const ReplyPattern& reply,
                                          std::chrono::nanoseconds timeout) {
    QMC_TRY(wait_out_quarantine(reply.id));
    QMC_TRY(discard_waiting_frames());
    QMC_TRY(send(frame));
    const MonotonicClock::time_point deadline = deadline_after(timeout);
    std::size_t late_looks = 0;
    for (;;) {
        const auto remaining = std::max<std::chrono::nanoseconds>(deadline - MonotonicClock::now(), {});
        // Past the deadline, frames that had already arrived are still looked at.
        if (remaining == std::chrono::nanoseconds::zero() && ++late_looks > kMaxLateLooks) {
            quarantine(reply.id, deadline + std::max<std::chrono::nanoseconds>(timeout, kLateReplyGuard));
            return common::Err{CanError::timeout()};
        }
        CanResult<CanFrame> received = recv(remaining);
        if (!received.ok()) {
            if (timed_out(received.error()))
                quarantine(reply.id, deadline + std::max<std::chrono::nanoseconds>(timeout, kLateReplyGuard));
            return received;
        }
        if (reply.matches(received.value())) return received;
        // Not ours (another motor's reply, another node's frame): dropped.
    }
}

CanResult<void> CanTransport::wait_out_quarantine(CanId reply_id) {
    const auto entry = std::find_if(quarantined_.begin(), quarantined_.end(),
                                    [&](const Quarantine& q) { return q.reply_id == reply_id; });
    if (entry == quarantined_.end()) return {};
    const MonotonicClock::time_point until = entry->until;
    quarantined_.erase(entry);
    for (;;) {
        const auto remaining = until - MonotonicClock::now();
        if (remaining <= std::chrono::nanoseconds::zero()) return {};
        CanResult<CanFrame> received = recv(remaining);  // whatever comes now is too late for anyone
        if (!received.ok()) return settled(std::move(received).error());
    }
}

CanResult<void> CanTransport::discard_waiting_frames() {
    for (std::size_t i = 0; i < kMaxStaleFrames; ++i) {
        CanResult<CanFrame> received = recv(std::chrono::nanoseconds::zero());
        if (!received.ok()) return settled(std::move(received).error());
    }
    return {};
}

void CanTransport::quarantine(CanId reply_id, MonotonicClock::time_point until) {
    for (Quarantine& q : quarantined_) {
        if (q.reply_id == reply_id) {
            q.until = std::max(q.until, until);
            return;
        }
    }
    quarantined_.push_back({reply_id, until});
}

}  // namespace candrive
