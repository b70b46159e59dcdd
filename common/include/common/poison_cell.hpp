// A value behind its own mutex that is "poisoned" for good when a fault (a
// C++ exception) escapes while a thread holds it: the value may then be
// half-updated. The cell only records that; each user decides what a
// poisoned cell means to it (the control loop skips a store, logs or gives
// up; the Python bindings refuse every later call).
//
//   common::PoisonCell<int> cell(0);
//   {
//       auto held = cell.lock();  // unlocked, and poisoned on a throw, at scope exit
//       if (!held.poisoned()) ++*held;
//   }
#pragma once

#include <chrono>
#include <exception>
#include <mutex>
#include <utility>

namespace common {

// `Mutex` is std::mutex, or std::timed_mutex for bounded waits (try_lock_for).
template <class T, class Mutex = std::mutex>
class PoisonCell {
public:
    template <class... Args>
    explicit PoisonCell(Args&&... args) : value_(std::forward<Args>(args)...) {}
    PoisonCell(const PoisonCell&) = delete;
    PoisonCell& operator=(const PoisonCell&) = delete;

    // Holds the cell's mutex for its lifetime (when it got it). Leaving its
    // scope by an exception poisons the cell.
    class Guard {
    public:
        explicit Guard(PoisonCell& cell) : cell_(cell), lock_(cell.mutex_) {}
        // Waits at most `wait` for the mutex; owns_lock() says whether it got it.
        Guard(PoisonCell& cell, std::chrono::nanoseconds wait) : cell_(cell), lock_(cell.mutex_, wait) {}
        ~Guard() {
            if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_entry_) cell_.poisoned_ = true;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        bool owns_lock() const { return lock_.owns_lock(); }
        // The rest only with the lock held.
        bool poisoned() const { return cell_.poisoned_; }
        T& operator*() { return cell_.value_; }
        T* operator->() { return &cell_.value_; }

    private:
        PoisonCell& cell_;
        std::unique_lock<Mutex> lock_;
        int exceptions_at_entry_ = std::uncaught_exceptions();
    };

    Guard lock() { return Guard(*this); }
    Guard try_lock_for(std::chrono::nanoseconds wait) { return Guard(*this, wait); }

private:
    Mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_; never cleared
    T value_;                // guarded by mutex_
};

}  // namespace common
