// An open serial port, and how to open a POSIX terminal as one.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "smartbus/error.hpp"

namespace smartbus {

// An open port, owned by exactly one object; the destructor closes it.
// Used by one thread at a time.
class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Number of bytes waiting in the input queue. Errors: PortError.
    virtual Result<std::size_t> bytes_to_read() = 0;
    // Fills `out` completely. Each wait for more bytes is bounded by the
    // port's time-out (IoErrorKind::TimedOut, "Operation timed out").
    virtual Result<void> read_exact(std::span<std::uint8_t> out) = 0;
    // Writes every byte, each wait for room bounded by the time-out. Errors: IoError.
    virtual Result<void> write_all(std::span<const std::uint8_t> bytes) = 0;
    // Waits until every written byte has left. Errors: IoError.
    virtual Result<void> flush() = 0;
    // Waits at most `wait` for input, then discards everything waiting.
    // Returns how many bytes were discarded; 0 only when no input came.
    virtual Result<std::size_t> discard_input(std::chrono::nanoseconds wait) = 0;

    // A port is unsettled after a transaction that did not end with its
    // complete, valid reply: a late answer may still be on its way, and the
    // next transaction must not take it for its own.
    bool unsettled() const { return unsettled_; }
    void set_unsettled(bool unsettled) {
        if (unsettled) unsettled_since_ = std::chrono::steady_clock::now();
        unsettled_ = unsettled;
    }
    // When the port last became unsettled (monotonic clock): the line has
    // been quiet since then unless input is waiting.
    std::chrono::steady_clock::time_point unsettled_since() const { return unsettled_since_; }

private:
    bool unsettled_ = false;
    std::chrono::steady_clock::time_point unsettled_since_{};
};

// The error of a read_exact that ran out of time: the servo sent nothing.
IoError read_timed_out();

// Opens a POSIX terminal at 1 000 000 baud 8N1 without flow control, in
// exclusive mode and under an exclusive advisory lock; every wait for input
// or output is bounded by `timeout`. Open failures are PortError values
// carrying the system's text (or "Unable to acquire exclusive lock on serial
// port", "Settings did not apply correctly").
Result<std::unique_ptr<SerialPort>> open_serial_port(const std::string& path,
        std::chrono::milliseconds timeout = std::chrono::milliseconds(10));

}  // namespace smartbus
