// The most recent samples of one statistics sequence, at most `capacity` of
// them: a ring that overwrites its oldest sample once full, so a loop can run
// for hours on flat memory.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace quorvel {

class SampleWindow {
public:
    explicit SampleWindow(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    void push(double sample);
    void append(std::span<const double> samples);
    std::size_t size() const { return samples_.size(); }
    // The samples, oldest first.
    std::vector<double> to_vector() const;

private:
    std::size_t capacity_;
    std::vector<double> samples_;  // grows up to capacity_, then wraps
    std::size_t oldest_ = 0;       // index of the oldest sample once full
};

}  // namespace quorvel
