// The adapter phase seeker against a model adapter that hands the reply over
// on a fixed timer grid, with the host's jitter on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "control_loop/adapter_phase.hpp"

using quorvel::AdapterPhaseSeeker;
using Duration = AdapterPhaseSeeker::Duration;

namespace {

constexpr double kPeriod = 2e-3;

Duration ns(double seconds) { return Duration(static_cast<Duration::rep>(std::llround(seconds * 1e9))); }
double sec(Duration d) { return std::chrono::duration<double>(d).count(); }

// A read started at `start` is on the wire for `wire`, then waits for the
// next expiry of a timer firing every `timer` from `phase` (0: no adapter).
double read_time(double start, double wire, double timer, double phase) {
    const double done = start + wire;
    if (timer <= 0.0) return wire;
    return phase + std::ceil((done - phase) / timer) * timer - start;
}

struct Outcome {
    double median_late_read;  // over the last 400 ticks
    double offset;
};

Outcome run(double wire, double timer, double phase, std::mt19937& rng, int ticks = 2000) {
    std::uniform_real_distribution<double> jitter(0.0, 40e-6);
    AdapterPhaseSeeker seeker(ns(kPeriod));
    std::vector<double> late;
    for (int k = 0; k < ticks; ++k) {
        const double offset = sec(seeker.offset());
        EXPECT_LE(std::abs(offset), kPeriod / 2);
        const double read = read_time(k * kPeriod + offset, wire, timer, phase) + jitter(rng);
        seeker.observe(ns(read));
        if (k >= ticks - 400) late.push_back(read);
    }
    std::nth_element(late.begin(), late.begin() + 200, late.end());
    return {late[200], sec(seeker.offset())};
}

}  // namespace

// Any wire time, timer period and phase, the adapter's clock running up to
// 300 ppm either way against the host's (a whole timer period in 2000 ticks).
TEST(AdapterPhaseSeeker, ReadsEndJustAheadOfTheHandOverWhateverThePhaseAndDrift) {
    std::mt19937 rng(28);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const AdapterPhaseSeeker::Settings settings;
    // A guard, and up to another while a drift builds up before it is followed.
    const double allowance = 2 * sec(settings.guard) + 40e-6;
    for (int i = 0; i < 200; ++i) {
        const double drift = (i % 3 - 1) * 300e-6;
        const double timer = (i % 2 == 0 ? 1e-3 : 2e-3) * (1.0 + drift);
        const double wire = (0.1 + 0.8 * unit(rng)) * timer;
        const Outcome r = run(wire, timer, unit(rng) * timer, rng);
        EXPECT_LE(r.median_late_read, wire + allowance) << "case " << i << ", wire " << wire << ", timer " << timer;
    }
}

TEST(AdapterPhaseSeeker, WithoutAnAdapterTheScheduleStaysPut) {
    std::mt19937 rng(7);
    for (const double wire : {0.3e-3, 0.9e-3, 1.4e-3}) EXPECT_LE(std::abs(run(wire, 0.0, 0.0, rng, 200).offset), 0.2e-3) << wire;
}
