#include "smartbus/error.hpp"

namespace smartbus {

namespace {

// Each code's two texts: the name as code shows it and the words for people.
// IncorrectId adds the ids to both.
struct CodeTexts {
    const char* debug;
    const char* display;
};

CodeTexts code_texts(CommunicationErrorCode code) {
    switch (code) {
        case CommunicationErrorCode::ChecksumError: return {"ChecksumError", "Checksum error"};
        case CommunicationErrorCode::ParsingError: return {"ParsingError", "Parsing error"};
        case CommunicationErrorCode::TimeoutError: return {"TimeoutError", "Timeout error"};
        case CommunicationErrorCode::IncorrectId: return {"IncorrectId", "Incorrect id"};
        case CommunicationErrorCode::Unsupported: return {"Unsupported", "Operation not supported"};
    }
    return {"Unknown", "Unknown error"};
}

}  // namespace

std::string CommunicationErrorKind::debug_text() const {
    std::string text = code_texts(code).debug;
    if (code == CommunicationErrorCode::IncorrectId)
        text += "(" + std::to_string(expected) + ", " + std::to_string(received) + ")";
    return text;
}

std::string CommunicationErrorKind::display_text() const {
    std::string text = code_texts(code).display;
    if (code == CommunicationErrorCode::IncorrectId)
        text += " (" + std::to_string(received) + " instead of " + std::to_string(expected) + ")";
    return text;
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
