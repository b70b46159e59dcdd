#include "control_loop/sample_window.hpp"

#include <algorithm>

namespace quorvel {

namespace {

std::shared_ptr<const detail::SampleChunkList> single_chunk(std::span<const double> samples) {
    auto list = std::make_shared<detail::SampleChunkList>();
    list->chunk_size = std::max<std::size_t>(samples.size(), 1);
    list->chunks.push_back(std::make_shared<detail::SampleChunk>(list->chunk_size));
    std::copy(samples.begin(), samples.end(), list->chunks.front()->samples.get());
    return list;
}

}  // namespace

SampleSeq::SampleSeq(std::initializer_list<double> samples)
    : SampleSeq(std::span<const double>(samples.begin(), samples.size())) {}

SampleSeq::SampleSeq(std::span<const double> samples)
    : list_(single_chunk(samples)), first_(0), size_(samples.size()) {}

bool operator==(const SampleSeq& a, const SampleSeq& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

SampleWindow::SampleWindow(std::size_t capacity, std::size_t chunk_size)
    : capacity_(capacity == 0 ? 1 : capacity),
      chunk_size_(chunk_size == 0 ? 1 : chunk_size),
      list_(std::make_shared<detail::SampleChunkList>(detail::SampleChunkList{chunk_size_, {}})),
      filled_(chunk_size_) {}

void SampleWindow::republish(bool drop_first, std::shared_ptr<detail::SampleChunk> added) {
    const auto& old = list_->chunks;
    std::vector<std::shared_ptr<detail::SampleChunk>> chunks;
    chunks.reserve(old.size() + 1);
    for (std::size_t i = drop_first ? 1 : 0; i < old.size(); ++i) chunks.push_back(old[i]);
    if (added) chunks.push_back(std::move(added));
    list_ = std::make_shared<detail::SampleChunkList>(detail::SampleChunkList{chunk_size_, std::move(chunks)});
}

void SampleWindow::push(double sample) {
    if (filled_ == chunk_size_) {
        auto chunk = std::make_shared<detail::SampleChunk>(chunk_size_);
        open_ = chunk.get();
        filled_ = 0;
        republish(false, std::move(chunk));
    }
    // Past every published copy's end: no copy sees this write.
    open_->samples[filled_++] = sample;
    ++size_;
    if (size_ > capacity_) {
        --size_;
        if (++first_ == chunk_size_) {
            first_ = 0;
            republish(true, nullptr);
        }
    }
}

void SampleWindow::append(std::span<const double> samples) {
    for (double s : samples) push(s);
}

}  // namespace quorvel
