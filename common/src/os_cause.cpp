#include "common/os_cause.hpp"

#include <string.h>  // strerror_r

#include <utility>

namespace common {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the
// buffer); these overloads accept whichever the C library declares.
[[maybe_unused]] const char* strerror_result(const char* text, const char*) { return text; }
[[maybe_unused]] const char* strerror_result(int status, const char* buffer) {
    return status == 0 ? buffer : nullptr;
}

}  // namespace

std::string system_error_text(int number) {
    char buffer[256] = {};
    const char* text = strerror_result(strerror_r(number, buffer, sizeof buffer), buffer);
    if (text == nullptr || *text == '\0') return "Unknown error " + std::to_string(number);
    return text;
}

std::string OsCause::text() const { return system_error_text(number); }

std::optional<OsCause> os_cause(int number, std::string device) {
    if (number == 0) return std::nullopt;
    return OsCause{number, std::move(device)};
}

}  // namespace common
