// Reads single-joint problems, one a line: "distance max_velocity
// max_acceleration max_jerk [velocity acceleration]" (from that start state,
// at rest when not given, to rest), and prints the duration of the
// time-optimal motion for each, one a line, with full precision.
#include <cstdio>

#include "motion/jerk_profile.hpp"

int main() {
    using namespace quorvel::motion;
    char line[512];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        double distance = 0, vmax = 0, amax = 0, jmax = 0, velocity = 0, acceleration = 0;
        const int fields =
            std::sscanf(line, "%lf %lf %lf %lf %lf %lf", &distance, &vmax, &amax, &jmax, &velocity, &acceleration);
        const JointLimits limits{vmax, amax, jmax};
        if ((fields != 4 && fields != 6) || !check_limits("joint", limits).ok()) {
            std::fprintf(stderr, "bad problem: %s", line);
            return 2;
        }
        std::printf("%.17g\n", TargetMotion({0.0, velocity, acceleration}, distance, limits).min_duration());
    }
    return 0;
}
