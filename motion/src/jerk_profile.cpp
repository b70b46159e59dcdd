#include "motion/jerk_profile.hpp"

#include <algorithm>

namespace quorvel::motion {

JointState integrate(const JointState& from, double jerk, double t) {
    const double t2 = t * t;
    return {from.position + from.velocity * t + from.acceleration * t2 / 2.0 + jerk * t2 * t / 6.0,
            from.velocity + from.acceleration * t + jerk * t2 / 2.0, from.acceleration + jerk * t};
}

JerkProfile::JerkProfile(const JointState& at) { state_[0] = at; }

void JerkProfile::append(double jerk, double duration) {
    if (!(duration > 0.0) || count_ == max_segments) return;
    jerk_[count_] = jerk;
    state_[count_ + 1] = integrate(state_[count_], jerk, duration);
    start_time_[count_ + 1] = start_time_[count_] + duration;
    ++count_;
}

void JerkProfile::append(const JerkProfile& next) {
    for (int i = 0; i < next.count_; ++i) append(next.jerk_[i], next.segment_duration(i));
    if (next.count_ > 0) state_[count_] = next.final_state();
}

JointState JerkProfile::sample(double t) const {
    if (!(t > 0.0)) return state_[0];
    if (t >= start_time_[count_]) return state_[count_];
    // At most eight segments: a linear scan beats a binary search.
    int i = 0;
    while (i + 1 < count_ && t >= start_time_[i + 1]) ++i;
    return integrate(state_[i], jerk_[i], t - start_time_[i]);
}

}  // namespace quorvel::motion
