// CAN frames and the transport interface the motor drivers talk through.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace candrive {

// A CAN identifier: 11-bit standard or 29-bit extended. Identifiers of
// different kinds never compare equal, whatever their values.
struct CanId {
    enum class Kind : std::uint8_t { Standard, Extended };

    static constexpr std::uint32_t kStandardMax = 0x7FF;
    static constexpr std::uint32_t kExtendedMax = 0x1FFFFFFF;

    Kind kind;
    std::uint32_t value;

    static CanId standard(std::uint32_t v) { return CanId{Kind::Standard, v}; }
    static CanId extended(std::uint32_t v) { return CanId{Kind::Extended, v}; }

    // False for a value beyond the range of its kind.
    bool is_valid() const { return value <= (kind == Kind::Standard ? kStandardMax : kExtendedMax); }

    friend bool operator==(const CanId&, const CanId&) = default;
};

// One frame: up to 8 data bytes (classic) or 64 (FD). `brs` (bit-rate
// switch) only means something on an FD frame.
struct CanFrame {
    std::vector<std::uint8_t> data;
    CanId id;
    bool fd = false;
    bool brs = false;
};

// The transport's error.
class CanError {
public:
    enum class Kind { Timeout, FrameTooLarge, InvalidId, Backend };

    static CanError timeout();
    static CanError frame_too_large(std::size_t len);
    static CanError invalid_id();
    // An operating-system error, shown with the system's text and number.
    static CanError backend(int os_error);
    // A backend failure that has no error number (e.g. a write accepting nothing).
    static CanError backend(std::string text);

    Kind kind() const { return kind_; }
    // The rejected payload length (FrameTooLarge only).
    std::size_t length() const { return length_; }
    // The error number (Backend from an errno only; 0 otherwise).
    int os_error() const { return os_error_; }

    // "timeout waiting for frame", "frame too large for selected mode: 9 bytes",
    // "invalid CAN id", "backend error: No such device (os error 19)".
    std::string message() const;

    friend bool operator==(const CanError&, const CanError&) = default;

private:
    CanError(Kind kind, std::size_t length, int os_error, std::string text)
        : kind_(kind), length_(length), os_error_(os_error), text_(std::move(text)) {}

    Kind kind_;
    std::size_t length_ = 0;
    int os_error_ = 0;
    std::string text_;  // Backend without an error number
};

template <class T>
using CanResult = common::Result<T, CanError>;

// What the answer to a request looks like: a frame with identifier `id` that
// `accepts` (when set) also approves. Anything else is not the answer.
struct ReplyPattern {
    CanId id;
    std::function<bool(const CanFrame&)> accepts;

    bool matches(const CanFrame& frame) const { return frame.id == id && (!accepts || accepts(frame)); }
};

// Requests sent back to back whose answers are still to be collected (see
// CanTransport::start_requests). Holds no resources: dropping it leaves the
// answers to be discarded by the next request.
struct PendingRequests {
    std::vector<ReplyPattern> replies;
    std::vector<CanResult<void>> sent;  // the outcome of each send, in order
    std::chrono::nanoseconds timeout{};
    std::chrono::steady_clock::time_point deadline{};
};

// Moves single frames on one CAN network. Used by one thread at a time.
//
// Requests keep a bus honest about which frame answers what:
// - frames already waiting when a request begins are stale and discarded;
// - a frame that arrived before the deadline still counts when the waiting
//   thread only gets to look after it (one more look without waiting);
// - after a request ended without its answer, the next request expecting the
//   same identifier first waits out a guard interval (discarding what arrives),
//   so that the late answer cannot be taken for the new one.
class CanTransport {
public:
    // How long a peer that missed its answer is given to fall quiet, at least.
    static constexpr std::chrono::milliseconds kLateReplyGuard{20};

    CanTransport() = default;
    CanTransport(CanTransport&&) = default;
    CanTransport& operator=(CanTransport&&) = default;
    virtual ~CanTransport() = default;

    // Writes one frame.
    virtual CanResult<void> send(const CanFrame& frame) = 0;
    // The next frame from the network, waiting at most `timeout` (a zero or
    // negative time-out only takes a frame that is already waiting).
    virtual CanResult<CanFrame> recv(std::chrono::nanoseconds timeout) = 0;

    // Sends `frame`, then returns the first frame received with identifier
    // `expected_id`, waiting at most `timeout` from just after the send.
    // Frames with other identifiers are discarded.
    CanResult<CanFrame> request(const CanFrame& frame, CanId expected_id, std::chrono::nanoseconds timeout);
    // The same, for the first frame that matches `reply`.
    CanResult<CanFrame> request(const CanFrame& frame, const ReplyPattern& reply, std::chrono::nanoseconds timeout);

    // Several requests whose answers travel at the same time: sends every
    // frame back to back (after the guard intervals of their reply
    // identifiers and the discarding of stale frames; a failed send does not
    // stop the others), then returns at once, so other work can run while the
    // answers come. The answers are due within `timeout` of the last send.
    PendingRequests start_requests(std::span<const CanFrame> frames, std::vector<ReplyPattern> replies,
                                   std::chrono::nanoseconds timeout);
    // Collects one answer per request, each by its own pattern, in any order
    // of arrival; the results in the order of the requests. Answers that came
    // while other work ran count as in time.
    std::vector<CanResult<CanFrame>> finish_requests(PendingRequests&& pending);

private:
    // A reply identifier whose answer came too late, and when it may be asked again.
    struct Quarantine {
        CanId reply_id;
        std::chrono::steady_clock::time_point until;
    };

    CanResult<void> wait_out_quarantine(CanId reply_id);
    CanResult<void> discard_waiting_frames();
    void quarantine(CanId reply_id, std::chrono::steady_clock::time_point until);

    std::vector<Quarantine> quarantined_;
};

}  // namespace candrive
