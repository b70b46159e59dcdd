// Small polynomials (degree at most five) in ascending coefficient order.
#pragma once

#include <array>

namespace quorvel::motion::detail {

inline constexpr int max_degree = 5;
using Polynomial = std::array<double, max_degree + 1>;

// Value at t (Horner).
double evaluate(const Polynomial& p, int degree, double t);

// Coefficients of the derivative (degree one less).
Polynomial derivative(const Polynomial& p, int degree);

// Largest |p(t)| for t in [0, end]: at an end or where p' vanishes.
double peak_magnitude(const Polynomial& p, int degree, double end);

}  // namespace quorvel::motion::detail
