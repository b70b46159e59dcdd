#include <string.h>  // strerror_r

#include <string>

#include "candrive/transport.hpp"

namespace candrive {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the
// buffer); these overloads accept whichever the C library declares.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}

std::string system_error_text(int os_error) {
    char buffer[256] = {};
    const char* text = strerror_result(strerror_r(os_error, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(os_error);
    return text;
}

}  // namespace

CanError CanError::timeout() { return CanError(Kind::Timeout, 0, 0, {}); }
CanError CanError::frame_too_large(std::size_t len) { return CanError(Kind::FrameTooLarge, len, 0, {}); }
CanError CanError::invalid_id() { return CanError(Kind::InvalidId, 0, 0, {}); }
CanError CanError::backend(int os_error) { return CanError(Kind::Backend, 0, os_error, {}); }
CanError CanError::backend(std::string text) { return CanError(Kind::Backend, 0, 0, std::move(text)); }

std::string CanError::message() const {
    switch (kind_) {
        case Kind::Timeout:
            return "timeout waiting for frame";
        case Kind::FrameTooLarge:
            return "frame too large for selected mode: " + std::to_string(length_) + " bytes";
        case Kind::InvalidId:
            return "invalid CAN id";
        case Kind::Backend:
            if (!text_.empty()) return "backend error: " + text_;
            return "backend error: " + system_error_text(os_error_) + " (os error " +
                   std::to_string(os_error_) + ")";
    }
    return "unknown CAN error";
}

}  // namespace candrive
