#include "control_loop/sample_window.hpp"

#include <algorithm>

namespace quorvel {

void SampleWindow::push(double sample) {
    if (samples_.size() < capacity_) {
        samples_.push_back(sample);
        return;
    }
    samples_[oldest_] = sample;
    oldest_ = (oldest_ + 1) % capacity_;
}

void SampleWindow::append(std::span<const double> samples) {
    for (double s : samples) push(s);
}

std::vector<double> SampleWindow::to_vector() const {
    std::vector<double> out;
    out.reserve(samples_.size());
    const auto split = samples_.begin() + static_cast<std::ptrdiff_t>(oldest_);
    out.insert(out.end(), split, samples_.end());
    out.insert(out.end(), samples_.begin(), split);
    return out;
}

}  // namespace quorvel
