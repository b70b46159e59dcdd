// The bounded queue that carries commands from callers to the loop thread,
// and under reply_channel.hpp each reply back: many senders (copies of
// QueueSender, usable from any thread), one receiver. Senders block while the queue is full and learn that it is
// closed once the receiver is gone or a sender closed it for sending (the
// receiver still takes what was queued before); the receiver learns when
// every sender is gone. Every wait can be bounded by a deadline on the monotonic clock, so a
// caller can give up its own locks (the interpreter's) while it waits.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvel {

enum class SendError {
    Full,    // try_send only: no room right now
    Timeout, // the deadline passed while the queue stayed full
    Closed,  // the receiver is gone; nothing will ever be taken off
};

// What the receiver's wait ended with.
enum class QueueEvent {
    Ready,         // at least one item is queued
    Timeout,       // the deadline passed with the queue empty
    Woken,         // a sender called wake_receiver()
    Disconnected,  // queue empty and every sender gone
};

template <class T>
class QueueSender;
template <class T>
class QueueReceiver;

template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue(std::size_t capacity);

namespace detail {
// Shared by all ends; `mutex` guards every field.
template <class T>
struct QueueState {
    explicit QueueState(std::size_t cap) : capacity(cap) {}
    const std::size_t capacity;
    std::mutex mutex;
    std::condition_variable not_full;   // senders wait here
    std::condition_variable not_empty;  // the receiver waits here
    std::deque<T> items;
    std::size_t senders = 1;
    bool receiver_gone = false;
    bool sending_closed = false;  // close_sending() was called
    bool wake_requested = false;
};
}  // namespace detail

template <class T>
class QueueSender {
public:
    QueueSender(const QueueSender& other) : state_(other.state_) {
        if (state_) {
            std::lock_guard lock(state_->mutex);
            ++state_->senders;
        }
    }
    QueueSender(QueueSender&& other) noexcept : state_(std::move(other.state_)) {}
    QueueSender& operator=(QueueSender other) noexcept {
        std::swap(state_, other.state_);
        return *this;
    }
    ~QueueSender() { release(); }

    // Queues `item` if there is room now. On failure the item stays in
    // `item` (moved only on success).
    std::optional<SendError> try_send(T& item) { return send_until(item, std::nullopt, true); }

    // Queues `item`, waiting for room until `deadline`. On failure the item
    // stays in `item`.
    std::optional<SendError> send_until(T& item, std::chrono::steady_clock::time_point deadline) {
        return send_until(item, deadline, false);
    }

    // Queues `item`, waiting as long as the queue is full.
    std::optional<SendError> send(T item) { return send_until(item, std::nullopt, false); }

    // Refuses every later send, of every sender, with Closed, also the sends
    // now waiting for room; what is queued stays for the receiver.
    void close_sending() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->sending_closed = true;
        }
        state_->not_full.notify_all();
    }

    // True once sends are refused: close_sending() was called or the
    // receiver is gone.
    bool is_closed() {
        if (!state_) return true;
        std::lock_guard lock(state_->mutex);
        return state_->sending_closed || state_->receiver_gone;
    }

    // Ends the receiver's current (or next) wait early with QueueEvent::Woken.
    void wake_receiver() {
        if (!state_) return;
        {
            std::lock_guard lock(state_->mutex);
            state_->wake_requested = true;
        }
        state_->not_empty.notify_one();
    }

