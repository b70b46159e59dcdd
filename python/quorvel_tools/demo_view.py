"""The demo's live view: joints and loop timing redrawn in place on a terminal
(plain periodic lines otherwise), and the statistics summary at the end."""

from __future__ import annotations

import logging
import math
import statistics
import sys
from dataclasses import dataclass
from typing import Callable, List, Sequence, TextIO

VIEW_INTERVAL_TTY = 0.1       # live view refresh
VIEW_INTERVAL_PLAIN = 1.0     # one plain line a second when stdout is not a terminal
QUEUE_CAPACITY = 100          # the control loop's command queue (not exposed by the module)


# ---- statistics helpers -------------------------------------------------------

def _percentile(values: Sequence[float], q: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, math.ceil(q * len(ordered)) - 1))
    return ordered[index]


def _ms(seconds: float) -> str:
    return "   n/a" if math.isnan(seconds) else f"{seconds * 1e3:6.3f}"


def steady_periods(period: Sequence[float]) -> List[float]:
    """The period samples without the oldest one kept. The loop's first sample
    runs from the start of the loop body to its first tick, which is due at
    once: a few microseconds, which would show as a rate of 100 kHz and more.
    Once the loop has dropped old samples the oldest is an ordinary one, and
    leaving it out costs one sample in 100 000."""
    return list(period[1:])


def _hz(rate: float, width: int) -> str:
    return f"{'n/a':>{width}}" if math.isnan(rate) else f"{rate:{width}.1f}"


@dataclass
class LoopFigures:
    """What the live view shows about the loop, from the recent period samples."""
    rate_hz: float = float("nan")
    jitter_sigma: float = float("nan")    # standard deviation of the period, s
    jitter_p99: float = float("nan")      # 99th percentile of |period - nominal|, s
    read_mean: float = float("nan")
    executed: int = 0

    @classmethod
    def from_stats(cls, stats, nominal: float, window: int = 100) -> "LoopFigures":
        if stats is None:
            return cls()
        recent = steady_periods(stats.period)[-window:]
        read = stats.read_dt[-window:]
        figures = cls(executed=len(stats.write_dt))
        if recent:
            figures.rate_hz = len(recent) / sum(recent) if sum(recent) > 0 else float("nan")
            figures.jitter_sigma = statistics.pstdev(recent) if len(recent) > 1 else 0.0
            figures.jitter_p99 = _percentile([abs(p - nominal) for p in recent], 0.99)
        if read:
            figures.read_mean = statistics.fmean(read)
        return figures


def summary(stats, sent: int, elapsed: float, nominal: float) -> List[str]:
    if stats is None:
        return ["control loop statistics: none published"]
    period, read_dt, write_dt = steady_periods(stats.period), stats.read_dt, stats.write_dt
    lines = [f"control loop statistics  {stats!r}"]
    if period:
        rate = len(period) / sum(period) if sum(period) > 0 else float("nan")
        deviations = [abs(p - nominal) for p in period]
        lines.append(f"  ticks      {len(period):7d} over {sum(period):.1f} s ({rate:.1f} Hz, nominal "
                     f"{1 / nominal:.0f} Hz)")
        lines.append(f"  period     mean {_ms(statistics.fmean(period))}  p50 {_ms(_percentile(period, 0.5))}"
                     f"  p99 {_ms(_percentile(period, 0.99))}  max {_ms(max(period))} ms")
        lines.append(f"  jitter     sigma {_ms(statistics.pstdev(period))}  p99 |dev| {_ms(_percentile(deviations, 0.99))}"
                     f"  ticks late by > 1 period {sum(1 for p in period if p > 2 * nominal):d}")
    if read_dt:
        lines.append(f"  read_dt    mean {_ms(statistics.fmean(read_dt))}  p50 {_ms(_percentile(read_dt, 0.5))}"
                     f"  p99 {_ms(_percentile(read_dt, 0.99))}  max {_ms(max(read_dt))} ms")
    if write_dt:
        lines.append(f"  write_dt   mean {_ms(statistics.fmean(write_dt))}  p50 {_ms(_percentile(write_dt, 0.5))}"
                     f"  p99 {_ms(_percentile(write_dt, 0.99))}  max {_ms(max(write_dt))} ms")
    lines.append(f"  commands   {sent} sent in {elapsed:.1f} s, {len(write_dt)} with a write_dt sample")
    return lines


# ---- terminal output ------------------------------------------------------------

