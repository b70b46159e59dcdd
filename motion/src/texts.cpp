#include "texts.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/format.hpp"

namespace quorvel::motion {
namespace detail {

std::string number(double value) { return common::float_display(value); }

std::string number_over(double value, double limit) {
    char buffer[40];
    for (int digits = 2; digits < 17; ++digits) {
        std::snprintf(buffer, sizeof buffer, "%.*g", digits, value);
        if (std::strtod(buffer, nullptr) > limit) return buffer;
    }
    return number(value);
}

std::string not_finite(double value) { return "is " + number(value); }

}  // namespace detail

Result<void> check_limits(std::string_view joint, const JointLimits& limits) {
    const struct {
        const char* name;
        double value;
    } fields[] = {{"max_velocity", limits.max_velocity},
                  {"max_acceleration", limits.max_acceleration},
                  {"max_jerk", limits.max_jerk}};
    for (const auto& field : fields) {
        if (!(field.value > 0.0) || !std::isfinite(field.value)) {
            return detail::refuse(ErrorKind::InvalidInput, "motion limits of " + std::string(joint) + ": " +
                                                               field.name + " must be positive and finite (got " +
                                                               detail::number(field.value) + ")");
        }
    }
    return {};
}

}  // namespace quorvel::motion
