// The adapter phase seeker against a model adapter that hands the reply over
// on a fixed timer grid, with the host's delays on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "control_loop/adapter_phase.hpp"

using quorvel::AdapterPhaseSeeker;
using Duration = AdapterPhaseSeeker::Duration;

namespace {

constexpr double kPeriod = 2e-3;

Duration ns(double seconds) { return Duration(static_cast<Duration::rep>(std::llround(seconds * 1e9))); }

struct Adapter {
    double wire;   // request and replies on the line
    double timer;  // 0: no adapter
    double phase;  // of the timer's expiries
};

// Median time from due to reading over the last quarter of `ticks` ticks:
// each tick wakes a little late, its reply crosses the wire and then waits
// for the adapter's next expiry, and reaches the loop a little later still.
double settled_median(AdapterPhaseSeeker& seeker, const Adapter& a, std::mt19937& rng, int ticks = 4000) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto delay = [&] { return 40e-6 * std::pow(unit(rng), 3.0); };  // mostly small, now and then 40 us
    std::vector<double> tail;
    for (int k = 0; k < ticks; ++k) {
        const double offset = std::chrono::duration<double>(seeker.offset()).count();
        EXPECT_LE(std::abs(offset), kPeriod / 2);
        const double due = k * kPeriod + offset;
        const double start = due + delay();
        const double done = start + a.wire + delay();
        const double handed = a.timer > 0 ? a.phase + std::ceil((done - a.phase) / a.timer) * a.timer : done;
        const double complete = handed + delay();
        seeker.observe(ns(start - due), ns(complete - due));
        if (k >= ticks * 3 / 4) tail.push_back(complete - due);
    }
    std::nth_element(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(tail.size() / 2), tail.end());
    return tail[tail.size() / 2];
}

}  // namespace

// Any wire time, a 1 ms timer (two in the 2 ms period) at any phase, the
// adapter's clock running up to 100 ppm either way against the host's: the
// readings end just ahead of the hand-over.
TEST(AdapterPhaseSeeker, ReadingsEndJustAheadOfTheHandOverWhateverThePhaseAndDrift) {
    std::mt19937 rng(28);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < 120; ++i) {
        const Adapter a{(0.1 + 0.75 * unit(rng)) * 1e-3, 1e-3 * (1.0 + (i % 3 - 1) * 100e-6), unit(rng) * 1e-3};
        AdapterPhaseSeeker seeker(ns(kPeriod));
        const double median = settled_median(seeker, a, rng);
        EXPECT_TRUE(seeker.active());
        // The margin kept before the hand-over, a drift's worth and the delays.
        EXPECT_LE(median, a.wire + 0.25e-3) << "case " << i << ", wire " << a.wire << ", timer " << a.timer;
    }
}

TEST(AdapterPhaseSeeker, WithoutAnAdapterTheScheduleStaysAsItWas) {
    std::mt19937 rng(7);
    for (const double wire : {0.3e-3, 0.9e-3, 1.4e-3}) {
        AdapterPhaseSeeker seeker(ns(kPeriod));
        settled_median(seeker, Adapter{wire, 0.0, 0.0}, rng, 400);
        EXPECT_FALSE(seeker.active()) << wire;
        EXPECT_EQ(seeker.offset(), Duration(0)) << wire;
    }
}
