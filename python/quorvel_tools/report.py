"""quorvel-report: what happened in a recording of the control loop.

    quorvel-report FILE.mcap [--png OUT.png] [--json]

Prints a summary (duration, ticks, late ticks, failed reads by joint,
retries, reconnects, commands, dropped records) and, with --png, draws one
picture: each joint's measured position against its commands and set points
over time, with failed reads and late ticks marked, and a histogram of the
tick period.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

from mcap.reader import NonSeekingReader, make_reader
from mcap_ros2.decoder import DecoderFactory

from quorvel_tools.ros2_schemas import JOINTS

__all__ = ["Run", "load", "main", "summary"]

_RETRIES = re.compile(r"recovered after (\d+) retries")


@dataclass
class Run:
    """A recording, read back."""

    start_ns: int = 0
    end_ns: int = 0
    ticks: list[int] = field(default_factory=list)
    tick_times: list[float] = field(default_factory=list)  # s from the start
    periods: list[float] = field(default_factory=list)  # s, from the second tick on
    late_times: list[float] = field(default_factory=list)
    dropped_records: int = 0
    reading_times: list[float] = field(default_factory=list)
    readings: list[list[float]] = field(default_factory=list)  # joint order of JOINTS
    # joint -> (times, positions) of the commands and of the motion's set points
    commands: dict[str, tuple[list[float], list[float]]] = field(default_factory=dict)
    set_points: dict[str, tuple[list[float], list[float]]] = field(default_factory=dict)
    command_messages: int = 0
    failed_reads: Counter[str] = field(default_factory=Counter)
    failed_read_times: dict[str, list[float]] = field(default_factory=dict)
    retries: int = 0
    retried_reads: int = 0
    links_lost: int = 0
    reconnects: int = 0
    refused: int = 0
    motion_events: int = 0
    log_records: int = 0
    diagnostics: int = 0
    metadata: dict[str, dict[str, str]] = field(default_factory=dict)


def load(path: str) -> Run:
    run = Run()
    decoded: list[tuple[str, int, Any]] = []
    with open(path, "rb") as f:
        reader = make_reader(f, decoder_factories=[DecoderFactory()])
        try:
            for _schema, channel, message, msg in reader.iter_decoded_messages(log_time_order=False):
                decoded.append((channel.topic, message.log_time, msg))
            for record in reader.iter_metadata():
                run.metadata[record.name] = dict(record.metadata)
        except Exception:
            decoded.clear()  # no summary at the end: read the chunks in file order
    if not decoded:
        with open(path, "rb") as f:
            stream = NonSeekingReader(f, decoder_factories=[DecoderFactory()])
            try:
                for _schema, channel, message, msg in stream.iter_decoded_messages(log_time_order=False):
                    decoded.append((channel.topic, message.log_time, msg))
            except Exception as error:  # a file cut short: keep what was read
                print(f"note: {path} ends early ({error.__class__.__name__}); reporting what it holds",
                      file=sys.stderr)
    if not decoded:
        return run
    run.start_ns = min(t for _, t, _ in decoded)
    run.end_ns = max(t for _, t, _ in decoded)

    def rel(ns: int) -> float:
        return (ns - run.start_ns) / 1e9

    for topic, log_time, msg in decoded:
        if topic == "/loop/timing":
            run.ticks.append(msg.tick)
            t = rel(log_time)
            run.tick_times.append(t)
            if msg.tick > 0 and msg.period > 0:
                run.periods.append(msg.period)
            if msg.late:
                run.late_times.append(t)
            run.dropped_records = max(run.dropped_records, msg.dropped_records)
        elif topic == "/joint_states":
            run.reading_times.append(rel(log_time))
            by_name = dict(zip(msg.name, msg.position))
            run.readings.append([by_name.get(j, float("nan")) for j in JOINTS])
        elif topic == "/joint_commands":
            target = run.set_points if msg.header.frame_id == "set_point" else run.commands
            if target is run.commands:
                run.command_messages += 1
            for name, position in zip(msg.name, msg.position):
                times, values = target.setdefault(name, ([], []))
                times.append(rel(log_time))
                values.append(position)
        elif topic == "/loop/events":
            _event(run, rel(log_time), msg.name, msg.msg)
        elif topic == "/diagnostics":
            run.diagnostics += 1
    dropped = run.metadata.get("quorvel_recording", {}).get("dropped_records")
    if dropped is not None:
        run.dropped_records = max(run.dropped_records, int(dropped))
    return run


def _event(run: Run, t: float, name: str, text: str) -> None:
    if name.endswith(".read_failure"):
        for joint in JOINTS:
            if re.search(rf"\b{joint} (did not answer|answered badly)", text):
                run.failed_reads[joint] += 1
                run.failed_read_times.setdefault(joint, []).append(t)
        return
    if name.endswith(".motion"):
        run.motion_events += 1
        return
    if name.endswith(".refused"):
        run.refused += 1
        return
    run.log_records += 1
    if match := _RETRIES.search(text):
        run.retries += int(match.group(1))
        run.retried_reads += 1
    elif text.endswith(" is back"):
        run.reconnects += 1
    elif "at most every" in text:
        run.links_lost += 1


def _percentile(values: list[float], q: float) -> float:
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def summary(run: Run) -> dict[str, Any]:
    ticks = run.ticks
    in_order = all(b == a + 1 for a, b in zip(ticks, ticks[1:]))
    missing = (ticks[-1] - ticks[0] + 1 - len(ticks)) if ticks else 0
    return {
        "duration_s": round((run.end_ns - run.start_ns) / 1e9, 3),
        "ticks": len(ticks),
        "ticks_missing": missing,
        "ticks_in_order": in_order,
        "late_ticks": len(run.late_times),
        "period_ms": {
            "p50": round(_percentile(run.periods, 0.5) * 1e3, 3),
            "p99": round(_percentile(run.periods, 0.99) * 1e3, 3),
            "max": round(max(run.periods, default=0.0) * 1e3, 3),
        },
        "readings": len(run.readings),
        "failed_reads_by_joint": dict(sorted(run.failed_reads.items())),
        "retries": run.retries,
        "reads_recovered_by_retry": run.retried_reads,
        "links_lost": run.links_lost,
        "reconnects": run.reconnects,
        "commands": run.command_messages,
        "set_point_joints": sum(len(t) for t, _ in run.set_points.values()),
        "motion_events": run.motion_events,
        "refused_commands": run.refused,
        "log_records": run.log_records,
        "diagnostics": run.diagnostics,
        "dropped_records": run.dropped_records,
    }


def _print_summary(path: str, s: dict[str, Any]) -> None:
    print(f"{path}: {s['duration_s']:.1f} s")
    print(f"  ticks            {s['ticks']} ({s['ticks_missing']} missing, "
          f"{'in order' if s['ticks_in_order'] else 'OUT OF ORDER'})")
    p = s["period_ms"]
    print(f"  late ticks       {s['late_ticks']}  (period p50 {p['p50']} ms, p99 {p['p99']} ms, max {p['max']} ms)")
    failed = ", ".join(f"{k} {v}" for k, v in s["failed_reads_by_joint"].items()) or "none"
    print(f"  readings         {s['readings']}; failed reads by joint: {failed}")
    print(f"  retries          {s['retries']} ({s['reads_recovered_by_retry']} reads recovered)")
    print(f"  reconnects       {s['reconnects']} ({s['links_lost']} links lost)")
    print(f"  commands         {s['commands']} (+ {s['set_point_joints']} joint set points, "
          f"{s['motion_events']} motion events, {s['refused_commands']} refused)")
    print(f"  log records      {s['log_records']}; diagnostics {s['diagnostics']}")
    print(f"  dropped records  {s['dropped_records']}")


def draw(run: Run, out: str, title: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(4, 3, figsize=(13, 10), constrained_layout=True)
    flat = axes.ravel()
    for j, joint in enumerate(JOINTS):
        ax = flat[j]
        measured = [r[j] for r in run.readings]
        ax.plot(run.reading_times, measured, color="tab:blue", lw=1.0, label="measured")
        if joint in run.set_points:
            t, v = run.set_points[joint]
            ax.plot(t, v, color="tab:orange", lw=1.0, ls="--", label="set point")
        if joint in run.commands:
            t, v = run.commands[joint]
            ax.plot(t, v, "^", color="tab:green", ms=5, label="command")
        for when in run.failed_read_times.get(joint, []):
            ax.axvline(when, color="tab:red", lw=0.6, alpha=0.5)
        for when in run.late_times:
            ax.axvline(when, color="tab:purple", lw=0.4, alpha=0.3, ls=":")
        ax.set_title(joint, fontsize=9)
        ax.tick_params(labelsize=7)
        if ax.get_legend_handles_labels()[0]:
            ax.legend(fontsize=6, loc="best")
    ax = flat[10]
    periods_ms = [p * 1e3 for p in run.periods]
    if periods_ms:
        ax.hist(periods_ms, bins=60, color="tab:gray")
        ax.set_yscale("log")
    ax.set_title("tick period (ms)", fontsize=9)
    ax.tick_params(labelsize=7)
    flat[11].axis("off")
    s = summary(run)
    flat[11].text(0.0, 1.0, "\n".join([
        f"{s['duration_s']:.1f} s, {s['ticks']} ticks",
        f"late ticks {s['late_ticks']} (dotted purple)",
        f"failed reads {sum(s['failed_reads_by_joint'].values())} (red)",
        f"retries {s['retries']}, reconnects {s['reconnects']}",
        f"commands {s['commands']}, dropped {s['dropped_records']}",
    ]), va="top", fontsize=9, family="monospace")
    fig.suptitle(title, fontsize=10)
    fig.savefig(out, dpi=80)
    plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quorvel-report", description=__doc__.splitlines()[0])
    parser.add_argument("file", help="a recording (.mcap)")
    parser.add_argument("--png", metavar="OUT.png", help="draw the picture to this file")
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    args = parser.parse_args(argv)
    run = load(args.file)
    s = summary(run)
    if args.json:
        print(json.dumps(s, indent=2))
    else:
        _print_summary(args.file, s)
    if args.png:
        draw(run, args.png, args.file)
        if not args.json:
            print(f"picture: {args.png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
