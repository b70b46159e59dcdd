"""Generated motion on the loop against the wire-time virtual torso.

Three parts, each printing its figures and the machine's load average:

- ticks: a 2 ms loop alone, then with targets for all ten joints streamed at
  30 Hz from Python (move_to). Late ticks (started more than half a period
  after their due time), the tick's cost (read_dt: read plus set points)
  p50/p99, the loop thread's cost of a move_to (write_dt) and the goal-step
  check on what the servos received.
- silent: servo 7 silent (every read retries five times). A neck motion goes
  on: the gaps between the MIT set points the neck motors took, in periods.
  Then neck step commands queued at random moments: the time from the call to
  the motor taking the command, in periods.
- limits: randomly streamed targets, replacements and stops on all ten
  joints. What reached the motors: servo goals never step further than the
  velocity limit allows over their interval plus one goal step; neck MIT set
  points within the velocity limit (plus the MIT field's resolution) and
  their changes within the acceleration limit.

    python bench/motion_loop_bench.py [--seconds S] [--part ticks|silent|limits]...
"""

import argparse
import math
import os
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
STEP = 2 * math.pi / 4096  # one servo goal step
# Resolution of the MIT frame's fields: 16-bit position over +-12.5 rad,
# 12-bit velocity over +-VMAX (yaw 30 rad/s, pitch and roll 10 rad/s).
MIT_POSITION_STEP = 25.0 / 65535
MIT_VELOCITY_STEP = {"neck_yaw": 60.0 / 4095, "neck_pitch": 20.0 / 4095, "neck_roll": 20.0 / 4095}


def load():
    return "load %.2f %.2f %.2f" % os.getloadavg()


def open_loop(sim, period_s, **options):
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=period_s), can_bus=sim.can_bus,
                                    stats_pub_period=timedelta(milliseconds=200), **options)
    loop.enable_torque()
    loop.enable_neck(True)
    time.sleep(0.5)
    return loop


def random_target(rng, joints):
    target = {}
    for name in joints:
        lo, hi = NECK_BOUNDS.get(name, (-1.0, 1.0))
        target[name] = rng.uniform(lo, hi)
    return target


def servo_goal_steps(sim, limits, period_s, jitter_s=0.0):
    """(goals, violations, worst ratio) of the servo goal-step check.

    With `jitter_s`, the time between two goals may have been that much longer
    than their arrival times say (a busy machine hands a packet over late)."""
    violations, worst, seen = 0, 0.0, 0
    for sid, name in enumerate(qmc.SERVO_JOINTS, start=1):
        goals = sim.servo_goal_history(sid)
        seen += len(goals)
        vmax = limits[name][0]
        for a, b in zip(goals, goals[1:]):
            allowed = vmax * (max(b.time - a.time, period_s) + jitter_s) + STEP
            worst = max(worst, abs(b.goal - a.goal) / allowed)
            violations += abs(b.goal - a.goal) > allowed
    return seen, violations, worst


def part_ticks(seconds):
    for with_motion in (False, True):
        with quorvel_torso_sim.TorsoSim(wire=True) as sim:
            before = load()
            loop = open_loop(sim, PERIOD_S)
            try:
                limits = loop.motion_limits()
                sim.clear_set_point_history()
                stop = threading.Event()
                rng = random.Random(1)

                def stream():
                    while not stop.is_set():
                        if rng.random() < 0.05:
                            loop.stop_motion()
                        else:
                            loop.move_to(random_target(rng, qmc.SERVO_JOINTS + qmc.NECK_JOINTS))
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
                seen, violations, worst = servo_goal_steps(sim, limits, PERIOD_S)
            finally:
                loop.close()
        late = late_ticks(periods, PERIOD_S)
        label = "motion on all ten joints" if with_motion else "no motion"
        print(f"ticks, {label}: {len(periods)} ticks, late {late} ({100.0 * late / max(1, len(periods)):.3f} %), "
              f"read_dt p50 {percentile(reads, 0.5) * 1e6:.0f} us, p99 {percentile(reads, 0.99) * 1e6:.0f} us "
              f"[{before} -> {load()}]")
        if with_motion:
            print(f"  move_to/stop on the loop thread (write_dt): {len(commands)} commands, "
                  f"p50 {percentile(commands, 0.5) * 1e6:.1f} us, p99 {percentile(commands, 0.99) * 1e6:.1f} us")
            print(f"  goal steps: {seen} goals, {violations} over the velocity limit plus one step "
                  f"(worst {worst:.2f} of the allowance)")


