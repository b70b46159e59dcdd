// Errors of the serial servo bus. Every fallible operation of this library
// returns smartbus::Result<T>; the error is one owned value whose class the
// caller can test: a protocol fault, an I/O error of the port, or a port error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "common/os_cause.hpp"
#include "common/result.hpp"

namespace smartbus {

enum class CommunicationErrorCode : std::uint8_t {
    ChecksumError,
    ParsingError,
    TimeoutError,
    IncorrectId,
    Unsupported,
};

// A protocol-level fault. `expected` and `received` are meaningful for
// IncorrectId only.
struct CommunicationErrorKind {
    CommunicationErrorCode code;
    std::uint8_t expected = 0, received = 0;

    std::string debug_text() const;    // "ChecksumError", "IncorrectId(3, 5)"
    std::string display_text() const;  // "Checksum error", "Incorrect id (5 instead of 3)"
    friend bool operator==(const CommunicationErrorKind&, const CommunicationErrorKind&) = default;
};

enum class IoErrorKind { TimedOut, Interrupted, BrokenPipe, UnexpectedEof, Unsupported, InvalidInput, Other };

// An input/output failure of the port; TimedOut marks a servo that did not answer.
struct IoError {
    IoErrorKind kind;
    std::string message;
};

// A failure of the port itself (querying it, opening it); `message` is the
// system's text for `os_error`, or our own text when no system call failed
// (os_error 0).
struct PortError {
    int os_error;
    std::string message;
};

class Error {
public:
    Error(CommunicationErrorKind kind) : value_(kind) {}
    Error(IoError error) : value_(std::move(error)) {}
    Error(PortError error) : value_(std::move(error)) {}

    // The display text of whichever error this is.
    std::string message() const;

    const CommunicationErrorKind* communication() const { return std::get_if<CommunicationErrorKind>(&value_); }
    const IoError* io() const { return std::get_if<IoError>(&value_); }
    const PortError* port() const { return std::get_if<PortError>(&value_); }

    // True for the I/O errors a caller may retry: a missing answer or an
    // interrupted call.
    bool is_timed_out_or_interrupted() const;

    // The system call failure behind an I/O or port error, with the device
    // path, when one is known; null otherwise. Not part of the display text.
    const common::OsCause* os_cause() const { return os_cause_ ? &*os_cause_ : nullptr; }
    Error& set_os_cause(std::optional<common::OsCause> cause) {
        os_cause_ = std::move(cause);
        return *this;
    }

    // The servo whose reply was missing or not valid, when the failure lies
    // with a reply (the protocol handler names the servo it was reading);
    // empty when the port or the caller's request failed. Not part of the
    // display text.
    std::optional<std::uint8_t> servo_id() const { return id_or_none(servo_id_); }
    Error& set_servo_id(std::uint8_t id) {
        servo_id_ = id;
        return *this;
    }
    // True when the servo sent nothing in time (as opposed to a reply that
    // was not valid).
    bool is_timed_out() const { return io() != nullptr && io()->kind == IoErrorKind::TimedOut; }
    // The id in the header of a reply that came from another servo than
    // servo_id(): the servo asked did not answer, the next one did.
    std::optional<std::uint8_t> reply_id() const { return id_or_none(reply_id_); }
    Error& set_reply_id(std::uint8_t id) {
        reply_id_ = id;
        return *this;
    }

private:
    std::variant<CommunicationErrorKind, IoError, PortError> value_;
    std::optional<common::OsCause> os_cause_;
    // Servo ids, or kNoId. (Plain ints: GCC 12 takes a disengaged
    // std::optional<uint8_t> for an uninitialised read when one is copied.)
    static constexpr int kNoId = -1;
    static std::optional<std::uint8_t> id_or_none(int id) {
        return id == kNoId ? std::nullopt : std::optional<std::uint8_t>(static_cast<std::uint8_t>(id));
    }
    int servo_id_ = kNoId;
    int reply_id_ = kNoId;
};

template <class T>
using Result = common::Result<T, Error>;

// Shorthand for the I/O error of an operation given arguments it cannot carry out.
inline Error invalid_input(std::string message) { return IoError{IoErrorKind::InvalidInput, std::move(message)}; }

}  // namespace smartbus
