// A single-use channel for one reply from the loop thread to a waiting
// caller. The sender either sends once or is dropped; either way the
// receiver learns the outcome at once, so a caller never waits for a reply
// that cannot come.
//
// It is the command queue's channel with room for one item and one sender
// that gives itself up on sending: the queue already wakes its receiver when
// the last sender goes and drops what is queued when the receiver goes.
#pragma once

#include <chrono>
#include <utility>

#include "common/result.hpp"
#include "control_loop/command_queue.hpp"

namespace quorvel {

enum class RecvError {
    Timeout,       // the deadline passed with the sender still holding on
    Disconnected,  // the sender was dropped without sending
};

// "timed out waiting on channel" / "receiving on a closed channel"
inline const char* recv_error_text(RecvError error) {
    return error == RecvError::Timeout ? "timed out waiting on channel"
                                       : "receiving on a closed channel";
}

template <class T>
class ReplySender;
template <class T>
class ReplyReceiver;

// A connected sender and receiver for one value of type T.
template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel();

template <class T>
class ReplySender {
public:
    // Move-only: the queue's senders can be copied, a reply's cannot.
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&&) noexcept = default;
    ReplySender(const ReplySender&) = delete;
    ReplySender& operator=(const ReplySender&) = delete;

    // Delivers the reply and gives up the sender. False if the receiver is
    // already gone (the reply is discarded) or this sender was used before.
    bool send(T value) {
        QueueSender<T> spent = std::move(sender_);  // released on return, after the value is queued
        return !spent.try_send(value);
    }

private:
    friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
    explicit ReplySender(QueueSender<T> sender) : sender_(std::move(sender)) {}

    QueueSender<T> sender_;
};

template <class T>
class ReplyReceiver {
public:
    // Move-only, as the queue's receiver is.

    // Waits until the reply arrives, the sender is dropped or `deadline`
    // (monotonic clock) passes.
    common::Result<T, RecvError> recv_until(std::chrono::steady_clock::time_point deadline) {
        return take(receiver_.wait_until(deadline));
    }

    common::Result<T, RecvError> recv_for(std::chrono::nanoseconds timeout) {
        return recv_until(std::chrono::steady_clock::now() + timeout);
    }

    // Waits without a time limit: for a reply or the sender's end.
    common::Result<T, RecvError> recv() { return take(receiver_.wait()); }

private:
    friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
    explicit ReplyReceiver(QueueReceiver<T> receiver) : receiver_(std::move(receiver)) {}

    // No sender can wake the receiver, so a wait ends with the reply, the
    // sender gone or the deadline.
    common::Result<T, RecvError> take(QueueEvent event) {
        if (auto value = receiver_.try_recv()) return std::move(*value);
        return common::Err{event == QueueEvent::Disconnected ? RecvError::Disconnected : RecvError::Timeout};
    }

    QueueReceiver<T> receiver_;
};

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel() {
    auto [sender, receiver] = bounded_queue<T>(1);
    return {ReplySender<T>(std::move(sender)), ReplyReceiver<T>(std::move(receiver))};
}

}  // namespace quorvel
