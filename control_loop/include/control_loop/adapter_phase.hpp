// Where in its period the loop should start a tick behind a USB serial
// adapter that hands received bytes to the host on its own latency timer.
//
// Such an adapter holds a reply until its timer expires (every 1 ms at best,
// on the adapter's clock), so a read that starts just after an expiry and
// ends just before the next one costs its wire time; the same read started a
// little later waits a whole timer period. The host cannot see the timer,
// but it sees what a read costs: while moving the tick later shortens the
// read by as much, the reply was waiting in the adapter; once the read
// becomes longer by most of a timer period, the reply missed the hand-over.
// The seeker moves the schedule later in growing steps while the read gets
// shorter, comes back to the last step that paid, and settles a guard ahead
// of the hand-over. It then keeps that phase as the adapter's clock drifts
// against the host's: earlier when reads get shorter (the hand-over comes
// sooner) or miss it, later when they get longer. A read whose
// time does not depend on the phase (no such adapter, or another bus setting
// the pace) leaves the schedule where it was.
//
// Pure arithmetic on durations, used by the loop thread only. It pays only
// when the period is a whole number of timer periods (a 2 ms loop behind a
// 1 ms timer); otherwise every tick meets the timer at another phase and the
// reads stay as they are, whatever the offset.
#pragma once

#include <chrono>
#include <cstdint>

namespace quorvel {

class AdapterPhaseSeeker {
public:
    using Duration = std::chrono::nanoseconds;

    struct Settings {
        Duration first_step = std::chrono::microseconds(50);
        Duration largest_step = std::chrono::microseconds(200);
        // How far the reply should end ahead of the hand-over.
        Duration guard = std::chrono::microseconds(150);
        // A read longer than the best by this much missed the hand-over.
        Duration missed = std::chrono::microseconds(300);
        // Reads judged together (by their shortest): one slow read is the host's doing.
        int group = 4;
        // Groups in a row that gain nothing before the search ends.
        int flat_groups = 3;
    };

    explicit AdapterPhaseSeeker(Duration period);
    AdapterPhaseSeeker(Duration period, Settings settings);

    // A successful periodic read took `read`, from the tick's start. Returns
    // the offset of the tick schedule from now on, within half a period
    // either way (the offset counts modulo the period).
    Duration observe(Duration read);
    Duration offset() const { return offset_; }
    bool searching() const { return state_ == State::Searching; }

private:
    enum class State { Searching, Holding };

    void move_by(Duration delta);
    void try_at(Duration at);
    void settle_at(Duration at);
    void search(Duration shortest);
    void hold(Duration shortest);

    Duration period_;
    Settings settings_;
    State state_ = State::Searching;
    Duration offset_{0};
    // The group being collected.
    Duration group_shortest_ = Duration::max();
    int group_reads_ = 0;
    // Searching: the offset (unwrapped, from the search's start) with the shortest read so far.
    bool have_best_ = false;
    Duration best_read_{0};
    Duration best_at_{0};
    Duration tried_at_{0};
    Duration step_{0};
    bool fine_ = false;  // a step has missed the hand-over: the steps stay small
    int flat_ = 0;
    // Holding: the read when the search settled, and groups in a row longer or shorter.
    bool have_reference_ = false;
    Duration reference_{0};
    int longer_ = 0;
    int shorter_ = 0;
};

}  // namespace quorvel
