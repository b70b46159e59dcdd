// Bracketed root finding for the planners' one-dimensional searches.
#pragma once

#include <cmath>

namespace quorvel::motion::detail {

// A root of the continuous f in [lo, hi], where f(lo) <= 0 <= f(hi): an x
// with |f(x)| <= f_tolerance, or the better end of a bracket narrowed to
// x_tolerance. False position with the Illinois modification converges in a
// handful of steps on the smooth pieces of the planners' functions; when
// three steps in a row fail to halve the bracket, a bisection step follows,
// so the number of steps stays bounded either way.
template <class F>
double find_root(F&& f, double lo, double hi, double f_lo, double f_hi, double x_tolerance,
                 double f_tolerance) {
    int stale_side = 0;
    int slow_steps = 0;
    double checkpoint = hi - lo;
    for (int step = 0; step < 200 && hi - lo > x_tolerance; ++step) {
        double x = (lo * f_hi - hi * f_lo) / (f_hi - f_lo);
        if (slow_steps >= 3 || !(x > lo && x < hi)) {
            x = 0.5 * (lo + hi);
            slow_steps = 0;
        }
        const double fx = f(x);
        if (std::fabs(fx) <= f_tolerance) return x;
        if (fx < 0.0) {
            lo = x;
            f_lo = fx;
            if (stale_side == -1) f_hi *= 0.5;
            stale_side = -1;
        } else {
            hi = x;
            f_hi = fx;
            if (stale_side == 1) f_lo *= 0.5;
            stale_side = 1;
        }
        if (hi - lo <= 0.5 * checkpoint) {
            checkpoint = hi - lo;
            slow_steps = 0;
        } else {
            ++slow_steps;
        }
    }
    return std::fabs(f_lo) <= std::fabs(f_hi) ? lo : hi;
}

}  // namespace quorvel::motion::detail
