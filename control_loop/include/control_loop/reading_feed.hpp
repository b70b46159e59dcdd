// The loop's readings as a feed that callers wait on: the loop thread
// publishes every reading (or the fact that it failed) once per tick, and a
// caller asks for the first reading newer than the one it has already seen,
// so a consumer that keeps up sees every reading exactly once without polling.
//
//   std::optional<double> seen;
//   for (;;) {
//       auto next = feed.wait_newer(seen, deadline, stop);
//       if (!next) ...;                  // FeedEnd: failed read, time-out, stop, closed
//       seen = next.value().timestamp;
//   }
//
// The last kCapacity readings are kept, so a consumer that falls behind by
// less than that loses none of them. Publishing never allocates and holds
// the feed's mutex only for a copy.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "common/result.hpp"
#include "common/stop_source.hpp"
#include "control_loop/records.hpp"

namespace quorvel {

// How a wait for a reading ended without one.
enum class FeedEnd {
    ReadFailed,  // the first newer reading is a failed read
    TimedOut,    // the deadline passed first
    Stopped,     // the caller's stop source asked first
    Closed,      // the loop has ended and nothing newer is left
};

class ReadingFeed {
public:
    // 0.5 s of readings at a 2 ms period.
    static constexpr std::size_t kCapacity = 256;

    // Loop thread: one reading per tick; a failed one is stamped now.
    void publish_success(const QuorvelTorsoPosition& position);
    void publish_failure();
    // The loop has ended: waiters for a newer reading are released.
    void close();

    // The oldest kept reading whose time stamp is newer than `after`
    // (none: the next reading published after the call). When no kept
    // reading is newer, the next one published is returned whatever its
    // stamp, so a wall clock stepped back does not stall a consumer.
    // Waits until `deadline` (time_point::max(): no limit), looking at
    // `stop` every StopSource::kCheckPeriod.
    common::Result<QuorvelTorsoPosition, FeedEnd> wait_newer(std::optional<double> after,
                                                             std::chrono::steady_clock::time_point deadline,
                                                             common::StopSource* stop);

private:
    struct Entry {
        bool ok = false;
        QuorvelTorsoPosition position;  // for a failed read only the time stamp
    };
    void publish(const Entry& entry);
    // With mutex_ held: the sequence number of the oldest kept entry newer
    // than `after`, or published_ when none is.
    std::uint64_t first_newer(double after) const;

    std::mutex mutex_;
    std::condition_variable published_changed_;
    std::array<Entry, kCapacity> ring_{};  // entry n lives at n % kCapacity
    std::uint64_t published_ = 0;          // entries published so far
    bool closed_ = false;
};

}  // namespace quorvel
