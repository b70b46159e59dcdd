// The most recent samples of one statistics sequence, at most `capacity` of
// them, so a loop can run for hours on flat memory; and SampleSeq, an
// immutable copy of them that costs O(1) to take, whatever the count.
//
// Samples live in fixed-size chunks that are written once, in order, and
// never changed afterwards. A SampleSeq shares the chunks and remembers how
// many samples it shows; the window only ever writes past that point and
// drops whole chunks by publishing a new chunk list, so a copy never sees a
// later change. The window and its copies may live on different threads: the
// window is written under its owner's lock, under which copies are taken.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <span>
#include <vector>

namespace quorvel {

namespace detail {

struct SampleChunk {
    explicit SampleChunk(std::size_t size) : samples(new double[size]) {}
    std::unique_ptr<double[]> samples;
};

// Immutable once published.
struct SampleChunkList {
    std::size_t chunk_size;
    std::vector<std::shared_ptr<SampleChunk>> chunks;
};

}  // namespace detail

// A sequence of samples, oldest first, read-only. Copies share storage.
class SampleSeq {
public:
    class const_iterator {
    public:
        using iterator_category = std::random_access_iterator_tag;
        using value_type = double;
        using difference_type = std::ptrdiff_t;
        using pointer = const double*;
        using reference = const double&;

        const_iterator() = default;
        const_iterator(const SampleSeq* seq, std::size_t index) : seq_(seq), index_(index) {}
        reference operator*() const { return (*seq_)[index_]; }
        reference operator[](difference_type n) const { return (*seq_)[index_ + static_cast<std::size_t>(n)]; }
        const_iterator& operator++() { return ++index_, *this; }
        const_iterator operator++(int) { auto old = *this; ++index_; return old; }
        const_iterator& operator--() { return --index_, *this; }
        const_iterator operator--(int) { auto old = *this; --index_; return old; }
        const_iterator& operator+=(difference_type n) { index_ += static_cast<std::size_t>(n); return *this; }
        const_iterator& operator-=(difference_type n) { index_ -= static_cast<std::size_t>(n); return *this; }
        friend const_iterator operator+(const_iterator it, difference_type n) { return it += n; }
        friend const_iterator operator+(difference_type n, const_iterator it) { return it += n; }
        friend const_iterator operator-(const_iterator it, difference_type n) { return it -= n; }
        friend difference_type operator-(const const_iterator& a, const const_iterator& b) {
            return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
        }
        friend bool operator==(const const_iterator& a, const const_iterator& b) { return a.index_ == b.index_; }
        friend auto operator<=>(const const_iterator& a, const const_iterator& b) { return a.index_ <=> b.index_; }

    private:
        const SampleSeq* seq_ = nullptr;
        std::size_t index_ = 0;
    };

    SampleSeq() = default;
    SampleSeq(std::initializer_list<double> samples);  // NOLINT: reads like a vector
    SampleSeq(std::span<const double> samples);         // NOLINT
    SampleSeq(const std::vector<double>& samples) : SampleSeq(std::span<const double>(samples)) {}  // NOLINT

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const double& operator[](std::size_t i) const {
        const std::size_t at = first_ + i;
        return list_->chunks[at / list_->chunk_size]->samples[at % list_->chunk_size];
    }
    const double& front() const { return (*this)[0]; }
    const double& back() const { return (*this)[size_ - 1]; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size_}; }

    // The samples as contiguous runs, oldest first (for bulk conversion).
    template <class F>
    void for_each_run(F&& run) const {
        std::size_t at = first_, left = size_;
        while (left > 0) {
            const std::size_t offset = at % list_->chunk_size;
            const std::size_t n = std::min(left, list_->chunk_size - offset);
            run(std::span<const double>(list_->chunks[at / list_->chunk_size]->samples.get() + offset, n));
            at += n;
            left -= n;
        }
    }

    std::vector<double> to_vector() const { return std::vector<double>(begin(), end()); }
    operator std::vector<double>() const { return to_vector(); }  // NOLINT: a copy, as a vector

    friend bool operator==(const SampleSeq& a, const SampleSeq& b);

private:
    friend class SampleWindow;
    SampleSeq(std::shared_ptr<const detail::SampleChunkList> list, std::size_t first, std::size_t size)
        : list_(std::move(list)), first_(first), size_(size) {}

    std::shared_ptr<const detail::SampleChunkList> list_;
    std::size_t first_ = 0;  // position of the first sample in list_'s first chunk
    std::size_t size_ = 0;
};

class SampleWindow {
public:
    static constexpr std::size_t kDefaultChunkSize = 4096;

    explicit SampleWindow(std::size_t capacity, std::size_t chunk_size = kDefaultChunkSize);

    void push(double sample);
    void append(std::span<const double> samples);
    std::size_t size() const { return size_; }
    // The samples held now, oldest first: O(1), shares the storage.
    SampleSeq snapshot() const { return SampleSeq(list_, first_, size_); }
    std::vector<double> to_vector() const { return snapshot().to_vector(); }

private:
    // Publishes a new chunk list: `drop_first` chunks fewer at the front,
    // plus `added` at the back when given.
    void republish(bool drop_first, std::shared_ptr<detail::SampleChunk> added);

    std::size_t capacity_;
    std::size_t chunk_size_;
    std::shared_ptr<const detail::SampleChunkList> list_;
    detail::SampleChunk* open_ = nullptr;  // the last chunk, still being written
    std::size_t filled_ = 0;               // samples written into open_
    std::size_t first_ = 0;                // position of the oldest sample in the first chunk
    std::size_t size_ = 0;
};

}  // namespace quorvel
