// The smooth path through timed knots. Knot velocities (when not given) come
// from the C2 cubic spline through the positions; knot accelerations then
// make the jerk continuous; each span is the quintic matching position,
// velocity and acceleration at both of its knots.
#include "motion/spline.hpp"

#include <algorithm>
#include <cmath>

#include "polynomial.hpp"

namespace quorvel::motion {
namespace {

// Solves the tridiagonal system lower[i] x[i-1] + diagonal[i] x[i] +
// upper[i] x[i+1] = rhs[i] (diagonally dominant here) in place: the solution
// replaces rhs.
void solve_tridiagonal(std::vector<double>& lower, std::vector<double>& diagonal, std::vector<double>& upper,
                       std::vector<double>& rhs) {
    const std::size_t n = rhs.size();
    for (std::size_t i = 1; i < n; ++i) {
        const double m = lower[i] / diagonal[i - 1];
        diagonal[i] -= m * upper[i - 1];
        rhs[i] -= m * rhs[i - 1];
    }
    for (std::size_t i = n; i-- > 0;) {
        if (i + 1 < n) rhs[i] -= upper[i] * rhs[i + 1];
        rhs[i] /= diagonal[i];
    }
}

// Interior knot velocities of the cubic spline with continuous acceleration
// through p, with v's ends given.
void cubic_spline_velocities(const std::vector<double>& t, const std::vector<double>& p, std::vector<double>& v) {
    const std::size_t n = t.size() - 1;  // spans
    if (n < 2) return;
    std::vector<double> lower(n - 1), diagonal(n - 1), upper(n - 1), rhs(n - 1);
    for (std::size_t k = 1; k < n; ++k) {
        const double ha = t[k] - t[k - 1], hb = t[k + 1] - t[k];
        lower[k - 1] = 1.0 / ha;
        diagonal[k - 1] = 2.0 * (1.0 / ha + 1.0 / hb);
        upper[k - 1] = 1.0 / hb;
        rhs[k - 1] = 3.0 * ((p[k] - p[k - 1]) / (ha * ha) + (p[k + 1] - p[k]) / (hb * hb));
    }
    rhs.front() -= lower.front() * v.front();
    rhs.back() -= upper.back() * v.back();
    solve_tridiagonal(lower, diagonal, upper, rhs);
    std::copy(rhs.begin(), rhs.end(), v.begin() + 1);
}

// Interior knot accelerations that make the quintic spans' jerk continuous,
// with a's ends given.
void continuous_jerk_accelerations(const std::vector<double>& t, const std::vector<double>& p,
                                   const std::vector<double>& v, std::vector<double>& a) {
    const std::size_t n = t.size() - 1;
    if (n < 2) return;
    std::vector<double> lower(n - 1), diagonal(n - 1), upper(n - 1), rhs(n - 1);
    for (std::size_t k = 1; k < n; ++k) {
        const double ha = t[k] - t[k - 1], hb = t[k + 1] - t[k];
        const double da = p[k] - p[k - 1], db = p[k + 1] - p[k];
        // Jerk at the end of span k-1 equals the jerk at the start of span k.
        lower[k - 1] = -3.0 / ha;
        diagonal[k - 1] = 9.0 * (1.0 / ha + 1.0 / hb);
        upper[k - 1] = -3.0 / hb;
        rhs[k - 1] = 60.0 * db / (hb * hb * hb) - (36.0 * v[k] + 24.0 * v[k + 1]) / (hb * hb) -
                     60.0 * da / (ha * ha * ha) + (24.0 * v[k - 1] + 36.0 * v[k]) / (ha * ha);
    }
    rhs.front() -= lower.front() * a.front();
    rhs.back() -= upper.back() * a.back();
    solve_tridiagonal(lower, diagonal, upper, rhs);
    std::copy(rhs.begin(), rhs.end(), a.begin() + 1);
}

// The quintic in local time on [0, h] from state (p0, v0, a0) to (p1, v1, a1).
std::array<double, 6> quintic(double p0, double v0, double a0, double p1, double v1, double a1, double h) {
    const double d = p1 - p0, h2 = h * h, h3 = h2 * h;
    return {p0,
            v0,
            a0 / 2.0,
            (20.0 * d - (8.0 * v1 + 12.0 * v0) * h - (3.0 * a0 - a1) * h2) / (2.0 * h3),
            (-30.0 * d + (14.0 * v1 + 16.0 * v0) * h + (3.0 * a0 - 2.0 * a1) * h2) / (2.0 * h3 * h),
            (12.0 * d - 6.0 * (v1 + v0) * h + (a1 - a0) * h2) / (2.0 * h3 * h2)};
}

}  // namespace

Spline Spline::smooth(std::span<const double> times, const JointState& start, std::span<const double> positions,
                      std::span<const double> velocities) {
    Spline spline;
    const std::size_t knots = times.size();
    if (knots < 2 || positions.size() + 1 != knots || (!velocities.empty() && velocities.size() + 1 != knots)) {
        return spline;  // not a path; callers check their input first
    }
    spline.times_.assign(times.begin(), times.end());
    std::vector<double> p(knots), v(knots, 0.0), a(knots, 0.0);
    p[0] = start.position;
    v[0] = start.velocity;
    a[0] = start.acceleration;
    std::copy(positions.begin(), positions.end(), p.begin() + 1);
    if (velocities.empty()) {
        cubic_spline_velocities(spline.times_, p, v);
    } else {
        std::copy(velocities.begin(), velocities.end(), v.begin() + 1);
    }
    continuous_jerk_accelerations(spline.times_, p, v, a);
    spline.coefficients_.resize(knots - 1);
    for (std::size_t i = 0; i + 1 < knots; ++i) {
        spline.coefficients_[i] = quintic(p[i], v[i], a[i], p[i + 1], v[i + 1], a[i + 1], times[i + 1] - times[i]);
    }
    return spline;
}

JointState Spline::sample(double t) const {
    if (coefficients_.empty()) return {0.0, 0.0, 0.0};
    t = std::clamp(t, times_.front(), times_.back());
    // The span whose start is the last knot time not after t.
    const auto after = std::upper_bound(times_.begin() + 1, times_.end() - 1, t);
    const std::size_t i = static_cast<std::size_t>(after - times_.begin()) - 1;
    const auto& c = coefficients_[i];
    const double x = t - times_[i];
    return {((((c[5] * x + c[4]) * x + c[3]) * x + c[2]) * x + c[1]) * x + c[0],
            (((5.0 * c[5] * x + 4.0 * c[4]) * x + 3.0 * c[3]) * x + 2.0 * c[2]) * x + c[1],
            ((20.0 * c[5] * x + 12.0 * c[4]) * x + 6.0 * c[3]) * x + 2.0 * c[2]};
}

double Spline::peak_velocity(std::size_t span) const {
    const auto velocity = detail::derivative(coefficients_[span], 5);
    return detail::peak_magnitude(velocity, 4, times_[span + 1] - times_[span]);
}

double Spline::peak_acceleration(std::size_t span) const {
    const auto velocity = detail::derivative(coefficients_[span], 5);
    return detail::peak_magnitude(detail::derivative(velocity, 4), 3, times_[span + 1] - times_[span]);
}

}  // namespace quorvel::motion
