#include "smartbus/error.hpp"

namespace smartbus {

std::string CommunicationErrorKind::debug_text() const {
    switch (code) {
        case CommunicationErrorCode::ChecksumError: return "ChecksumError";
        case CommunicationErrorCode::ParsingError: return "ParsingError";
        case CommunicationErrorCode::TimeoutError: return "TimeoutError";
        case CommunicationErrorCode::IncorrectId:
            return "IncorrectId(" + std::to_string(expected) + ", " + std::to_string(received) + ")";
        case CommunicationErrorCode::Unsupported: return "Unsupported";
    }
    return "Unknown";
}

std::string CommunicationErrorKind::display_text() const {
    switch (code) {
        case CommunicationErrorCode::ChecksumError: return "Checksum error";
        case CommunicationErrorCode::ParsingError: return "Parsing error";
        case CommunicationErrorCode::TimeoutError: return "Timeout error";
        case CommunicationErrorCode::IncorrectId:
            return "Incorrect id (" + std::to_string(received) + " instead of " + std::to_string(expected) + ")";
        case CommunicationErrorCode::Unsupported: return "Operation not supported";
    }
    return "Unknown error";
}

std::string Error::message() const {
    struct DisplayText {
        std::string operator()(const CommunicationErrorKind& kind) const { return kind.display_text(); }
        std::string operator()(const IoError& error) const { return error.message; }
        std::string operator()(const PortError& error) const { return error.message; }
    };
    return std::visit(DisplayText{}, value_);
}

bool Error::is_timed_out_or_interrupted() const {
    const auto* error = io();
    return error != nullptr && (error->kind == IoErrorKind::TimedOut || error->kind == IoErrorKind::Interrupted);
}

}  // namespace smartbus
