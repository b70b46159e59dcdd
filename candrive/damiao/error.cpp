#include "candrive/damiao/error.hpp"

#include <string>

#include "common/format.hpp"

namespace candrive::damiao {

Error Error::transport(CanError error) {
    Error e(Kind::Transport);
    e.transport_ = std::move(error);
    return e;
}

Error Error::unknown_register(std::uint8_t id) {
    Error e(Kind::UnknownRegister);
    e.register_id_ = id;
    return e;
}

Error Error::read_only_register(std::uint8_t id) {
    Error e(Kind::ReadOnlyRegister);
    e.register_id_ = id;
    return e;
}

Error Error::type_mismatch(std::uint8_t id, RegisterType expected, RegisterType given) {
    Error e(Kind::TypeMismatch);
    e.register_id_ = id;
    e.expected_ = expected;
    e.given_ = given;
    return e;
}

Error Error::unexpected_reply(std::vector<std::uint8_t> data) {
    Error e(Kind::UnexpectedReply);
    e.data_ = std::move(data);
    return e;
}

Error Error::control_mode_mismatch(std::uint8_t written, std::uint8_t reported) {
    Error e(Kind::ControlModeMismatch);
    e.mode_written_ = written;
    e.mode_reported_ = reported;
    return e;
}

Error Error::short_feedback(std::size_t length) {
    Error e(Kind::ShortFeedback);
    e.length_ = length;
    return e;
}

std::string Error::message() const {
    switch (kind_) {
        case Kind::Transport:
            return "transport error: " + transport_.message();
        case Kind::UnknownRegister:
            return "register " + std::to_string(register_id_) + " is not in the Damiao register table";
        case Kind::ReadOnlyRegister:
            return "register " + std::to_string(register_id_) + " is read-only";
        case Kind::TypeMismatch:
            return "register " + std::to_string(register_id_) + ": expected " +
                   std::string(register_type_name(expected_)) + ", got " + std::string(register_type_name(given_));
        case Kind::UnexpectedReply:
            return "unexpected reply (data did not match register-reply pattern): " +
                   common::debug_list(data_, [](std::uint8_t b) { return common::int_text(b); });
        case Kind::ControlModeMismatch:
            return "control mode verification failed: wrote " + std::to_string(mode_written_) +
                   ", motor reports " + std::to_string(mode_reported_);
        case Kind::ShortFeedback:
            return "feedback frame too short: " + std::to_string(length_) + " data bytes, expected 8";
    }
    return "unknown Damiao error";
}

}  // namespace candrive::damiao
