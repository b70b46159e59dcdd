#include "velocity_change.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel::motion::detail {

double VelocityChange::distance(double v0, double a0) const {
    JointState s{0.0, v0, a0};
    for (int i = 0; i < 3; ++i) s = integrate(s, jerk[i], duration[i]);
    return s.position;
}

void VelocityChange::append_to(JerkProfile& profile, double velocity) const {
    for (int i = 0; i < 3; ++i) profile.append(jerk[i], duration[i]);
    if (total_duration() > 0.0) profile.settle(velocity);
}

VelocityChange velocity_change(double v0, double a0, double v1, double amax, double jmax) {
    // The velocity reached by ramping the acceleration to zero at once
    // decides the direction; solve the upward case, mirrored if needed.
    const double v_ramp = ramped_velocity(v0, a0, jmax);
    const double sign = v1 >= v_ramp ? 1.0 : -1.0;
    const double a = sign * a0;
    const double dv = sign * (v1 - v0);  // >= a*|a|/(2 jmax)

    VelocityChange change;
    if (a > amax) {
        // Beyond the (lowered) limit: ramp down to amax, hold, ramp to zero.
        change.jerk = {-jmax, 0.0, -jmax};
        change.duration = {(a - amax) / jmax, std::max(0.0, (dv - a * a / (2.0 * jmax)) / amax), amax / jmax};
    } else {
        const double peak = std::sqrt(std::max(0.0, jmax * dv + a * a / 2.0));
        if (peak <= amax) {
            change.jerk = {jmax, 0.0, -jmax};
            change.duration = {std::max(0.0, (peak - a) / jmax), 0.0, peak / jmax};
        } else {
            change.jerk = {jmax, 0.0, -jmax};
            change.duration = {(amax - a) / jmax,
                               std::max(0.0, (dv - (2.0 * amax * amax - a * a) / (2.0 * jmax)) / amax),
                               amax / jmax};
        }
    }
    for (double& j : change.jerk) j *= sign;
    return change;
}

}  // namespace quorvel::motion::detail
