"""The module against the wire: one table of control-loop timings on the virtual torso.

    python bench/wire_bench.py                        # the installed module, 20 s per loop run
    python bench/wire_bench.py --seconds 60           # the full runs (about 12 minutes)
    python bench/wire_bench.py --baseline DIR         # also a module build in DIR, side by side ("before")
    python bench/wire_bench.py --quick                # 3 s runs, to check the bench itself

The rows:

  (a) 2 ms and 1 ms loops, simulator instant and with wire time: late ticks
      (a tick that starts more than half a period after it was due, counted on
      the fixed schedule start + k * period, so ticks served late while the
      loop catches up a backlog count too), period p99, read_dt p50;
  (b) with wire time: read_all_positions, read_neck_positions and a loop tick's
      read_dt against the wire-time arithmetic (sequential and overlapped);
  (c) a 2 ms loop with wire time and a read retried (and logged at INFO) every
      100 ms, with and without a CPU-bound Python thread: the longest tick;
  (d) a 2 ms loop with wire time under two CPU-hog processes, without and with
      realtime_priority=50 (the simulator's threads run at SCHED_FIFO 60 in
      both runs: they stand for hardware, which the hogs cannot slow down);
  (e) get_stats() and .period with 100 000 samples held.

Every measurement runs in a fresh interpreter (this script started again with
--worker), so a baseline module and the installed simulator can be combined:
with --baseline DIR, the module found in DIR comes first on the path.
Numbers from a machine busy with other work are noisy: re-run on a quiet one.
"""

from __future__ import annotations

import argparse
import json
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


def run_loop(qmc, sim, period_s, seconds, **options):
    """Runs a loop with statistics; returns its periods and read_dt samples."""
    loop = qmc.QuorvelPyControlLoop(sim.serial_path, timedelta(seconds=period_s), can_bus=sim.can_bus,
                                    stats_pub_period=timedelta(milliseconds=200), **options)
    try:
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


def make_sim(wire):
    import quorvel_torso_sim

    return quorvel_torso_sim.TorsoSim(wire=True) if wire else quorvel_torso_sim.TorsoSim()


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


PARTS = {"a": part_a, "b": part_b, "c": part_c, "d": part_d, "e": part_e}


def worker(part, seconds, d_period_ms):
    import quorvel_motor_controller as qmc

    result = part_d(qmc, seconds, d_period_ms / 1000) if part == "d" else PARTS[part](qmc, seconds)
    result["module"] = os.path.dirname(qmc.__file__)
    print(json.dumps(result))


# ---------------------------------------------------------------- driver and table


def measure(part, seconds, module_dir, d_period_ms):
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(module_dir)] + [p for p in sys.path if p])
    done = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", part, "--seconds", str(seconds),
                           "--d-period-ms", str(d_period_ms)],
                          capture_output=True, text=True, env=env, timeout=seconds * 20 + 600)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        return None
    return json.loads(done.stdout.strip().splitlines()[-1])


def fmt(value, unit="", digits=0):
    if value is None:
        return "n/a"
    return f"{value:.{digits}f}{unit}"


