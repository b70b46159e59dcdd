// Text helpers that produce the exact message forms used across the module.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace common {

// Shortest text that reads back as the same double, always with a decimal
// point or an exponent: 1.0, 0.25, -0.0, 1e-5, 2.5e-7, 1e16, NaN, inf, -inf.
// Magnitudes below 1e-4 (but not zero) or from 1e16 up use the exponent form.
std::string float_debug(double value);

// Shortest round-trip text in plain decimal notation, without a forced
// decimal point: 0, -1, 0.4, 1e-7 -> 0.0000001, NaN, inf.
std::string float_display(double value);

// Fixed number of digits after the decimal point; with plus_sign a '+' is
// written before non-negative numbers: fixed(0.05, 4) == "0.0500",
// fixed(-0.0003, 4, true) == "-0.0003", fixed(0, 4, true) == "+0.0000".
std::string fixed(double value, int decimals, bool plus_sign = false);

// Duration in its largest unit of at least one: 30s, 2.5s, 100ms, 12.5µs,
// 0ns; fractional digits without trailing zeros, at most nine.
std::string duration_text(std::chrono::nanoseconds duration);

// A text in double quotes with '"' and '\' (and control characters) escaped.
std::string quoted(std::string_view text);

// Seconds as whole seconds plus nanoseconds / 1e9.
double seconds(std::chrono::nanoseconds duration);

// "[a, b, c]": each element formatted by format_element.
template <class Container, class Formatter>
std::string debug_list(const Container& items, Formatter&& format_element) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : items) {
        if (!first) out += ", ";
        first = false;
        out += format_element(item);
    }
    out += "]";
    return out;
}

// Common element formatters for debug_list.
inline std::string int_text(std::int64_t value) { return std::to_string(value); }
inline std::string bool_text(bool value) { return value ? "true" : "false"; }

}  // namespace common
