"""Generated motion on a 2 ms loop against the wire-time virtual torso.

Two runs of the same length: the loop alone, then the loop with targets for
all ten joints streamed at 30 Hz from Python (move_to). Prints, per run, the
late ticks (started more than half a period after their due time), the
tick's cost (read_dt: read plus set points) p50/p99, and for the motion run
the loop thread's cost of a move_to (write_dt: planning and publication) and
the goal-step check on what the servos received: no step between two goals
larger than the velocity limit allows over their interval (at least one
period) plus one goal step.

    python bench/motion_loop_bench.py [seconds per run, default 20]
"""

import math
import random
import sys
import threading
import time
from datetime import timedelta

import quorvel_motor_controller as qmc
import quorvel_torso_sim

sys.path.insert(0, __file__.rsplit("/", 1)[0])
from wire_bench_parts import NECK_BOUNDS, late_ticks, percentile  # noqa: E402

PERIOD_S = 0.002
STEP = 2 * math.pi / 4096


def run(seconds, with_motion):
    with quorvel_torso_sim.TorsoSim(wire=True) as sim:
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=PERIOD_S), can_bus=sim.can_bus,
                                        stats_pub_period=timedelta(milliseconds=200))
        try:
            loop.enable_torque()
            loop.enable_neck(True)
            time.sleep(0.5)
            limits = loop.motion_limits()
            sim.clear_set_point_history()
            stop = threading.Event()
            rng = random.Random(1)

            def stream():
                while not stop.is_set():
                    target = {name: rng.uniform(-1.0, 1.0) for name in qmc.SERVO_JOINTS}
                    target.update({name: rng.uniform(lo, hi) for name, (lo, hi) in NECK_BOUNDS.items()})
                    if rng.random() < 0.05:
                        loop.stop_motion()
                    else:
                        loop.move_to(target)
                    time.sleep(1 / 30)

            streamer = threading.Thread(target=stream)
            if with_motion:
                streamer.start()
            time.sleep(seconds)
            stop.set()
            if with_motion:
                streamer.join()
            stats = loop.get_stats()
            periods, reads, commands = list(stats.period), list(stats.read_dt), list(stats.write_dt)
            violations, worst = 0, 0.0
            for sid, name in enumerate(qmc.SERVO_JOINTS, start=1):
                goals = sim.servo_goal_history(sid)
                vmax = limits[name][0]
                for a, b in zip(goals, goals[1:]):
                    allowed = vmax * max(b.time - a.time, PERIOD_S) + STEP
                    worst = max(worst, abs(b.goal - a.goal) / allowed)
                    violations += abs(b.goal - a.goal) > allowed
            goals_seen = sum(len(sim.servo_goal_history(i)) for i in range(1, 8))
        finally:
            loop.close()
    late = late_ticks(periods, PERIOD_S)
    label = "motion on all ten joints" if with_motion else "no motion"
    print(f"{label}: {len(periods)} ticks, late {late} ({100.0 * late / max(1, len(periods)):.3f} %), "
          f"read_dt p50 {percentile(reads, 0.5) * 1e6:.0f} us, p99 {percentile(reads, 0.99) * 1e6:.0f} us")
    if with_motion:
        print(f"  move_to/stop on the loop thread (write_dt): {len(commands)} commands, "
              f"p50 {percentile(commands, 0.5) * 1e6:.1f} us, p99 {percentile(commands, 0.99) * 1e6:.1f} us")
        print(f"  goal steps: {goals_seen} goals, {violations} over the velocity limit plus one step "
              f"(worst {worst:.2f} of the allowance)")


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
    run(seconds, with_motion=False)
    run(seconds, with_motion=True)


if __name__ == "__main__":
    main()
