// The request/reply exchange, shared by every transport.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

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
    std::vector<CanResult<CanFrame>> answers =
        finish_requests(start_requests(std::span(&frame, 1), std::vector<ReplyPattern>{reply}, timeout));
    return std::move(answers.front());
}

PendingRequests CanTransport::start_requests(std::span<const CanFrame> frames, std::vector<ReplyPattern> replies,
                                             std::chrono::nanoseconds timeout) {
    PendingRequests pending{std::move(replies), {}, timeout, {}};
    CanResult<void> cleared{};
    for (const ReplyPattern& reply : pending.replies) {
        if (cleared.ok()) cleared = wait_out_quarantine(reply.id);
    }
    if (cleared.ok()) cleared = discard_waiting_frames();
    for (const CanFrame& frame : frames) pending.sent.push_back(cleared.ok() ? send(frame) : cleared);
    pending.deadline = deadline_after(timeout);
    return pending;
}

std::vector<CanResult<CanFrame>> CanTransport::finish_requests(PendingRequests&& pending) {
    const std::size_t n = pending.replies.size();
    std::vector<std::optional<CanResult<CanFrame>>> answers(n);
    std::size_t outstanding = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i < pending.sent.size() && !pending.sent[i].ok())
            answers[i] = common::Err{pending.sent[i].error()};
        else
            ++outstanding;
    }
    std::size_t late_looks = 0;
    while (outstanding > 0) {
        const auto remaining = std::max<std::chrono::nanoseconds>(pending.deadline - MonotonicClock::now(), {});
        // Past the deadline, frames that had already arrived are still looked at.
        if (remaining == std::chrono::nanoseconds::zero() && ++late_looks > kMaxLateLooks) break;
        CanResult<CanFrame> received = recv(remaining);
        if (!received.ok()) {
            if (timed_out(received.error())) break;
            for (auto& answer : answers)
                if (!answer) answer = common::Err{received.error()};
            outstanding = 0;
            break;
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (!answers[i] && pending.replies[i].matches(received.value())) {
                answers[i] = std::move(received);
                --outstanding;
                break;
            }
        }
        // Anything else is not ours (another motor's reply, another node's frame): dropped.
    }
    std::vector<CanResult<CanFrame>> results;
    results.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!answers[i]) {
            // The answer may still come: its identifier is held back for a while.
            quarantine(pending.replies[i].id,
                       pending.deadline + std::max<std::chrono::nanoseconds>(pending.timeout, kLateReplyGuard));
            answers[i] = common::Err{CanError::timeout()};
        }
        results.push_back(std::move(*answers[i]));
    }
    return results;
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
