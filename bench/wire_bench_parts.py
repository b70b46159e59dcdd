"""The measurements of bench/wire_bench.py, parts (a) to (e): each runs in the
worker interpreter that wire_bench.py starts, and returns a dict of numbers
that wire_bench.py turns into table rows.
"""

from __future__ import annotations

import logging
import os
import shutil
import subprocess
import sys
import threading
import time
from datetime import timedelta

SERVO_JOINTS = 7
LATE_FRACTION = 0.5  # a tick late by more than half a period counts as late


# ---------------------------------------------------------------- measurement helpers


def percentile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] if ordered else float("nan")


def late_ticks(periods, period_s):
    """Ticks that started more than half a period after their due time.

    periods[0] is the first tick's start after the loop began (the first tick
    is due at once), periods[k] the time between tick k-1 and tick k, so tick
    k started at sum(periods[:k+1]) and was due at k * period.
    """
    late, start = 0, 0.0
    for k, p in enumerate(periods):
        start += p
        if start - k * period_s > LATE_FRACTION * period_s:
            late += 1
    return late


def new_threads(before):
    return set(os.listdir("/proc/self/task")) - before


def run_loop(qmc, sim, period_s, seconds, during=None, **options):
    """Runs a loop with statistics; returns its periods and read_dt samples.
    `during(loop)`, if given, is called once the loop runs (to start motion, say)."""
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=period_s), can_bus=sim.can_bus,
                                    stats_pub_period=timedelta(milliseconds=200), **options)
    try:
        if during is not None:
            during(loop)
        time.sleep(seconds)
        stats = loop.get_stats()
        periods, reads = list(stats.period), list(stats.read_dt)
    finally:
        loop.close()
    return periods, reads


def loop_row(periods, reads, period_s):
    late = late_ticks(periods, period_s)
    return {
        "ticks": len(periods),
        "late": late,
        "late_pct": 100.0 * late / max(1, len(periods)),
        "period_p99_us": percentile(periods[1:], 0.99) * 1e6,
        "read_p50_us": percentile(reads, 0.5) * 1e6,
        "read_max_us": max(reads) * 1e6 if reads else float("nan"),
    }


def make_sim(wire, usb_latency_ms=0.0):
    import quorvel_torso_sim

    return (quorvel_torso_sim.TorsoSim(wire=True, usb_latency_ms=usb_latency_ms) if wire
            else quorvel_torso_sim.TorsoSim())


# ---------------------------------------------------------------- the parts


def part_a(qmc, seconds):
    out = {}
    for wire in (False, True):
        for period_ms in (2, 1):
            with make_sim(wire) as sim:
                periods, reads = run_loop(qmc, sim, period_ms / 1000, seconds)
            out[f"{'wire' if wire else 'instant'}_{period_ms}ms"] = loop_row(periods, reads, period_ms / 1000)
    return out


def wire_arithmetic(sim, qmc):
    """The wire time of one full read, from the frames the module actually sends."""
    ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
    sim.clear_logs()
    ctl.read_all_positions()
    ctl.read_neck_positions()
    serial = sim.serial_log()
    frames = sim.can_log()
    del ctl
    byte_us, servo_latency_us, turnaround_us = 10.0, 20.0, 50.0
    serial_us = 0.0
    for entry in serial:
        listed = len(entry.bytes) - 8  # FF FF FE len 82 addr n ... checksum
        width = entry.bytes[6] if len(entry.bytes) > 6 else 2
        reply_bytes = listed * (6 + width)
        serial_us += (len(entry.bytes) + reply_bytes) * byte_us + listed * servo_latency_us

    def bits(data_bytes):  # classic frame, standard id, worst-case stuffing
        stuffed = 34 + 8 * data_bytes
        return stuffed + (stuffed - 1) // 4 + 13

    request_us = [bits(len(f.data)) for f in frames]
    reply_us = bits(8)
    can_sequential_us = sum(r + turnaround_us + reply_us for r in request_us)
    can_overlapped_us = overlapped_can_us(request_us, reply_us, turnaround_us)
    return {
        "serial_us": serial_us,
        "can_sequential_us": can_sequential_us,
        "can_overlapped_us": can_overlapped_us,
        "tick_sequential_us": serial_us + can_sequential_us,
        "tick_overlapped_us": max(serial_us, can_overlapped_us),
    }