class View:
    """The live view: redrawn in place on a terminal, plain periodic lines otherwise.

    `stats_lag` is the loop's statistics publishing period, in seconds."""

    def __init__(self, out: TextIO, tty: bool, title: str, duration: float, joint_names: Sequence[str],
                 stats_lag: float) -> None:
        self.out, self.tty, self.title, self.duration = out, tty, title, duration
        self.joint_names, self.stats_lag = tuple(joint_names), stats_lag
        self.interval = VIEW_INTERVAL_TTY if tty else VIEW_INTERVAL_PLAIN
        self.lines_drawn = 0
        self.log_lines: List[str] = []
        self.next_draw = 0.0

    def log(self, text: str) -> None:
        if self.tty and self.lines_drawn:
            self.log_lines = (self.log_lines + [text])[-3:]
        else:
            print(text, file=sys.stderr, flush=True)

    def due(self, now: float) -> bool:
        return now >= self.next_draw

    def draw(self, now: float, t: float, set_point: Sequence[float], position, figures: LoopFigures,
             sent: int, blocked_max: float, phase: str) -> None:
        """`set_point` is what the loop's motion generator last commanded per joint,
        `position` the loop's last reading; `phase` names what the demo is doing."""
        self.next_draw = now + self.interval
        observed = (list(position.left_arm) + list(position.right_arm) + list(position.nose)
                    + list(position.neck)) if position is not None else [float("nan")] * 10
        pending = max(0, sent - figures.executed)
        if not self.tty:
            groups = [observed[0:4], observed[4:7], observed[7:10]]
            arms, nose, neck = (" ".join(f"{v:+.3f}" for v in g) for g in groups)
            lag = max(abs(s - o) for s, o in zip(set_point, observed))
            print(f"t={t:5.1f}s  loop {_hz(figures.rate_hz, 6)} Hz  jitter {_ms(figures.jitter_sigma).strip()} ms  "
                  f"sent {sent}  queue<={min(pending, QUEUE_CAPACITY)}/{QUEUE_CAPACITY}  {phase:<12} "
                  f"| arms {arms} | nose {nose} | neck {neck} | set point - measured <= {lag:.3f}",
                  file=self.out, flush=True)
            return
        hint = {"stop": "   (Ctrl-C again: no return to zero)", "to zero": "   (returning to zero...)",
                "done": ""}.get(phase, "   (Ctrl-C stops)")
        lines = [f"\x1b[1m{self.title}\x1b[0m   t = {min(t, self.duration):4.1f} / {self.duration:.1f} s   "
                 f"{phase}{hint}",
                 f"{'joint':<16} {'set point':>10} {'measured':>10} {'error':>8}   rad   "
                 f"(# measured, o set point)"]
        for name, c, o in zip(self.joint_names, set_point, observed):
            lines.append(f"{name:<16} {c:>+10.3f} {o:>+10.3f} {o - c:>+8.3f}   {self._bar(o, c)}")
        lines.append(f"loop     {_hz(figures.rate_hz, 7)} Hz   period jitter: sigma {_ms(figures.jitter_sigma)} ms, "
                     f"p99 |dev| {_ms(figures.jitter_p99)} ms   read {_ms(figures.read_mean)} ms")
        lines.append(f"commands sent {sent:6d}   executed {figures.executed:6d}   queue <= {min(pending, QUEUE_CAPACITY):3d}"
                     f"/{QUEUE_CAPACITY} (stats lag {self.stats_lag:.1f} s)   longest wait to queue {blocked_max * 1e3:6.2f} ms")
        lines.extend(f"log: {line}" for line in self.log_lines)
        self._redraw(lines)

    @staticmethod
    def _bar(value: float, set_point: float, width: int = 31, span: float = 0.8) -> str:
        cells = [" "] * width
        cells[width // 2] = "|"
        for mark, v in (("o", set_point), ("#", value)):   # the measured mark wins where they meet
            if not math.isnan(v):
                cells[round((max(-span, min(span, v)) / span + 1.0) * (width - 1) / 2)] = mark
        return "".join(cells)

    def _redraw(self, lines: List[str]) -> None:
        out = []
        if self.lines_drawn:
            out.append(f"\x1b[{self.lines_drawn}F")   # back to the first line of the view
        else:
            out.append("\x1b[?25l")                   # hide the cursor while drawing
        for line in lines:
            out.append("\x1b[2K" + line + "\n")
        for _ in range(self.lines_drawn - len(lines)):   # the view got shorter
            out.append("\x1b[2K\n")
        self.lines_drawn = max(self.lines_drawn, len(lines))
        self.out.write("".join(out))
        self.out.flush()

    def close(self) -> None:
        if self.tty and self.lines_drawn:
            self.out.write("\x1b[?25h")
            self.out.flush()
        for line in self.log_lines:
            print(f"log: {line}", file=sys.stderr)
        self.lines_drawn = 0


class ViewLogHandler(logging.Handler):
    """Sends the module's log records to the view (or stderr before it is drawn)."""

    def __init__(self, sink: Callable[[str], None]) -> None:
        super().__init__(logging.INFO)
        self.sink = sink

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.sink(f"[{record.levelname.lower()}] {record.name}: {record.getMessage()}")
        except Exception:  # pragma: no cover - a log line must never end the demo
            pass
