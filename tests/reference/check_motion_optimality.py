"""Time optimality of the motion layer against an independent reference.

Generates 10 000 random single-joint problems from rest to rest, and 10 000
from moving states within the limits (fixed seed), solves each with the
`ruckig` package (test-only dependency, used through its public Python API)
and with the motion layer (the `motion_durations` test executable), and
checks that every duration of ours is within 1 % of the reference's, or
within one 2 ms control tick. Prints the largest gaps.

    python tests/reference/check_motion_optimality.py <build>/tests/cpp/motion/motion_durations
"""

import math
import random
import subprocess
import sys

from ruckig import InputParameter, Result, Ruckig, Trajectory

PROBLEMS = 10_000
SEED = 25
RELATIVE = 0.01
TICK_S = 0.002


def log_uniform(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


def problems(rng, moving):
    """(distance, max_velocity, max_acceleration, max_jerk, velocity, acceleration),
    from tiny to long moves; when moving, from a state whose acceleration can
    be ramped to zero before the velocity passes its limit."""
    cases = []
    while len(cases) < PROBLEMS:
        distance = rng.choice((-1.0, 1.0)) * log_uniform(rng, 1e-4, 6.0)
        vmax, amax, jmax = log_uniform(rng, 0.05, 20.0), log_uniform(rng, 0.1, 200.0), log_uniform(rng, 0.5, 5000.0)
        velocity = rng.uniform(-vmax, vmax) if moving else 0.0
        acceleration = rng.uniform(-amax, amax) if moving else 0.0
        if abs(velocity + acceleration * abs(acceleration) / (2 * jmax)) <= vmax:
            cases.append((distance, vmax, amax, jmax, velocity, acceleration))
    return cases


def reference_duration(otg, distance, vmax, amax, jmax, velocity, acceleration):
    inp = InputParameter(1)
    inp.current_position, inp.current_velocity, inp.current_acceleration = [0.0], [velocity], [acceleration]
    inp.target_position, inp.target_velocity, inp.target_acceleration = [distance], [0.0], [0.0]
    inp.max_velocity, inp.max_acceleration, inp.max_jerk = [vmax], [amax], [jmax]
    trajectory = Trajectory(1)
    result = otg.calculate(inp, trajectory)
    if result not in (Result.Working, Result.Finished):
        raise RuntimeError(f"reference failed ({result}) on {distance!r} {vmax!r} {amax!r} {jmax!r} {velocity!r} {acceleration!r}")
    return trajectory.duration


def check(executable, otg, label, cases):
    """Number of cases whose duration is off the reference's by more than allowed."""
    lines = "".join(" ".join(repr(x) for x in case) + "\n" for case in cases)
    run = subprocess.run([executable], input=lines, capture_output=True, text=True, check=True)
    ours = [float(word) for word in run.stdout.split()]
    if len(ours) != len(cases):
        sys.exit(f"expected {len(cases)} durations, got {len(ours)}")
    worst = (0.0, None, 0.0, 0.0)
    failures = []
    for case, duration in zip(cases, ours):
        reference = reference_duration(otg, *case)
        gap = duration - reference
        if abs(gap) / reference > worst[0]:
            worst = (abs(gap) / reference, case, duration, reference)
        if abs(gap) > max(RELATIVE * reference, TICK_S):
            failures.append((case, duration, reference))
    relative, case, duration, reference = worst
    print(f"{len(cases)} problems {label}: largest relative gap to the reference {relative:.3g}"
          + (f" (ours {duration:.6g} s, reference {reference:.6g} s)" if case else ""))
    for case, duration, reference in failures[:10]:
        print(f"FAIL {case}: ours {duration!r} s, reference {reference!r} s")
    return len(failures)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    rng = random.Random(SEED)
    otg = Ruckig(1)
    failed = check(sys.argv[1], otg, "from rest", problems(rng, moving=False))
    failed += check(sys.argv[1], otg, "from moving states", problems(rng, moving=True))
    print(f"{2 * PROBLEMS - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
