#include "control_loop/adapter_phase.hpp"

#include <algorithm>

namespace quorvel {

AdapterPhaseSeeker::AdapterPhaseSeeker(Duration period) : AdapterPhaseSeeker(period, Settings{}) {}

AdapterPhaseSeeker::AdapterPhaseSeeker(Duration period, Settings settings)
    : period_(std::max(period, Duration(1))), settings_(settings), step_(settings.first_step) {}

AdapterPhaseSeeker::Duration AdapterPhaseSeeker::observe(Duration read) {
    group_shortest_ = std::min(group_shortest_, read);
    if (++group_reads_ < std::max(settings_.group, 1)) return offset_;
    const Duration shortest = group_shortest_;
    group_shortest_ = Duration::max();
    group_reads_ = 0;
    if (state_ == State::Searching)
        search(shortest);
    else
        hold(shortest);
    return offset_;
}

void AdapterPhaseSeeker::move_by(Duration delta) {
    // Only the phase matters: shifting by whole periods changes no tick's time.
    offset_ = (offset_ + delta) % period_;
    if (offset_ > period_ / 2) offset_ -= period_;
    if (offset_ <= -period_ / 2) offset_ += period_;
}

void AdapterPhaseSeeker::try_at(Duration at) {
    move_by(at - tried_at_);
    tried_at_ = at;
}

void AdapterPhaseSeeker::settle_at(Duration at) {
    try_at(at);
    state_ = State::Holding;
    have_reference_ = false;
    longer_ = 0;
}

void AdapterPhaseSeeker::search(Duration shortest) {
    if (!have_best_) {
        have_best_ = true;
        best_read_ = shortest;
        best_at_ = tried_at_;
        try_at(tried_at_ + step_);
        return;
    }
    const Duration ahead = tried_at_ - best_at_;
    if (shortest + ahead / 2 <= best_read_) {
        // Shorter by about the move: the reply was waiting in the adapter.
        best_read_ = shortest;
        best_at_ = tried_at_;
        flat_ = 0;
        if (!fine_) step_ = std::min(2 * step_, settings_.largest_step);
        try_at(tried_at_ + step_);
    } else if (shortest >= best_read_ + settings_.missed) {
        // The reply missed the hand-over: back to the last step that paid.
        if (ahead > settings_.first_step) {
            fine_ = true;
            step_ = settings_.first_step;
            try_at(best_at_ + step_);
        } else {
            settle_at(best_at_ - settings_.guard);
        }
    } else if (++flat_ >= settings_.flat_groups || ahead >= period_) {
        // Nothing to gain here: the read does not wait for the adapter (any more).
        settle_at(best_at_);
    } else {
        try_at(tried_at_ + step_);
    }
}

void AdapterPhaseSeeker::hold(Duration shortest) {
    if (!have_reference_) {
        have_reference_ = true;
        reference_ = shortest;
        longer_ = shorter_ = 0;
        return;
    }
    if (shortest >= reference_ + settings_.missed) {
        // Missed the hand-over: a guard earlier, and a new reference there.
        move_by(-settings_.guard);
        have_reference_ = false;
        return;
    }
    // The adapter's clock runs against ours: the reply's wait grows or shrinks
    // by as much as the phase moves. Follow it, once it shows twice in a row.
    const Duration drift = settings_.guard / 2;
    longer_ = shortest >= reference_ + drift ? longer_ + 1 : 0;
    shorter_ = shortest + drift <= reference_ ? shorter_ + 1 : 0;
    if (longer_ >= 2) {
        move_by((shortest - reference_) / 2);  // later, carefully: the hand-over is that way
        longer_ = 0;
    } else if (shorter_ >= 2) {
        move_by(shortest - reference_);  // earlier, all the way back to the guard
        shorter_ = 0;
    }
}

}  // namespace quorvel
