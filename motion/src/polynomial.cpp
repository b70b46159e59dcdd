// Extremes of a polynomial on an interval: the real roots of its derivative
// are isolated recursively (between two roots of the second derivative the
// first is monotone, so one bisection finds its root there), which needs no
// closed form for cubics or quartics and cannot miss a root.
#include "polynomial.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel::motion::detail {
namespace {

// Writes the roots of p in the open interval (lo, hi) in increasing order
// to `roots`; returns their count (at most `degree`).
int roots_between(const Polynomial& p, int degree, double lo, double hi, double* roots) {
    while (degree > 0 && p[degree] == 0.0) --degree;
    if (degree == 0) return 0;
    if (degree == 1) {
        const double x = -p[0] / p[1];
        if (x > lo && x < hi) {
            roots[0] = x;
            return 1;
        }
        return 0;
    }
    // The monotone pieces between the derivative's roots hold one root at most.
    std::array<double, max_degree + 1> edges{};
    edges[0] = lo;
    const int critical = roots_between(derivative(p, degree), degree - 1, lo, hi, edges.data() + 1);
    edges[critical + 1] = hi;
    int count = 0;
    for (int i = 0; i <= critical; ++i) {
        double a = edges[i], b = edges[i + 1];
        double fa = evaluate(p, degree, a);
        const double fb = evaluate(p, degree, b);
        if (i > 0 && fa == 0.0) roots[count++] = a;  // a multiple root of p' where p vanishes too
        if (fa == 0.0 || fb == 0.0 || (fa < 0.0) == (fb < 0.0)) continue;
        for (int step = 0; step < 200 && b - a > 0.0; ++step) {
            const double m = 0.5 * (a + b);
            if (m <= a || m >= b) break;
            const double fm = evaluate(p, degree, m);
            if ((fm < 0.0) == (fa < 0.0)) {
                a = m;
                fa = fm;
            } else {
                b = m;
            }
        }
        roots[count++] = 0.5 * (a + b);
    }
    return count;
}

}  // namespace

double evaluate(const Polynomial& p, int degree, double t) {
    double value = p[degree];
    for (int k = degree - 1; k >= 0; --k) value = value * t + p[k];
    return value;
}

Polynomial derivative(const Polynomial& p, int degree) {
    Polynomial d{};
    for (int k = 1; k <= degree; ++k) d[k - 1] = k * p[k];
    return d;
}

double peak_magnitude(const Polynomial& p, int degree, double end) {
    double peak = std::max(std::fabs(evaluate(p, degree, 0.0)), std::fabs(evaluate(p, degree, end)));
    std::array<double, max_degree> critical{};
    if (degree >= 2) {
        const int count = roots_between(derivative(p, degree), degree - 1, 0.0, end, critical.data());
        for (int i = 0; i < count; ++i) peak = std::max(peak, std::fabs(evaluate(p, degree, critical[i])));
    }
    return peak;
}

}  // namespace quorvel::motion::detail
