// Reads single-joint problems, one a line: "distance max_velocity
// max_acceleration max_jerk" (from rest to rest), and prints the duration of
// the time-optimal motion for each, one a line, with full precision.
#include <cstdio>

#include "motion/jerk_profile.hpp"

int main() {
    using namespace quorvel::motion;
    double distance = 0, vmax = 0, amax = 0, jmax = 0;
    while (std::scanf("%lf %lf %lf %lf", &distance, &vmax, &amax, &jmax) == 4) {
        const JointLimits limits{vmax, amax, jmax};
        if (!check_limits("joint", limits).ok()) {
            std::fprintf(stderr, "bad limits: %g %g %g\n", vmax, amax, jmax);
            return 2;
        }
        std::printf("%.17g\n", TargetMotion({0.0, 0.0, 0.0}, distance, limits).min_duration());
    }
    return 0;
}
