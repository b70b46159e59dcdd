// The Damiao driver's error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "candrive/damiao/registers.hpp"
#include "candrive/transport.hpp"
#include "common/result.hpp"

namespace candrive::damiao {

class Error {
public:
    enum class Kind {
        Transport,            // the transport failed (time-out included)
        UnknownRegister,      // no such register in the table
        ReadOnlyRegister,     // write to a register the motor does not let us write
        TypeMismatch,         // value type differs from the register's type
        UnexpectedReply,      // reply bytes of no known form
        ControlModeMismatch,  // the control mode did not stick
        ShortFeedback,        // a feedback frame with fewer than 8 data bytes
    };

    static Error transport(CanError error);
    static Error unknown_register(std::uint8_t id);
    static Error read_only_register(std::uint8_t id);
    static Error type_mismatch(std::uint8_t id, RegisterType expected, RegisterType given);
    static Error unexpected_reply(std::vector<std::uint8_t> data);
    static Error control_mode_mismatch(std::uint8_t written, std::uint8_t reported);
    static Error short_feedback(std::size_t length);

    Kind kind() const { return kind_; }
    // The transport's error (Transport only), else null.
    const CanError* transport_error() const { return kind_ == Kind::Transport ? &transport_ : nullptr; }
    std::uint8_t register_id() const { return register_id_; }
    RegisterType expected() const { return expected_; }
    RegisterType given() const { return given_; }
    const std::vector<std::uint8_t>& reply_data() const { return data_; }
    std::uint8_t mode_written() const { return mode_written_; }
    std::uint8_t mode_reported() const { return mode_reported_; }
    std::size_t length() const { return length_; }

    // "transport error: timeout waiting for frame", "register 37 is not in the
    // Damiao register table", "register 10: expected Uint32, got Float", ...
    std::string message() const;

private:
    explicit Error(Kind kind) : kind_(kind), transport_(CanError::timeout()) {}

    Kind kind_;
    CanError transport_;
    std::uint8_t register_id_ = 0;
    RegisterType expected_ = RegisterType::Float;
    RegisterType given_ = RegisterType::Float;
    std::vector<std::uint8_t> data_;
    std::uint8_t mode_written_ = 0, mode_reported_ = 0;
    std::size_t length_ = 0;
};

template <class T>
using DamiaoResult = common::Result<T, Error>;

}  // namespace candrive::damiao