def rows_for(r, seconds, d_period_ms):
    """(row label, text) pairs of one module's results."""
    rows = []
    a = r.get("a")
    for key, label in (("instant_2ms", "instant sim"), ("wire_2ms", "wire time"),
                       ("instant_1ms", "instant sim"), ("wire_1ms", "wire time")):
        period = key.split("_")[1]
        v = a and a[key]
        rows.append((f"(a) {period} loop, {label}, {seconds:g} s: late ticks",
                     "n/a" if not v else f"{v['late']} of {v['ticks']} ({v['late_pct']:.2f} %)"))
        rows.append((f"(a) {period} loop, {label}: period p99 / read_dt p50",
                     "n/a" if not v else f"{v['period_p99_us']:.0f} / {v['read_p50_us']:.0f} us"))
    b = r.get("b")
    if b:
        rows.append(("(b) wire arithmetic: serial / CAN seq. / CAN overlapped",
                     f"{b['serial_us']:.0f} / {b['can_sequential_us']:.0f} / {b['can_overlapped_us']:.0f} us"))
        rows.append(("(b) wire arithmetic: tick sequential / overlapped",
                     f"{b['tick_sequential_us']:.0f} / {b['tick_overlapped_us']:.0f} us"))
        rows.append(("(b) read_all_positions p50 (vs serial arithmetic)",
                     f"{b['read_all_positions_p50_us']:.0f} us ({b['read_all_positions_p50_us'] / b['serial_us']:.2f}x)"))
        rows.append(("(b) read_neck_positions p50 (vs CAN sequential)",
                     f"{b['read_neck_positions_p50_us']:.0f} us "
                     f"({b['read_neck_positions_p50_us'] / b['can_sequential_us']:.2f}x)"))
        rows.append(("(b) 2 ms loop tick read_dt p50 (vs seq. / overlapped)",
                     f"{b['tick_read_p50_us']:.0f} us ({b['tick_read_p50_us'] / b['tick_sequential_us']:.2f}x / "
                     f"{b['tick_read_p50_us'] / b['tick_overlapped_us']:.2f}x)"))
    else:
        rows += [("(b) wire arithmetic and reads", "n/a")]
    c = r.get("c")
    for key, label in (("idle", "Python idle"), ("hog", "CPU-bound Python thread")):
        v = c and c[key]
        rows.append((f"(c) retried read every 100 ms, INFO log, {label}: longest / median retried tick",
                     "n/a" if not v else f"{v['read_max_us'] / 1000:.2f} / {v['retried_p50_us'] / 1000:.2f} ms "
                                         f"({v['records']} records)"))
    d = r.get("d")
    for key, label in (("rt_None", "no priority"), ("rt_50", "realtime_priority=50")):
        v = d and d.get(key)
        period = f"{d_period_ms:g} ms"
        rows.append((f"(d) {period} loop, wire, 2 CPU hogs, {label}: late",
                     "n/a" if not v else f"{v['late']} of {v['ticks']} ({v['late_pct']:.2f} %)"))
    e = r.get("e")
    rows.append(("(e) get_stats() with 100 000 samples",
                 "n/a" if not e else f"{e['get_stats_us']:.1f} us ({e['samples']} held)"))
    rows.append(("(e) .period first / second access",
                 "n/a" if not e else f"{e['period_first_us']:.0f} / {e['period_second_us']:.2f} us"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each loop run (default 20)")
    parser.add_argument("--quick", action="store_true", help="3-second runs")
    parser.add_argument("--baseline", metavar="DIR", help="a directory holding another build of the module")
    parser.add_argument("--parts", default="abcde", help="which parts to run (default abcde)")
    parser.add_argument("--d-period-ms", type=float, default=2.0,
                        help="loop period of part (d) (default 2; a sequential tick with wire time needs about 2.3)")
    parser.add_argument("--worker", metavar="PART", help=argparse.SUPPRESS)
    args = parser.parse_args()
    seconds = 3.0 if args.quick else args.seconds
    if args.worker:
        worker(args.worker, seconds, args.d_period_ms)
        return 0

    columns = ([("before", args.baseline)] if args.baseline else []) + [("after" if args.baseline else "measured", None)]
    results = {}
    for name, module_dir in columns:
        results[name] = {}
        for part in args.parts:
            print(f"running ({name}) part {part} ...", file=sys.stderr, flush=True)
            results[name][part] = measure(part, seconds, module_dir, args.d_period_ms)
    load = os.getloadavg()
    tables = {name: rows_for(r, seconds, args.d_period_ms) for name, r in results.items()}
    labels = [label for label, _ in next(iter(tables.values()))]
    width = max(len(label) for label in labels)
    cells = [[dict(tables[name])[label] for name, _ in columns] for label in labels]
    col_width = [max(len(name), *(len(row[i]) for row in cells)) for i, (name, _) in enumerate(columns)]
    print(f"{'benchmark':<{width}} | " + " | ".join(f"{n:<{w}}" for (n, _), w in zip(columns, col_width)))
    print("-" * width + "-|-" + "-|-".join("-" * w for w in col_width))
    for label, row in zip(labels, cells):
        print(f"{label:<{width}} | " + " | ".join(f"{c:<{w}}" for c, w in zip(row, col_width)))
    print(f"\n{os.cpu_count()} CPUs, load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f} after the runs")
    return 0


if __name__ == "__main__":
    sys.exit(main())