def overlapped_can_us(request_us, reply_us, turnaround_us):
    """All requests queued at once; each answer waits its turnaround, then
    for the bus, where it wins arbitration (lower identifier) over a request."""
    waiting = [(0.0, 1, i, bits) for i, bits in enumerate(request_us)]  # (ready, priority, order, bits)
    bus_free, order = 0.0, len(waiting)
    while waiting:
        ready = [w for w in waiting if w[0] <= bus_free]
        frame = min(ready, key=lambda w: (w[1], w[2])) if ready else min(waiting)
        waiting.remove(frame)
        bus_free = max(bus_free, frame[0]) + frame[3]
        if frame[1] == 1:
            waiting.append((bus_free + turnaround_us, 0, order, reply_us))
            order += 1
    return bus_free


def part_b(qmc, seconds):
    with make_sim(True) as sim:
        arithmetic = wire_arithmetic(sim, qmc)
        ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus)
        timings = {}
        for name in ("read_all_positions", "read_neck_positions"):
            call = getattr(ctl, name)
            samples = []
            for _ in range(300):
                t = time.perf_counter()
                call()
                samples.append(time.perf_counter() - t)
            timings[name + "_p50_us"] = percentile(samples, 0.5) * 1e6
        del call, ctl  # closes the ports for the loop below
        periods, reads = run_loop(qmc, sim, 0.002, min(seconds, 10))
        timings["tick_read_p50_us"] = percentile(reads, 0.5) * 1e6
    return {**arithmetic, **timings}


