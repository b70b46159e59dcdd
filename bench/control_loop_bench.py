"""Control loop at a 2 ms period on the virtual torso.

Runs QuorvelPyControlLoop with statistics for a while (30 s by default) and
reports lost ticks, the tick period's spread, the loop thread's CPU share,
and the cost of the Python accessors and of a queued command.

    PYTHONPATH=<build>/bindings:<build>/sim/python python bench/control_loop_bench.py [seconds]
"""

import itertools
import os
import statistics
import sys
import time
from datetime import timedelta

import quorvel_motor_controller as qmc
import quorvel_torso_sim

PERIOD_S = 0.002


def task_ids():
    return set(os.listdir("/proc/self/task"))


def cpu_seconds(tid):
    """Run time of one thread so far (first field of schedstat, in ns)."""
    with open(f"/proc/self/task/{tid}/schedstat") as f:
        return int(f.read().split()[0]) / 1e9


def per_call_us(function, calls):
    start = time.perf_counter()
    for _ in range(calls):
        function()
    return (time.perf_counter() - start) / calls * 1e6


def percentile(sorted_values, q):
    return sorted_values[min(len(sorted_values) - 1, int(q * len(sorted_values)))]


def main():
    duration = float(sys.argv[1]) if len(sys.argv) > 1 else 30.0
    with quorvel_torso_sim.TorsoSim() as sim:
        before = task_ids()
        loop = qmc.QuorvelPyControlLoop(
            sim.serial_path,
            timedelta(seconds=PERIOD_S),
            can_bus=sim.can_bus,
            stats_pub_period=timedelta(seconds=1),
        )
        started = time.monotonic()
        (loop_tid,) = task_ids() - before  # the only thread the loop starts
        cpu_start = cpu_seconds(loop_tid)

        time.sleep(duration)  # the Python thread stays idle while the loop runs

        elapsed = time.monotonic() - started
        cpu_used = cpu_seconds(loop_tid) - cpu_start
        periods = loop.get_stats().period
        # Tick k is due at start + k * period, so by the last tick's start
        # (the sum of the periods) this many ticks were due.
        expected = int(sum(periods) / PERIOD_S + 1e-9) + 1
        behind = int(elapsed / PERIOD_S) + 1 - len(periods)
        ordered = sorted(p * 1e6 for p in periods[1:])
        deviation = max(abs(p - PERIOD_S * 1e6) for p in ordered)

        print(f"run: {elapsed:.1f} s at a {PERIOD_S * 1e3:.0f} ms period, stats published every 1 s")
        print(
            f"ticks: {len(periods)} served, {expected} due by the last one: lost {max(0, expected - len(periods))}"
            f" (about {behind} due since, not yet served when sampled)"
        )
        print(
            f"period: p50 {percentile(ordered, 0.5):.0f} us, p99 {percentile(ordered, 0.99):.0f} us, "
            f"p99.9 {percentile(ordered, 0.999):.0f} us, max deviation from 2000 us {deviation:.0f} us"
        )
        read_dt = loop.get_stats().read_dt
        reads = sorted(r * 1e6 for r in read_dt)
        print(
            f"read_dt: mean {statistics.fmean(reads):.0f} us, p99 {percentile(reads, 0.99):.0f} us, "
            f"max {reads[-1]:.0f} us over {len(reads)} reads"
        )
        # Wake-up lateness of the ticks whose previous read ended well before
        # they were due: the loop's own timing, without the bus's.
        starts = list(itertools.accumulate(periods))
        lateness = sorted(
            (starts[k] - k * PERIOD_S) * 1e6
            for k in range(1, min(len(starts), len(read_dt) + 1))
            if starts[k - 1] + read_dt[k - 1] < k * PERIOD_S - 100e-6
        )
        print(
            f"tick start after its due time, loop idle before it: p50 {percentile(lateness, 0.5):.0f} us, "
            f"p99 {percentile(lateness, 0.99):.0f} us over {len(lateness)} ticks"
        )
        print(f"loop thread CPU: {cpu_used / elapsed * 100:.1f} % of one core")

        calls = 200_000
        print(f"get_last_position: {per_call_us(loop.get_last_position, calls):.2f} us per call")
        print(f"is_torque_enabled: {per_call_us(loop.is_torque_enabled, calls):.2f} us per call")

        # Queued commands in batches that fit the queue, so no call waits for room.
        loop.enable_neck(True)
        batch, batches, spent = 50, 60, 0.0
        target = [0.1, 0.2, 0.0]
        for _ in range(batches):
            start = time.perf_counter()
            for _ in range(batch):
                loop.set_neck_position(target)
            spent += time.perf_counter() - start
            time.sleep(0.1)  # let the loop drain the batch
        print(f"set_neck_position (queued): {spent / (batch * batches) * 1e6:.2f} us per call")
        loop.close()


if __name__ == "__main__":
    main()
