#include "control_loop/adapter_phase.hpp"

#include <algorithm>

namespace quorvel {

AdapterPhaseSeeker::AdapterPhaseSeeker(Duration period) : AdapterPhaseSeeker(period, Settings{}) {}

AdapterPhaseSeeker::AdapterPhaseSeeker(Duration period, Settings settings)
    : period_(std::max(period, Duration(2))), settings_(settings) {
    settings_.group = std::max(settings_.group, 1);
    settings_.coarse_points = std::max(settings_.coarse_points, 2);
    settings_.finest = std::max(settings_.finest, Duration(1));
    start_coarse_sweep();
}

AdapterPhaseSeeker::Duration AdapterPhaseSeeker::observe(Duration started, Duration complete) {
    // A tick that started late (the loop was busy or the host stalled it)
    // did not start at the offset tried.
    if (state_ == State::Off || started > period_ / 4) return offset_;
    // A reading held up far beyond any hand-over says nothing more about
    // the phase than that it was late.
    const Duration sample = std::clamp(complete, Duration(0), 2 * period_);
    group_sum_ += sample;
    group_least_ = std::min(group_least_, sample);
    group_most_ = std::max(group_most_, sample);
    if (++group_ticks_ < settings_.group) return offset_;
    // The group's slowest reading is left out: one stall is the host's doing.
    const Duration cost = settings_.group > 1 ? (group_sum_ - group_most_) / (settings_.group - 1) : group_sum_;
    const Duration least = group_least_;
    group_sum_ = Duration(0);
    group_least_ = Duration::max();
    group_most_ = Duration(0);
    group_ticks_ = 0;
    if (state_ == State::Sweeping)
        sweep_point_done(cost);
    else
        follow(least);
    return offset_;
}

void AdapterPhaseSeeker::follow(Duration least) {
    // The adapter's clock is not ours: the reply's wait grows or shrinks as
    // the phase drifts. The group's quickest reading shows that wait without
    // the host's delays. Follow a change seen twice in a row: earlier by as
    // much as the wait shrank (the hand-over comes sooner), later by half as
    // much as it grew; when even the quickest reading missed the hand-over,
    // search the neighbouring offsets again.
    if (!have_reference_) {
        have_reference_ = true;
        reference_ = least;
        if (!have_quickest_ || least < quickest_) quickest_ = least;
        have_quickest_ = true;
        return;
    }
    // Missed: slower than the quickest reading any kept offset has had (a
    // search may have settled on a reading that had missed it already).
    const int sign = least >= std::min(reference_, quickest_) + settings_.missed ? 2
                     : least >= reference_ + settings_.drift ? 1
                     : least + settings_.drift <= reference_ ? -1
                                                             : 0;
    held_groups_ = sign != 0 && sign == held_sign_ ? held_groups_ + 1 : 1;
    held_sign_ = sign;
    if (sign == 0 || held_groups_ < 2) return;
    held_groups_ = 0;
    held_sign_ = 0;
    if (sign == 2)
        start_sweep(position_, settings_.finest, -3, 3);
    else if (sign == 1 && position_ >= period_ / 4)
        start_coarse_sweep();  // drifted out of reach: the next expiry is within the range again
    else if (sign == 1)
        move_to(position_ + (least - reference_) / 2);
    else if (reference_ - least >= settings_.missed)
        reference_ = least;  // the reference had missed the hand-over itself: a new one
    else
        move_to(position_ - (reference_ - least));
}

void AdapterPhaseSeeker::move_to(Duration at) {
    // Within a quarter period either way: that covers a whole timer period
    // when the loop's period holds two or more, a tick never starts more
    // than a quarter period off the schedule as described, and the offset
    // never wraps round (which would add or drop a tick).
    position_ = std::clamp(at, -period_ / 4, period_ / 4);
    offset_ = position_;
}

void AdapterPhaseSeeker::start_coarse_sweep() {
    coarse_ = true;
    // From the schedule as described: earlier in steps down to a quarter
    // period (each step adds no more than itself to the loop's work), then
    // later (which only gives the loop time).
    const int side = std::max(settings_.coarse_points / 4, 1);
    start_sweep(Duration(0), period_ / settings_.coarse_points, 0, 2 * side);
}

AdapterPhaseSeeker::Duration AdapterPhaseSeeker::sweep_position(int index) const {
    if (!coarse_) return centre_ + step_ * index;
    const int side = std::max(settings_.coarse_points / 4, 1);
    return index <= side ? -step_ * index : step_ * (index - side);
}

void AdapterPhaseSeeker::start_sweep(Duration centre, Duration step, int first, int last) {
    state_ = State::Sweeping;
    centre_ = centre;
    step_ = std::max(step, Duration(1));
    first_ = first;
    last_ = last;
    at_ = first;
    best_cost_ = Duration::max();
    move_to(sweep_position(at_));
}

void AdapterPhaseSeeker::sweep_point_done(Duration cost) {
    if (coarse_) worst_cost_ = at_ == first_ ? cost : std::max(worst_cost_, cost);
    if (cost < best_cost_) {
        best_cost_ = cost;
        best_at_ = position_;
    }
    if (at_ < last_) {
        ++at_;
        move_to(sweep_position(at_));
        return;
    }
    if (coarse_) {
        coarse_ = false;
        if (!settled_ && worst_cost_ - best_cost_ < settings_.worth) {
            // The phase does not matter here: leave the schedule as described.
            move_to(Duration(0));
            state_ = State::Off;
            return;
        }
    }
    if (settled_ && step_ == settings_.finest && best_cost_ >= settled_cost_ + settings_.missed) {
        // Lost the hand-over altogether (the host stalled, or the clocks ran
        // apart faster than followed): search the whole period again.
        start_coarse_sweep();
        return;
    }
    if (step_ > settings_.finest) {
        // Narrow down: the best lies within half a step of the best point.
        start_sweep(best_at_, std::max(step_ / 4, settings_.finest), -2, 2);
        return;
    }
    if (!settled_ || best_cost_ < settled_cost_) settled_cost_ = best_cost_;
    settled_ = true;
    // Two fine steps earlier than the best: a margin against the host's
    // delays, and room to see a drift coming before it costs a hand-over.
    move_to(best_at_ - 2 * settings_.finest);
    state_ = State::Holding;
    have_reference_ = false;
    held_groups_ = 0;
    held_sign_ = 0;
}

}  // namespace quorvel
