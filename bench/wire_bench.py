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
  (e) get_stats() and .period with 100 000 samples held;
  (f) a 2 ms loop with wire time behind a USB adapter's latency timer of 0
      and 1 ms, the servos read in two round trips (arms, then nose) or in one
      (single_sync_read=True, which also keeps the ticks in phase with the
      adapter's timer): late ticks, period p99, read_dt p50, and
      read_all_positions p50 started at random times; then with move_to
      targets streamed to all ten joints at 30 Hz, in a 2 ms loop and in a
      3 ms loop (three timer periods).

Every measurement runs in a fresh interpreter (this script started again with
--worker), so a baseline module and the installed simulator can be combined:
with --baseline DIR, the module found in DIR comes first on the path.
Numbers from a machine busy with other work are noisy: re-run on a quiet one.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

# The measurements themselves; this file starts them and prints the table.
from wire_bench_parts import F_ROWS, PARTS, f_row, part_d


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
    f = r.get("f")
    for key, latency_ms, single, during, period_ms in map(f_row, F_ROWS):
        v = f and f.get(key)
        label = (f"(f) {period_ms:g} ms loop, wire, {latency_ms:g} ms adapter latency, "
                 f"{'one sync read' if single else 'arms then nose'}"
                 + ("" if during is None else f", {getattr(during, 'label', during.__name__)}"))
        rows.append((f"{label}: late", "n/a" if not v else f"{v['late']} of {v['ticks']} ({v['late_pct']:.2f} %)"))
        rows.append((f"{label}: period p99 / read_dt p50",
                     "n/a" if not v else f"{v['period_p99_us']:.0f} / {v['read_p50_us']:.0f} us"))
        if during is None:
            rows.append((f"{label}: read_all_positions p50 at random phase",
                         "n/a" if not v else f"{v['random_phase_read_p50_us']:.0f} us"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=20.0, help="length of each loop run (default 20)")
    parser.add_argument("--quick", action="store_true", help="3-second runs")
    parser.add_argument("--baseline", metavar="DIR", help="a directory holding another build of the module")
    parser.add_argument("--parts", default="abcdef", help="which parts to run (default abcdef)")
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
