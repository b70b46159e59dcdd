#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace common {
namespace {

std::string special_value(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

std::string shortest(double value, std::chars_format format) {
    char buffer[400];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, format);
    if (ec != std::errc{}) return "?";
    return std::string(buffer, end);
}

}  // namespace

std::string float_debug(double value) {
    if (!std::isfinite(value)) return special_value(value);
    const double magnitude = std::fabs(value);
    if (magnitude != 0.0 && (magnitude < 1e-4 || magnitude >= 1e16)) {
        // to_chars writes e.g. "2.5e-07" or "1e+16": drop the '+' and the
        // exponent's leading zeros.
        std::string text = shortest(value, std::chars_format::scientific);
        const auto e = text.find('e');
        std::string mantissa = text.substr(0, e);
        const long exponent = std::strtol(text.c_str() + e + 1, nullptr, 10);
        return mantissa + "e" + std::to_string(exponent);
    }
    std::string text = shortest(value, std::chars_format::fixed);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

std::string float_display(double value) {
    if (!std::isfinite(value)) return special_value(value);
    return shortest(value, std::chars_format::fixed);
}

std::string fixed(double value, int decimals, bool plus_sign) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : (plus_sign ? "+inf" : "inf");
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, plus_sign ? "%+.*f" : "%.*f", decimals, value);
    return buffer;
}

std::string duration_text(std::chrono::nanoseconds duration) {
    using std::chrono::nanoseconds;
    const std::uint64_t total = duration.count() < 0 ? 0 : static_cast<std::uint64_t>(duration.count());
    const std::uint64_t secs = total / 1'000'000'000ULL;
    const std::uint64_t nanos = total % 1'000'000'000ULL;

    // whole units, the remainder in nanoseconds and the nanoseconds of one
    // tenth of the unit (the first fractional digit)
    auto decimal = [](std::uint64_t whole, std::uint64_t remainder, std::uint64_t tenth,
                      const char* unit) {
        std::string out = std::to_string(whole);
        if (remainder != 0) {
            out += '.';
            while (remainder != 0 && tenth != 0) {
                out += static_cast<char>('0' + remainder / tenth);
                remainder %= tenth;
                tenth /= 10;
            }
        }
        return out + unit;
    };
    if (secs > 0) return decimal(secs, nanos, 100'000'000ULL, "s");
    if (nanos >= 1'000'000ULL) return decimal(nanos / 1'000'000ULL, nanos % 1'000'000ULL, 100'000ULL, "ms");
    if (nanos >= 1'000ULL) return decimal(nanos / 1'000ULL, nanos % 1'000ULL, 100ULL, "\xC2\xB5s");
    return decimal(nanos, 0, 1, "ns");
}

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\0': out += "\\0"; break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buffer[16];
                    std::snprintf(buffer, sizeof buffer, "\\u{%x}", c);
                    out += buffer;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

double seconds(std::chrono::nanoseconds duration) {
    const auto count = duration.count();
    const auto whole = count / 1'000'000'000LL;
    const auto nanos = count % 1'000'000'000LL;
    return static_cast<double>(whole) + static_cast<double>(nanos) / 1e9;
}

}  // namespace common
