#include "control_loop/reading_feed.hpp"

#include <algorithm>

#include "control_loop/stop_wait.hpp"

namespace quorvel {

void ReadingFeed::publish_success(const QuorvelTorsoPosition& position) { publish({true, position}); }

void ReadingFeed::publish_failure() {
    Entry entry;
    entry.position.timestamp = wall_clock_timestamp();
    publish(entry);
}

void ReadingFeed::publish(const Entry& entry) {
    {
        std::lock_guard lock(mutex_);
        ring_[published_ % kCapacity] = entry;
        ++published_;
    }
    published_changed_.notify_all();
}

void ReadingFeed::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    published_changed_.notify_all();
}

std::uint64_t ReadingFeed::first_newer(double after) const {
    const std::uint64_t oldest = published_ > kCapacity ? published_ - kCapacity : 0;
    // Stamps only grow (unless the wall clock is stepped): search from the newest back.
    std::uint64_t found = published_;
    for (std::uint64_t n = published_; n > oldest; --n) {
        if (!(ring_[(n - 1) % kCapacity].position.timestamp > after)) break;
        found = n - 1;
    }
    return found;
}

common::Result<QuorvelTorsoPosition, FeedEnd> ReadingFeed::wait_newer(std::optional<double> after,
                                                                      std::chrono::steady_clock::time_point deadline,
                                                                      common::StopSource* stop) {
    std::uint64_t wanted = 0;
    {
        std::lock_guard lock(mutex_);
        wanted = after ? first_newer(*after) : published_;
    }
    const auto ready = [&] { return published_ > wanted || closed_; };
    // The mutex is let go between slices: the stop check may run Python code.
    const WaitEnd end = wait_unless_stopped(deadline, stop, [&](std::chrono::steady_clock::time_point until) {
        std::unique_lock lock(mutex_);
        return published_changed_.wait_until(lock, until, ready);
    });
    std::lock_guard lock(mutex_);
    if (published_ <= wanted) {
        if (end == WaitEnd::Stopped) return common::Err{FeedEnd::Stopped};
        if (end == WaitEnd::TimedOut) return common::Err{FeedEnd::TimedOut};
        return common::Err{FeedEnd::Closed};
    }
    // Fallen further behind than the ring reaches: the oldest kept entry.
    const std::uint64_t n = std::max(wanted, published_ > kCapacity ? published_ - kCapacity : 0);
    const Entry& entry = ring_[n % kCapacity];
    if (!entry.ok) return common::Err{FeedEnd::ReadFailed};
    return entry.position;
}

}  // namespace quorvel
