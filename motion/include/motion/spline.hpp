// One joint's path through timed knots: a quintic polynomial per span, with
// position, velocity and acceleration continuous at every knot.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "motion/types.hpp"

namespace quorvel::motion {

class Spline {
public:
    // An empty spline: sample() gives a state at rest at 0.
    Spline() = default;

    // The path from `start` at times[0] through positions[i] at times[i + 1]
    // (times increasing). With `velocities` (one per position) it passes
    // through them; with none, the knot velocities are those of the C2 cubic
    // spline through the positions, at rest at the last one. The last knot's
    // acceleration is zero; the interior knots' accelerations make the jerk
    // continuous too. Lengths that do not fit (fewer than two times, or not
    // one position and velocity per later time) give an empty spline.
    // Allocates (planning only).
    static Spline smooth(std::span<const double> times, const JointState& start, std::span<const double> positions,
                         std::span<const double> velocities);

    // Time of the first and of the last knot.
    double start_time() const { return times_.empty() ? 0.0 : times_.front(); }
    double end_time() const { return times_.empty() ? 0.0 : times_.back(); }

    // State at time t, clamped to [start_time(), end_time()]. No allocation.
    JointState sample(double t) const;

    // Time of knot k (k <= spans()).
    double knot_time(std::size_t k) const { return times_[k]; }

    // Number of spans (knots less one).
    std::size_t spans() const { return coefficients_.size(); }

    // Largest magnitude of the velocity, and of the acceleration, over span i
    // (found where their derivatives vanish, not by sampling).
    double peak_velocity(std::size_t span) const;
    double peak_acceleration(std::size_t span) const;

private:
    std::vector<double> times_;                        // knot times
    std::vector<std::array<double, 6>> coefficients_;  // of (t - times_[i]) per span i
};

}  // namespace quorvel::motion