class Counting(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.count = 0

    def emit(self, record):
        self.count += 1


# The simulator for part (c) runs in a process of its own, which also spoils a
# read every 100 ms: the busy interpreter under test cannot delay the faults.
SPOILING_SIM = r"""
import sys, threading, time, quorvel_torso_sim
with quorvel_torso_sim.TorsoSim(wire=True) as sim:
    print(sim.serial_path, sim.can_bus, flush=True)
    sys.stdin.readline()  # the loop has started
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    while not done.is_set():
        # The last servo of a sync read: the read times out and is retried 20 ms later.
        sim.set_servo_silent(7, True)
        time.sleep(0.004)
        sim.set_servo_silent(7, False)
        done.wait(0.096)
"""


def realtime_prefix():
    chrt = shutil.which("chrt")
    if chrt and subprocess.run([chrt, "-f", "60", "true"], capture_output=True).returncode == 0:
        return [chrt, "-f", "60"]
    return []


def part_c(qmc, seconds):
    logger = logging.getLogger("quorvel_motor_controller.control_loop")
    logger.setLevel(logging.INFO)
    handler = Counting()
    logger.addHandler(handler)
    out = {}
    for hog in (False, True):
        handler.count = 0
        stop = threading.Event()

        def burn():
            x = 0
            while not stop.is_set():
                x += 1

        # At SCHED_FIFO when allowed, so that other work on the machine cannot delay the faults either.
        sim = subprocess.Popen(realtime_prefix() + [sys.executable, "-c", SPOILING_SIM], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
        burner = threading.Thread(target=burn, daemon=True)
        try:
            serial_path, can_bus = sim.stdout.readline().split()
            loop = qmc.QuorvelPyControlLoop(serial_path, timedelta(milliseconds=2), can_bus=can_bus,
                                            stats_pub_period=timedelta(milliseconds=200))
            try:
                sim.stdin.write("go\n")
                sim.stdin.flush()
                if hog:
                    burner.start()
                time.sleep(seconds)
                reads = list(loop.get_stats().read_dt)
            finally:
                stop.set()
                if hog:
                    burner.join()
                loop.close()
        finally:
            sim.stdin.close()
            sim.wait(timeout=30)
        retried = [r for r in reads if r > 0.010]  # a time-out and a 20 ms pause
        out["hog" if hog else "idle"] = {"read_max_us": max(reads) * 1e6, "records": handler.count,
                                         "retried_p50_us": percentile(retried, 0.5) * 1e6}
    logger.removeHandler(handler)
    return out


def part_d(qmc, seconds, period_s=0.002):
    hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    out = {}
    try:
        for priority in (None, 50):
            before = set(os.listdir("/proc/self/task"))
            with make_sim(True) as sim:
                for tid in new_threads(before):  # the simulator's bus threads
                    try:
                        os.sched_setscheduler(int(tid), os.SCHED_FIFO, os.sched_param(60))
                    except OSError:
                        pass
                options = {} if priority is None else {"realtime_priority": priority}
                try:
                    periods, reads = run_loop(qmc, sim, period_s, seconds, **options)
                except TypeError:
                    out[f"rt_{priority}"] = None  # a module without the option
                    continue
            out[f"rt_{priority}"] = loop_row(periods, reads, period_s)
    finally:
        for h in hogs:
            h.kill()
            h.wait()
    return out


def part_e(qmc, seconds):
    with make_sim(False) as sim:
        loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(microseconds=50), can_bus=sim.can_bus,
                                        stats_pub_period=timedelta(milliseconds=1))
        try:
            deadline = time.monotonic() + max(120.0, seconds * 6)
            while time.monotonic() < deadline:
                time.sleep(0.5)
                stats = loop.get_stats()
                if len(stats.period) >= 100_000 and len(stats.read_dt) >= 100_000:
                    break
            n = 200
            t = time.perf_counter()
            for _ in range(n):
                stats = loop.get_stats()
            get_stats_us = (time.perf_counter() - t) / n * 1e6
            t = time.perf_counter()
            first = stats.period
            first_us = (time.perf_counter() - t) * 1e6
            t = time.perf_counter()
            for _ in range(n):
                again = stats.period
            second_us = (time.perf_counter() - t) / n * 1e6
            held = len(first)
            del again
        finally:
            loop.close()
    return {"samples": held, "get_stats_us": get_stats_us, "period_first_us": first_us,
            "period_second_us": second_us}


# Part (f): a 2 ms loop with wire time behind a USB adapter's latency timer,
# reading the servos in two round trips (arms, then nose) or in one
# (single_sync_read=True). Each row: (key, adapter latency in ms, single sync
# read, what the loop does meanwhile: None = reads only, or a function given
# the running loop[, the loop's period in ms if not 2]).
NECK_BOUNDS = {"neck_yaw": (-0.5, 0.5), "neck_pitch": (0.0, 0.45), "neck_roll": (-0.4, 0.4)}


def start_motion_all_joints(loop):
    """Torque on, then move_to targets for all ten joints streamed at 30 Hz
    until the loop closes (the next move_to then raises and the stream ends)."""
    import random

    import quorvel_motor_controller as qmc

    loop.enable_torque()
    loop.enable_neck(True)
    rng = random.Random(28)

    def stream():
        try:
            while True:
                target = {name: rng.uniform(-1.0, 1.0) for name in qmc.SERVO_JOINTS}
                target.update({name: rng.uniform(lo, hi) for name, (lo, hi) in NECK_BOUNDS.items()})
                loop.move_to(target)
                time.sleep(1 / 30)
        except RuntimeError:
            pass  # closed

    threading.Thread(target=stream, daemon=True).start()


start_motion_all_joints.label = "motion on all ten joints"

F_ROWS = [
    ("lat0_two", 0.0, False, None),
    ("lat0_one", 0.0, True, None),
    ("lat1_two", 1.0, False, None),
    ("lat1_one", 1.0, True, None),
    ("lat1_one_motion", 1.0, True, start_motion_all_joints),
    ("lat1_two_motion_3ms", 1.0, False, start_motion_all_joints, 3.0),
    ("lat1_one_motion_3ms", 1.0, True, start_motion_all_joints, 3.0),
]


def f_row(row):
    """(key, adapter latency ms, single sync read, during, loop period ms)."""
    return row if len(row) == 5 else (*row, 2.0)


def reads_at_random_phase(qmc, sim, single, count=200):
    """read_all_positions p50 (us), each read started at a random time: the
    adapter's timer fires on its own clock, which a real adapter's drifts
    against the host's, while a loop on the simulator keeps one phase to it."""
    import random

    rng = random.Random(28)
    ctl = qmc.QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus, single_sync_read=single)
    try:
        times = []
        for _ in range(count):
            time.sleep(rng.random() * 0.003)
            start = time.perf_counter()
            ctl.read_all_positions()
            times.append(time.perf_counter() - start)
    finally:
        ctl.close()
    return percentile(times, 0.5) * 1e6


def part_f(qmc, seconds):
    out = {}
    for key, latency_ms, single, during, period_ms in map(f_row, F_ROWS):
        with make_sim(True, latency_ms) as sim:
            periods, reads = run_loop(qmc, sim, period_ms / 1000, seconds, during=during, single_sync_read=single)
            row = loop_row(periods, reads, period_ms / 1000)
            if during is None:
                row["random_phase_read_p50_us"] = reads_at_random_phase(qmc, sim, single)
        out[key] = row
    return out


PARTS = {"a": part_a, "b": part_b, "c": part_c, "d": part_d, "e": part_e, "f": part_f}
