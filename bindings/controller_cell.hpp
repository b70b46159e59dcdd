// The direct controller's cell: a value behind a mutex that refuses further
// use once a C++ exception has escaped while the mutex was held (the value
// may be half-updated, so the cell stays unusable rather than hand out a
// broken state), and that notices a call re-entering it from its own thread.
// Knows nothing of Python (the bindings decide which lock to release around it).
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#include "common/poison_cell.hpp"

namespace qmc::py {

// How a bounded wait for the cell's mutex ended.
enum class LockWait {
    Locked,            // the operation ran (or the cell was poisoned)
    Busy,              // another thread kept the mutex: try again
    HeldByThisThread,  // re-entered from inside an operation (a signal handler run by it)
};

template <class T>
class PoisonableCell {
public:
    explicit PoisonableCell(T value) : cell_(std::move(value)) {}
    PoisonableCell(const PoisonableCell&) = delete;
    PoisonableCell& operator=(const PoisonableCell&) = delete;

    // Runs `op(value)` holding the mutex (waiting for it if need be) and
    // returns its result; returns nothing, without running `op`, when the
    // cell is poisoned. An exception escaping `op` poisons the cell and
    // propagates to the caller after the mutex is released.
    template <class Op>
    auto with_lock(Op&& op) -> std::optional<std::invoke_result_t<Op&, T&>> {
        auto guard = cell_.lock();
        return run_locked(guard, op);
    }

    // As with_lock, but waits for the mutex at most `wait`; `outcome` says
    // whether the operation ran. Nothing runs when the calling thread holds
    // the mutex already (an operation that runs callbacks can be re-entered).
    template <class Op>
    auto with_lock_for(std::chrono::nanoseconds wait, LockWait& outcome, Op&& op)
        -> std::optional<std::invoke_result_t<Op&, T&>> {
        if (holder_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
            outcome = LockWait::HeldByThisThread;
            return std::nullopt;
        }
        auto guard = cell_.try_lock_for(wait);
        outcome = guard.owns_lock() ? LockWait::Locked : LockWait::Busy;
        if (outcome == LockWait::Busy) return std::nullopt;
        return run_locked(guard, op);
    }

private:
    using Cell = common::PoisonCell<T, std::timed_mutex>;

    // Called with the mutex held; the guard poisons the cell if `op` throws.
    template <class Op>
    auto run_locked(typename Cell::Guard& guard, Op& op) -> std::optional<std::invoke_result_t<Op&, T&>> {
        static_assert(!std::is_void_v<std::invoke_result_t<Op&, T&>>, "the operation returns its outcome");
        if (guard.poisoned()) return std::nullopt;
        struct Holding {
            std::atomic<std::thread::id>& holder;
            explicit Holding(std::atomic<std::thread::id>& h) : holder(h) { holder.store(std::this_thread::get_id()); }
            ~Holding() { holder.store(std::thread::id()); }
            Holding(const Holding&) = delete;
            Holding& operator=(const Holding&) = delete;
        } holding(holder_);
        return op(*guard);
    }

    Cell cell_;
    // The thread running an operation, set only while the mutex is held; a
    // thread compares it with its own id only (no other thread can make it that).
    std::atomic<std::thread::id> holder_{};
};

}  // namespace qmc::py
