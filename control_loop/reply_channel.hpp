// A single-use channel for one reply from the loop thread to a waiting
// caller. The sender either sends once or is dropped; either way the
// receiver learns the outcome at once, so a caller never waits for a reply
// that cannot come.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "common/result.hpp"

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

namespace detail {
// Shared by one sender and one receiver; `mutex` guards every field and lives
// as long as the longer-lived end.
template <class T>
struct ReplySlot {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<T> value;
    bool sender_gone = false;
    bool receiver_gone = false;
};
}  // namespace detail

template <class T>
class ReplySender {
public:
    ReplySender(ReplySender&&) noexcept = default;
    ReplySender& operator=(ReplySender&& other) noexcept {
        if (this != &other) {
            release();
            slot_ = std::move(other.slot_);
        }
        return *this;
    }
    ReplySender(const ReplySender&) = delete;
    ReplySender& operator=(const ReplySender&) = delete;
    ~ReplySender() { release(); }

    // Delivers the reply and gives up the sender. False if the receiver is
    // already gone (the reply is discarded) or this sender was used before.
    bool send(T value) {
        if (!slot_) return false;
        bool delivered = false;
        {
            std::lock_guard lock(slot_->mutex);
            if (!slot_->receiver_gone) {
                slot_->value.emplace(std::move(value));
                delivered = true;
            }
            slot_->sender_gone = true;
        }
        slot_->changed.notify_all();
        slot_.reset();
        return delivered;
    }

private:
    friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
    explicit ReplySender(std::shared_ptr<detail::ReplySlot<T>> slot) : slot_(std::move(slot)) {}

    void release() noexcept {
        if (!slot_) return;
        {
            std::lock_guard lock(slot_->mutex);
            slot_->sender_gone = true;
        }
        slot_->changed.notify_all();
        slot_.reset();
    }

    std::shared_ptr<detail::ReplySlot<T>> slot_;
};

template <class T>
class ReplyReceiver {
public:
    ReplyReceiver(ReplyReceiver&&) noexcept = default;
    ReplyReceiver& operator=(ReplyReceiver&& other) noexcept {
        if (this != &other) {
            release();
            slot_ = std::move(other.slot_);
        }
        return *this;
    }
    ReplyReceiver(const ReplyReceiver&) = delete;
    ReplyReceiver& operator=(const ReplyReceiver&) = delete;
    ~ReplyReceiver() { release(); }

    // Waits until the reply arrives, the sender is dropped or `deadline`
    // (monotonic clock) passes.
    common::Result<T, RecvError> recv_until(std::chrono::steady_clock::time_point deadline) {
        if (!slot_) return common::Err{RecvError::Disconnected};
        std::unique_lock lock(slot_->mutex);
        const bool settled = slot_->changed.wait_until(
            lock, deadline, [&] { return slot_->value.has_value() || slot_->sender_gone; });
        return take(settled);
    }

    common::Result<T, RecvError> recv_for(std::chrono::nanoseconds timeout) {
        return recv_until(std::chrono::steady_clock::now() + timeout);
    }

    // Waits without a time limit: for a reply or the sender's end.
    common::Result<T, RecvError> recv() {
        if (!slot_) return common::Err{RecvError::Disconnected};
        std::unique_lock lock(slot_->mutex);
        slot_->changed.wait(lock, [&] { return slot_->value.has_value() || slot_->sender_gone; });
        return take(true);
    }

private:
    friend std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel<T>();
    explicit ReplyReceiver(std::shared_ptr<detail::ReplySlot<T>> slot) : slot_(std::move(slot)) {}

    // Called with the slot's mutex held.
    common::Result<T, RecvError> take(bool settled) {
        if (slot_->value.has_value()) {
            T value = std::move(*slot_->value);
            slot_->value.reset();
            return value;
        }
        if (!settled) return common::Err{RecvError::Timeout};
        return common::Err{RecvError::Disconnected};
    }

    void release() noexcept {
        if (!slot_) return;
        {
            std::lock_guard lock(slot_->mutex);
            slot_->receiver_gone = true;
            slot_->value.reset();
        }
        slot_.reset();
    }

    std::shared_ptr<detail::ReplySlot<T>> slot_;
};

template <class T>
std::pair<ReplySender<T>, ReplyReceiver<T>> reply_channel() {
    auto slot = std::make_shared<detail::ReplySlot<T>>();
    return {ReplySender<T>(slot), ReplyReceiver<T>(slot)};
}

}  // namespace quorvel
