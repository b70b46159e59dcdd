// A value behind a mutex that refuses further use once a C++ exception has
// escaped while the mutex was held: the value may be half-updated, so the
// cell stays unusable rather than hand out a broken state. Knows nothing of
// Python (the bindings decide which lock to release around it).
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

namespace qmc::py {

template <class T>
class PoisonableCell {
public:
    explicit PoisonableCell(T value) : value_(std::move(value)) {}
    PoisonableCell(const PoisonableCell&) = delete;
    PoisonableCell& operator=(const PoisonableCell&) = delete;

    // Runs `op(value)` holding the mutex (waiting for it if need be) and
    // returns its result; returns nothing, without running `op`, when the
    // cell is poisoned. An exception escaping `op` poisons the cell and
    // propagates to the caller after the mutex is released.
    template <class Op>
    auto with_lock(Op&& op) -> std::optional<std::invoke_result_t<Op&, T&>> {
        std::unique_lock lock(mutex_);
        return run_locked(op);
    }

    // As with_lock, but waits for the mutex at most `wait`: if it stays
    // taken, `busy` is set and nothing runs (the caller may try again).
    template <class Op>
    auto with_lock_for(std::chrono::nanoseconds wait, bool& busy, Op&& op)
        -> std::optional<std::invoke_result_t<Op&, T&>> {
        std::unique_lock lock(mutex_, std::defer_lock);
        busy = !lock.try_lock_for(wait);
        if (busy) return std::nullopt;
        return run_locked(op);
    }

private:
    // Called with the mutex held.
    template <class Op>
    auto run_locked(Op& op) -> std::optional<std::invoke_result_t<Op&, T&>> {
        static_assert(!std::is_void_v<std::invoke_result_t<Op&, T&>>, "the operation returns its outcome");
        if (poisoned_) return std::nullopt;
        try {
            return op(value_);
        } catch (...) {
            poisoned_ = true;
            throw;
        }
    }

    std::timed_mutex mutex_;
    bool poisoned_ = false;  // guarded by mutex_; never cleared
    T value_;                // guarded by mutex_
};

}  // namespace qmc::py
