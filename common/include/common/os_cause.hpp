// The operating-system failure behind an error value: the error number and
// the device it concerned (a serial device path or a CAN interface name), so
// that whoever reports the error can say which device failed and why.
#pragma once

#include <optional>
#include <string>

namespace common {

struct OsCause {
    int number = 0;      // errno value, never 0
    std::string device;  // path or interface name as the caller gave it

    // The system's text for `number` ("No such file or directory").
    std::string text() const;

    friend bool operator==(const OsCause&, const OsCause&) = default;
};

// A cause for `number` on `device`, or nothing when no system call failed (0).
std::optional<OsCause> os_cause(int number, std::string device);

// The system's text for an error number, thread-safe.
std::string system_error_text(int number);

}  // namespace common
