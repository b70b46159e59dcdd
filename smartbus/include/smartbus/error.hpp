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

private:
    std::variant<CommunicationErrorKind, IoError, PortError> value_;
    std::optional<common::OsCause> os_cause_;
};

template <class T>
using Result = common::Result<T, Error>;

// Shorthand for the I/O error of an operation given arguments it cannot carry out.
inline Error invalid_input(std::string message) { return IoError{IoErrorKind::InvalidInput, std::move(message)}; }

}  // namespace smartbus
