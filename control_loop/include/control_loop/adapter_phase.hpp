// Where in its period the loop should start a tick behind a USB serial
// adapter that hands received bytes to the host on its own latency timer.
//
// Such an adapter holds a reply until its timer expires (every 1 ms at best,
// on the adapter's clock): a read that starts just early enough for its
// reply to be complete at an expiry costs about its wire time, the same read
// started a little later waits a whole timer period. The host sees neither
// the timer nor the wire, only when each reading was complete. So the seeker
// tries the tick schedule at offsets up to a quarter period either way, a few
// ticks each, keeps the offset at which readings were complete soonest after
// their due time (on average: a reading that missed the hand-over counts in
// full; a tick that started late, or the slowest of a few, does not count),
// and narrows the search around it, settling a little earlier for a margin.
// Then it follows the adapter's clock as it drifts against the host's: by
// the change in the quickest reading at the kept offset, and by a new search
// when readings miss the hand-over there. Where the offset makes no
// difference worth having (no such adapter, or a timer period longer than
// half the loop's), the schedule stays as it was.
//
// The schedule keeps its period: no tick is added or dropped, a tick is
// never more than a quarter period off the schedule as described, and a loop
// that fell behind still serves the missed ticks back to back (each then
// starts wherever the one before it ended, so the offset does not help it).
//
// Pure arithmetic on durations, used by the loop thread only.
#pragma once

#include <chrono>
#include <cstdint>

namespace quorvel {

class AdapterPhaseSeeker {
public:
    using Duration = std::chrono::nanoseconds;

    struct Settings {
        int group = 8;            // ticks tried at each offset
        int coarse_points = 20;   // the search's first step: this fraction of the period
        Duration finest = std::chrono::microseconds(25);
        // Offsets across the period must differ this much for the phase to matter.
        Duration worth = std::chrono::microseconds(100);
        // A kept offset's quickest reading that moved this much (twice in a row) is followed...
        Duration drift = std::chrono::microseconds(25);
        // ... and one that grew this much missed the hand-over: a local search.
        Duration missed = std::chrono::microseconds(250);
    };

    explicit AdapterPhaseSeeker(Duration period);
    AdapterPhaseSeeker(Duration period, Settings settings);

    // A tick started `started` and its reading (successful or not) was
    // complete `complete` after the tick was due. Returns the offset of the
    // tick schedule from now on, within a quarter period either way.
    Duration observe(Duration started, Duration complete);
    Duration offset() const { return offset_; }
    // False once the first search found nothing worth moving for.
    bool active() const { return state_ != State::Off; }

private:
    enum class State { Sweeping, Holding, Off };

    void start_coarse_sweep();
    Duration sweep_position(int index) const;
    void start_sweep(Duration centre, Duration step, int first, int last);
    void move_to(Duration at);
    void sweep_point_done(Duration cost);
    void follow(Duration least);

    Duration period_;
    Settings settings_;
    State state_ = State::Sweeping;
    Duration offset_{0};
    Duration position_{0};     // the offset asked for
    // The group being collected: sum, least and most of the capped samples.
    Duration group_sum_{0};
    Duration group_least_ = Duration::max();
    Duration group_most_{0};
    int group_ticks_ = 0;
    // The sweep: offsets centre + j * step for j = first..last.
    Duration centre_{0};
    Duration step_{0};
    int first_ = 0, last_ = 0, at_ = 0;
    bool coarse_ = true;
    Duration best_cost_{0};
    Duration best_at_{0};
    Duration worst_cost_{0};   // of the sweep across the period
    bool settled_ = false;     // a whole search has ended
    Duration settled_cost_{0}; // the least cost a search has settled at
    bool have_reference_ = false;
    Duration reference_{0};    // the quickest reading of the first group at the kept offset
    bool have_quickest_ = false;
    Duration quickest_{0};     // the least of all references
    int held_groups_ = 0;      // groups in a row whose cost moved off the kept one the same way
    int held_sign_ = 0;        // which way: 2 missed, 1 longer, -1 shorter
};

}  // namespace quorvel
