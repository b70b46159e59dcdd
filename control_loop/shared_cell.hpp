// A value shared between the loop thread and its callers, behind its own
// mutex. A cell is "poisoned" when a fault (a C++ exception) escaped while a
// thread held it: its content may then be half-updated, and each user
// decides what to do about that (skip a store, log, or give up).
#pragma once

#include <exception>
#include <mutex>
#include <utility>

namespace quorvel {

template <class T>
class SharedCell {
public:
    template <class... Args>
    explicit SharedCell(Args&&... args) : value_(std::forward<Args>(args)...) {}
    SharedCell(const SharedCell&) = delete;
    SharedCell& operator=(const SharedCell&) = delete;

    // Holds the cell's mutex for its lifetime. Leaving its scope by an
    // exception poisons the cell for good.
    class Guard {
    public:
        explicit Guard(SharedCell& cell)
            : cell_(cell), lock_(cell.mutex_), exceptions_at_entry_(std::uncaught_exceptions()) {}
        ~Guard() {
            if (std::uncaught_exceptions() > exceptions_at_entry_) cell_.poisoned_ = true;
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

        bool poisoned() const { return cell_.poisoned_; }
        T& operator*() { return cell_.value_; }
        T* operator->() { return &cell_.value_; }

    private:
        SharedCell& cell_;
        std::unique_lock<std::mutex> lock_;
        int exceptions_at_entry_;
    };

    Guard lock() { return Guard(*this); }

private:
    std::mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_
    T value_;                // guarded by mutex_
};

}  // namespace quorvel
