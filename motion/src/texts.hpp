// Building blocks of the motion layer's refusal texts.
#pragma once

#include <string>
#include <string_view>

#include "motion/types.hpp"

namespace quorvel::motion::detail {

// A refusal of the given kind with the text `message`.
inline common::Err<Error> refuse(ErrorKind kind, std::string message) {
    return common::Err{Error{kind, std::move(message)}};
}

// "NaN", "inf", "-inf", or the shortest text that reads back as the value.
std::string number(double value);

// A value over `limit` with as few significant digits as still read back
// above it: 3.2 for 3.2000001 over 2, 2.001 for 2.00071 over 2.
std::string number_over(double value, double limit);

// "is NaN", "is inf" or "is -inf" for a value that is not finite.
std::string not_finite(double value);

}  // namespace quorvel::motion::detail
