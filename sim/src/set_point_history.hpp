// The set points one servo or motor received, newest last, bounded like the
// traffic log: once full, each new entry drops the oldest. Kept under the
// simulator's mutex; adding one costs a deque push (no copy of the history).
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

namespace torso_sim {

// Per servo or motor: 200 s of set points at a 2 ms period, at most about
// 5 MB for the largest entry.
inline constexpr std::size_t kSetPointHistoryCapacity = 100000;

template <class Entry>
class SetPointHistory {
public:
    void add(const Entry& entry) {
        if (entries_.size() == kSetPointHistoryCapacity) entries_.pop_front();
        entries_.push_back(entry);
    }
    std::vector<Entry> entries() const { return {entries_.begin(), entries_.end()}; }
    void clear() { entries_.clear(); }

private:
    std::deque<Entry> entries_;
};

}  // namespace torso_sim