def part_silent(seconds, period_s):
    with quorvel_torso_sim.TorsoSim(wire=True) as sim:
        before = load()
        loop = open_loop(sim, period_s)
        try:
            sim.set_servo_silent(7, True)
            time.sleep(0.3)
            # A neck motion through the retries: back and forth across the yaw
            # range, each target replaced before it is reached, so that the
            # motion never ends.
            loop.move_to({"neck_yaw": -0.4})
            loop.wait_motion(5)
            sim.clear_set_point_history()
            end = time.monotonic() + seconds / 2
            k = 0
            while time.monotonic() < end:
                loop.move_to({"neck_yaw": 0.4 if k % 2 == 0 else -0.4})
                k += 1
                time.sleep(0.4)
            yaw = sim.neck_command_history(0)
            loop.stop_motion()
            loop.wait_motion(5)
            gaps = [(b.time - a.time) / period_s for a, b in zip(yaw, yaw[1:])]
            print(f"silent servo 7, {period_s * 1e3:.0f} ms period, neck motion: {len(yaw)} set points over "
                  f"{seconds / 2:.0f} s, gap p50 {percentile(gaps, 0.5):.2f}, p99 {percentile(gaps, 0.99):.2f}, "
                  f"max {max(gaps):.2f} periods; gaps over 2 periods: {sum(g > 2 for g in gaps)} [{before}]")

            # Neck steps queued at random moments, each to its own yaw.
            sim.clear_set_point_history()
            rng = random.Random(7)
            sent = []
            end = time.monotonic() + seconds / 2
            while time.monotonic() < end:
                yaw_goal = -0.3 + 0.002 * (len(sent) % 300)
                at = time.monotonic()
                loop.set_neck_position([yaw_goal, 0.1, 0.0])
                sent.append((at, yaw_goal))
                time.sleep(rng.uniform(0.01, 0.05))
            time.sleep(0.2)
            taken = sim.neck_command_history(0)
            latencies, missing = [], 0
            i = 0
            for at, goal in sent:
                while i < len(taken) and not (taken[i].time >= at - 1e-3 and abs(taken[i].position - goal) < 8e-4):
                    i += 1
                if i == len(taken):
                    missing += 1
                    i = 0
                    continue
                latencies.append((taken[i].time - at) / period_s)
            failed_reads = "unknown"
            try:
                loop.get_last_position()
            except RuntimeError as e:
                failed_reads = f"reads failing ({e})"
        finally:
            loop.close()
    print(f"silent servo 7, {period_s * 1e3:.0f} ms period, queued neck commands: {len(sent)} sent, "
          f"{missing} not found; call to motor p50 {percentile(latencies, 0.5):.2f}, "
          f"p99 {percentile(latencies, 0.99):.2f}, max {max(latencies, default=float('nan')):.2f} periods; "
          f"{failed_reads} [{load()}]")


def neck_limit_check(sim, limits, period_s, jitter_s):
    """(set points, velocity violations, acceleration violations, worst ratios)."""
    count, v_bad, a_bad, v_worst, a_worst = 0, 0, 0, 0.0, 0.0
    for index, name in enumerate(qmc.NECK_JOINTS):
        vmax, amax, _ = limits[name]
        vstep = MIT_VELOCITY_STEP[name]
        history = sim.neck_command_history(index)
        count += len(history)
        for c in history:
            ratio = abs(c.velocity) / (vmax * (1 + 1e-6) + vstep)
            v_worst = max(v_worst, ratio)
            v_bad += ratio > 1
        for a, b in zip(history, history[1:]):
            # The set points were sampled at their ticks' starts; their arrival
            # times differ from those by the hand-over's jitter, and each field
            # by its resolution.
            dt = b.time - a.time + jitter_s
            ratio = abs(b.velocity - a.velocity) / (amax * dt * (1 + 1e-6) + 2 * vstep)
            a_worst = max(a_worst, ratio)
            a_bad += ratio > 1
    return count, v_bad, a_bad, v_worst, a_worst


def part_limits(seconds):
    with quorvel_torso_sim.TorsoSim(wire=True) as sim:
        before = load()
        loop = open_loop(sim, PERIOD_S)
        try:
            limits = loop.motion_limits()
            sim.clear_set_point_history()
            rng = random.Random(3)
            joints = qmc.SERVO_JOINTS + qmc.NECK_JOINTS
            end = time.monotonic() + seconds
            moves = stops = 0
            while time.monotonic() < end:
                r = rng.random()
                if r < 0.08:
                    loop.stop_motion()
                    stops += 1
                else:
                    # A replacement of some joints' targets, at times with a duration.
                    some = rng.sample(joints, rng.randint(1, len(joints)))
                    duration = rng.uniform(0.2, 2.0) if r > 0.8 else None
                    loop.move_to(random_target(rng, some), duration=duration)
                    moves += 1
                time.sleep(rng.uniform(0.005, 0.1))
            loop.stop_motion()
            loop.wait_motion(10)
            rows = []
            for jitter in (0.0, 0.001):
                seen, violations, worst = servo_goal_steps(sim, limits, PERIOD_S, jitter)
                count, v_bad, a_bad, v_worst, a_worst = neck_limit_check(sim, limits, PERIOD_S, jitter)
                rows.append(f"  hand-over jitter allowed {jitter * 1e3:.0f} ms: servo goals {seen}, {violations} over "
                            f"the velocity limit plus one step (worst {worst:.2f}); neck MIT set points {count}, "
                            f"{v_bad} over the velocity limit (worst {v_worst:.2f}), {a_bad} over the "
                            f"acceleration limit (worst {a_worst:.2f})")
        finally:
            loop.close()
    print(f"limits, {seconds:.0f} s at {PERIOD_S * 1e3:.0f} ms: {moves} move_to, {stops} stop_motion [{before} -> {load()}]")
    print("\n".join(rows))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each run (limits: the whole run)")
    parser.add_argument("--part", action="append", choices=["ticks", "silent", "limits"],
                        help="parts to run (default: all)")
    args = parser.parse_args()
    parts = args.part or ["ticks", "silent", "limits"]
    if "ticks" in parts:
        part_ticks(args.seconds)
    if "silent" in parts:
        part_silent(args.seconds, PERIOD_S)
        part_silent(args.seconds, 0.01)
    if "limits" in parts:
        part_limits(args.seconds)


if __name__ == "__main__":
    main()
