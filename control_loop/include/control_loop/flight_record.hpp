// What a recording is made of: fixed-size records that the loop thread can
// copy into a ring without allocating, and the ring itself.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <type_traits>

namespace quorvel {

enum class RecordKind : std::uint8_t {
    Tick = 1,      // values: index, period, read_dt, write_dt, lateness (s); detail 1 = late
    Reading = 2,   // values: the ten joint positions; detail 1 = the read failed, joints = joints at fault
    Command = 3,   // a described goal command: values of the joints in `joints`
    SetPoint = 4,  // a motion set point sent this tick: values of the joints in `joints`
    Event = 5,     // text; detail = EventKind, level = log level (0 when not a log record)
    Status = 6,    // text: one motor's health reading, "name|key=value|..."
};

enum class EventKind : std::uint8_t {
    Log = 1,          // a log record of the module
    ReadFailure = 2,  // a periodic read that failed, with what failed
    Motion = 3,       // a motion started, replaced, stopped or finished
    Refused = 4,      // a command refused at the call
};

// 128 bytes, trivially copyable: copied word by word through the ring.
struct FlightRecord {
    static constexpr std::size_t kValues = 14;
    static constexpr std::size_t kTextBytes = kValues * sizeof(double);

    // Flags of reserved[1]: the text goes on in the next record of the same
    // source; the record came from a caller's thread, not the loop thread.
    static constexpr std::uint8_t kMoreText = 1;
    static constexpr std::uint8_t kFromCaller = 2;

    RecordKind kind{};
    std::uint8_t detail = 0;
    std::uint16_t joints = 0;  // bit j: motion joint j (servo order, then the neck)
    std::uint8_t level = 0;
    std::uint8_t reserved[3] = {};  // [0] a log record's origin, [1] flags
    std::int64_t stamp_ns = 0;  // CLOCK_REALTIME
    union {
        std::array<double, kValues> values;
        std::array<char, kTextBytes> text;  // zero-terminated unless full
    };

    FlightRecord() : values{} {}

    // Copies `part` after the text already there, cut at the buffer's end.
    void append_text(std::string_view part) {
        std::size_t used = strnlen(text.data(), kTextBytes);
        const std::size_t n = std::min(part.size(), kTextBytes - used);
        std::memcpy(text.data() + used, part.data(), n);
        if (used + n < kTextBytes) text[used + n] = '\0';
    }
};
static_assert(sizeof(FlightRecord) == 128);
static_assert(std::is_trivially_copyable_v<FlightRecord>);

// A bounded single-producer single-consumer ring that never makes the
// producer wait: when it is full the newest record overwrites the oldest.
// Each slot carries a sequence number, written odd before and even after
// the record's words (a seqlock), so the consumer sees a record that was
// overwritten under it and counts it dropped instead of returning a torn
// copy. The words are relaxed atomics: no data race even then.
class RecordRing {
public:
    static constexpr std::size_t kWords = sizeof(FlightRecord) / sizeof(std::uint64_t);

    explicit RecordRing(std::size_t capacity_pow2)
        : capacity_(capacity_pow2), slots_(std::make_unique<Slot[]>(capacity_pow2)) {}

    std::size_t capacity() const { return capacity_; }

    // Producer only.
    void push(const FlightRecord& record) {
        std::array<std::uint64_t, kWords> words;
        std::memcpy(words.data(), &record, sizeof record);
        const std::uint64_t index = head_.load(std::memory_order_relaxed);
        Slot& slot = slots_[index & (capacity_ - 1)];
        slot.seq.store(2 * index + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t w = 0; w < kWords; ++w) slot.words[w].store(words[w], std::memory_order_relaxed);
        slot.seq.store(2 * index + 2, std::memory_order_release);
        head_.store(index + 1, std::memory_order_release);
    }

    // Consumer only: copies up to `max` records, oldest first, and counts
    // those overwritten before they could be taken.
    std::size_t pop(FlightRecord* out, std::size_t max) {
        std::size_t n = 0;
        std::uint64_t head = head_.load(std::memory_order_acquire);
        while (n < max && tail_ < head) {
            if (head - tail_ > capacity_) skip_to(head);
            Slot& slot = slots_[tail_ & (capacity_ - 1)];
            const std::uint64_t before = slot.seq.load(std::memory_order_acquire);
            std::array<std::uint64_t, kWords> words;
            for (std::size_t w = 0; w < kWords; ++w) words[w] = slot.words[w].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            const std::uint64_t after = slot.seq.load(std::memory_order_relaxed);
            if (before != 2 * tail_ + 2 || after != before) {
                // The producer lapped us during the copy.
                head = head_.load(std::memory_order_acquire);
                skip_to(head);
                continue;
            }
            std::memcpy(static_cast<void*>(&out[n]), words.data(), sizeof(FlightRecord));
            ++n;
            ++tail_;
        }
        return n;
    }

    // Consumer only: forgets everything pushed so far (a new recording).
    void skip_all() { tail_ = head_.load(std::memory_order_acquire); }
    std::uint64_t dropped() const { return dropped_; }

private:
    struct Slot {
        std::atomic<std::uint64_t> seq{0};
        std::array<std::atomic<std::uint64_t>, kWords> words{};
    };

    // Moves the read position a little ahead of the oldest record that is
    // surely still there, so the next copies are not overwritten at once.
    void skip_to(std::uint64_t head) {
        const std::uint64_t margin = capacity_ / 8;
        const std::uint64_t oldest = head > capacity_ - margin ? head - (capacity_ - margin) : 0;
        if (oldest <= tail_) {
            ++dropped_;
            ++tail_;
            return;
        }
        dropped_ += oldest - tail_;
        tail_ = oldest;
    }

    std::size_t capacity_;
    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<std::uint64_t> head_{0};  // next index to write
    alignas(64) std::uint64_t tail_ = 0;              // next index to read
    std::uint64_t dropped_ = 0;
};

}  // namespace quorvel