private:
    friend std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue<T>(std::size_t);
    explicit QueueSender(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

    std::optional<SendError> send_until(T& item, std::optional<std::chrono::steady_clock::time_point> deadline,
                                        bool no_wait) {
        if (!state_) return SendError::Closed;
        auto& s = *state_;
        {
            std::unique_lock lock(s.mutex);
            const auto closed = [&] { return s.receiver_gone || s.sending_closed; };
            const auto room_or_closed = [&] { return closed() || s.items.size() < s.capacity; };
            if (!room_or_closed()) {
                if (no_wait) return SendError::Full;
                if (deadline) {
                    if (!s.not_full.wait_until(lock, *deadline, room_or_closed)) return SendError::Timeout;
                } else {
                    s.not_full.wait(lock, room_or_closed);
                }
            }
            if (closed()) return SendError::Closed;
            s.items.push_back(std::move(item));
        }
        s.not_empty.notify_one();
        return std::nullopt;
    }

    void release() noexcept {
        if (!state_) return;
        bool last = false;
        {
            std::lock_guard lock(state_->mutex);
            last = --state_->senders == 0;
        }
        if (last) state_->not_empty.notify_one();
        state_.reset();
    }

    std::shared_ptr<detail::QueueState<T>> state_;
};

template <class T>
class QueueReceiver {
public:
    QueueReceiver(QueueReceiver&& other) noexcept : state_(std::move(other.state_)) {}
    QueueReceiver& operator=(QueueReceiver&& other) noexcept {
        if (this != &other) {
            close();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    QueueReceiver(const QueueReceiver&) = delete;
    QueueReceiver& operator=(const QueueReceiver&) = delete;
    ~QueueReceiver() { close(); }

    // Waits until an item is queued, every sender is gone, a wake-up is
    // requested or `deadline` passes. Takes nothing off the queue.
    QueueEvent wait_until(std::chrono::steady_clock::time_point deadline) { return wait(deadline); }

    // The same without a time limit: never QueueEvent::Timeout.
    QueueEvent wait() { return wait(std::nullopt); }

    bool has_items() {
        if (!state_) return false;
        std::lock_guard lock(state_->mutex);
        return !state_->items.empty();
    }

    // The oldest item, if any, without waiting.
    std::optional<T> try_recv() {
        if (!state_) return std::nullopt;
        std::optional<T> item;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->items.empty()) return std::nullopt;
            item.emplace(std::move(state_->items.front()));
            state_->items.pop_front();
        }
        state_->not_full.notify_one();
        return item;
    }

private:
    friend std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue<T>(std::size_t);
    explicit QueueReceiver(std::shared_ptr<detail::QueueState<T>> state) : state_(std::move(state)) {}

    // A moved-from receiver has no queue: it waits for nothing and reports
    // every sender gone.
    QueueEvent wait(std::optional<std::chrono::steady_clock::time_point> deadline) {
        if (!state_) return QueueEvent::Disconnected;
        auto& s = *state_;
        std::unique_lock lock(s.mutex);
        const auto settled = [&] { return !s.items.empty() || s.senders == 0 || s.wake_requested; };
        if (!deadline) {
            s.not_empty.wait(lock, settled);
        } else if (!s.not_empty.wait_until(lock, *deadline, settled)) {
            return QueueEvent::Timeout;
        }
        if (!s.items.empty()) return QueueEvent::Ready;
        if (s.wake_requested) {
            s.wake_requested = false;
            return QueueEvent::Woken;
        }
        return QueueEvent::Disconnected;
    }

    // Closes the queue: senders are refused from now on, and the items still
    // queued are destroyed (with whatever reply channels they carry).
    void close() noexcept {
        if (!state_) return;
        std::deque<T> dropped;
        {
            std::lock_guard lock(state_->mutex);
            state_->receiver_gone = true;
            dropped.swap(state_->items);
        }
        state_->not_full.notify_all();
        state_.reset();
        // `dropped` is destroyed here, outside the lock.
    }

    std::shared_ptr<detail::QueueState<T>> state_;
};

// A connected sender and receiver; `capacity` must be at least 1.
template <class T>
std::pair<QueueSender<T>, QueueReceiver<T>> bounded_queue(std::size_t capacity) {
    auto state = std::make_shared<detail::QueueState<T>>(capacity == 0 ? 1 : capacity);
    return {QueueSender<T>(state), QueueReceiver<T>(state)};
}

}  // namespace quorvel
