#include "control_loop/records.hpp"

#include <chrono>
#include <limits>

#include "common/format.hpp"

namespace quorvel {
namespace {

std::string float_list(const auto& values) {
    return common::debug_list(values, [](double v) { return common::float_debug(v); });
}

// Mean of the samples in milliseconds, two decimals; "NaN" when empty.
std::string mean_ms(const SampleSeq& samples) {
    if (samples.empty()) return common::fixed(std::numeric_limits<double>::quiet_NaN(), 2);
    double sum = -0.0;
    samples.for_each_run([&](std::span<const double> run) {
        for (double s : run) sum += s;
    });
    return common::fixed(sum / static_cast<double>(samples.size()) * 1000.0, 2);
}

}  // namespace

double wall_clock_timestamp() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch);
    if (nanos.count() < 0) return 0.0;
    return common::seconds(nanos);
}

QuorvelTorsoPosition QuorvelTorsoPosition::from_servos(const std::array<double, 7>& servos,
                                                       const std::array<double, 3>& neck) {
    QuorvelTorsoPosition p;
    p.left_arm = {servos[0], servos[1]};
    p.right_arm = {servos[2], servos[3]};
    p.nose = {servos[4], servos[5], servos[6]};
    p.neck = neck;
    p.timestamp = wall_clock_timestamp();
    return p;
}

std::array<double, 7> QuorvelTorsoPosition::servos() const {
    return {left_arm[0], left_arm[1], right_arm[0], right_arm[1], nose[0], nose[1], nose[2]};
}

std::string QuorvelTorsoPosition::repr() const {
    return "QuorvelTorsoPosition(left_arm=" + float_list(left_arm) +
           ", right_arm=" + float_list(right_arm) + ", nose=" + float_list(nose) +
           ", neck=" + float_list(neck) + ", timestamp=" + common::fixed(timestamp, 3) + ")";
}

std::string ControlLoopStats::repr() const {
    return "ControlLoopStats(period=~" + mean_ms(period) + "ms, read_dt=~" + mean_ms(read_dt) +
           " ms, write_dt=~" + mean_ms(write_dt) + " ms)";
}

}  // namespace quorvel
