"""quorvel-demo: a first look at the Quorvel torso, simulated or real.

With no arguments the demo starts the virtual torso (neck left more than a
turn away from zero), homes the neck with a direct QuorvelMotorController,
releases it, starts a QuorvelPyControlLoop at a 10 ms period, moves the arms,
nose and neck along smooth sine waves for a few seconds while a live view
shows the joints and the loop's timing, then prints the loop's statistics.

    quorvel-demo                                   # simulated torso
    quorvel-demo --serial /dev/ttyUSB0 --can can0  # real hardware (asks first)
    quorvel-demo --duration 20 --plot motion.png

Torque: at the end, and on the first Ctrl-C, every joint returns to zero over
one second, then torque is switched off on the servos and the neck (arms and
head go limp) unless --keep-torque is given. A second Ctrl-C skips the return
to zero. The control loop is closed and the simulator stopped in every case.
"""

from __future__ import annotations

import argparse
import datetime
import importlib.util
import logging
import math
import os
import signal
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, List, Optional, Sequence, TextIO

SERVO_NAMES = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
               "nose_top", "nose_left", "nose_right")
NECK_NAMES = ("neck_yaw", "neck_pitch", "neck_roll")
JOINT_NAMES = SERVO_NAMES + NECK_NAMES
TURN = 2.0 * math.pi

LOOP_PERIOD = datetime.timedelta(milliseconds=10)
STATS_PERIOD = datetime.timedelta(milliseconds=100)
SEND_INTERVAL = 0.02          # new targets 50 times a second
VIEW_INTERVAL_TTY = 0.1       # live view refresh
VIEW_INTERVAL_PLAIN = 1.0     # one plain line a second when stdout is not a terminal
QUEUE_CAPACITY = 100          # the control loop's command queue
SIM_NECK_START = (6.1, -0.2, 3.2)   # yaw a turn away, roll past half a turn


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quorvel-demo",
        description="Home the neck, then move arms, nose and neck through a short smooth motion under "
                    "the control loop with a live view. Runs on the simulated torso unless --serial is given.")
    p.add_argument("--serial", metavar="PATH", help="servo bus serial port, e.g. /dev/ttyUSB0 (real hardware)")
    p.add_argument("--can", metavar="IFACE", help="SocketCAN interface of the neck (default can0 with --serial)")
    p.add_argument("--yes", action="store_true", help="do not ask before moving real hardware")
    p.add_argument("--duration", type=float, default=8.0, metavar="SECONDS",
                   help="length of the motion (default 8)")
    p.add_argument("--plot", metavar="FILE.png", help="write commanded vs observed positions per joint "
                                                      "(needs matplotlib: the 'plot' extra)")
    p.add_argument("--home-speed", type=float, default=None, metavar="RAD_PER_S",
                   help="neck homing speed (default 0.4 on hardware, 1.5 on the simulator)")
    p.add_argument("--keep-torque", action="store_true",
                   help="leave torque on at the end (joints hold the zero pose)")
    return p


# ---- the motion -------------------------------------------------------------

@dataclass(frozen=True)
class Wave:
    """One joint's sine: center + amplitude * sin(2 pi f t + phase)."""
    center: float
    amplitude: float
    frequency: float
    phase: float

    def at(self, t: float) -> float:
        return self.center + self.amplitude * math.sin(TURN * self.frequency * t + self.phase)


# In joint order; the neck stays well inside its limits (yaw +-0.5, pitch 0-0.45, roll +-0.4).
WAVES = (
    Wave(0.0, 0.5, 0.25, 0.0), Wave(0.0, 0.3, 0.25, math.pi / 2),        # left arm
    Wave(0.0, -0.5, 0.25, 0.0), Wave(0.0, -0.3, 0.25, math.pi / 2),      # right arm (mirrored)
    Wave(0.0, 0.25, 0.5, 0.0), Wave(0.0, 0.25, 0.5, TURN / 3), Wave(0.0, 0.25, 0.5, 2 * TURN / 3),  # nose
    Wave(0.0, 0.35, 0.2, 0.0), Wave(0.2, 0.15, 0.3, 0.0), Wave(0.0, 0.25, 0.25, math.pi / 2),       # neck
)
ZERO_POSE = (0.0,) * 10


def _smoothstep(x: float) -> float:
    x = min(max(x, 0.0), 1.0)
    return x * x * (3.0 - 2.0 * x)


@dataclass
class Motion:
    """Targets over time: blend from the start pose into the waves, then out to the zero pose.

    The way out starts `ramp_out` seconds before the end, or at once when the
    run is stopped early (`finish_at`)."""
    start_pose: Sequence[float]
    duration: float
    ramp_in: float = field(init=False)
    ramp_out: float = field(init=False)
    end_ramp_start: float = field(init=False)

    def __post_init__(self) -> None:
        self.ramp_in = self.ramp_out = min(1.0, max(self.duration, 0.0) / 3.0)
        self.end_ramp_start = max(self.duration - self.ramp_out, 0.0)

    def finish_at(self, t: float, ramp_out: float) -> None:
        if t < self.end_ramp_start:
            self.end_ramp_start, self.ramp_out = t, ramp_out

    @property
    def end(self) -> float:
        return self.end_ramp_start + self.ramp_out

    def targets(self, t: float) -> List[float]:
        wave = [w.at(t) for w in WAVES]
        if t < self.ramp_in:
            s = _smoothstep(t / self.ramp_in)
            wave = [a + s * (b - a) for a, b in zip(self.start_pose, wave)]
        if t >= self.end_ramp_start:
            s = _smoothstep((t - self.end_ramp_start) / self.ramp_out) if self.ramp_out > 0 else 1.0
            wave = [a + s * (b - a) for a, b in zip(wave, ZERO_POSE)]
        return wave


# ---- statistics helpers -------------------------------------------------------

def _percentile(values: Sequence[float], q: float) -> float:
    if not values:
        return float("nan")
    ordered = sorted(values)
    index = min(len(ordered) - 1, max(0, math.ceil(q * len(ordered)) - 1))
    return ordered[index]


def _ms(seconds: float) -> str:
    return "   n/a" if math.isnan(seconds) else f"{seconds * 1e3:6.3f}"


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
        recent = stats.period[-window:]
        read = stats.read_dt[-window:]
        figures = cls(executed=len(stats.write_dt))
        if recent:
            figures.rate_hz = len(recent) / sum(recent) if sum(recent) > 0 else float("nan")
            figures.jitter_sigma = statistics.pstdev(recent) if len(recent) > 1 else 0.0
            figures.jitter_p99 = _percentile([abs(p - nominal) for p in recent], 0.99)
        if read:
            figures.read_mean = statistics.fmean(read)
        return figures


# ---- recording for the plot -----------------------------------------------------

@dataclass
class Recording:
    commanded_t: List[float] = field(default_factory=list)
    commanded: List[List[float]] = field(default_factory=list)
    observed_t: List[float] = field(default_factory=list)
    observed: List[List[float]] = field(default_factory=list)

    def observe(self, t: float, position) -> None:
        if self.observed_t and t <= self.observed_t[-1]:
            return   # the same reading again
        self.observed_t.append(t)
        self.observed.append(list(position.left_arm) + list(position.right_arm) + list(position.nose)
                             + list(position.neck))


def _write_plot(path: str, recording: Recording, title: str) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(5, 2, figsize=(12, 12), sharex=True)
    for index, name in enumerate(JOINT_NAMES):
        ax = axes[index // 2][index % 2]
        ax.plot(recording.commanded_t, [row[index] for row in recording.commanded], "--", label="commanded")
        ax.plot(recording.observed_t, [row[index] for row in recording.observed], "-", label="observed")
        ax.set_title(name, fontsize=10)
        ax.set_ylabel("rad")
        ax.grid(True, alpha=0.3)
    axes[0][0].legend(loc="upper right", fontsize=8)
    for ax in axes[-1]:
        ax.set_xlabel("s")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)


# ---- terminal output ------------------------------------------------------------

class View:
    """The live view: redrawn in place on a terminal, plain periodic lines otherwise."""

    def __init__(self, out: TextIO, tty: bool, title: str, duration: float) -> None:
        self.out, self.tty, self.title, self.duration = out, tty, title, duration
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

    def draw(self, now: float, t: float, commanded: Sequence[float], position, figures: LoopFigures,
             sent: int, blocked_max: float, stopping: bool) -> None:
        self.next_draw = now + self.interval
        observed = (list(position.left_arm) + list(position.right_arm) + list(position.nose)
                    + list(position.neck)) if position is not None else [float("nan")] * 10
        pending = max(0, sent - figures.executed)
        if not self.tty:
            groups = [observed[0:4], observed[4:7], observed[7:10]]
            arms, nose, neck = (" ".join(f"{v:+.3f}" for v in g) for g in groups)
            print(f"t={t:5.1f}s  loop {_hz(figures.rate_hz, 6)} Hz  jitter {_ms(figures.jitter_sigma).strip()} ms  "
                  f"sent {sent}  queue<={min(pending, QUEUE_CAPACITY)}/{QUEUE_CAPACITY}  "
                  f"| arms {arms} | nose {nose} | neck {neck}", file=self.out, flush=True)
            return
        state = "returning to zero..." if stopping else "Ctrl-C stops"
        lines = [f"\x1b[1m{self.title}\x1b[0m   t = {min(t, self.duration):4.1f} / {self.duration:.1f} s   ({state})",
                 f"{'joint':<16} {'commanded':>10} {'observed':>10}   rad"]
        for name, c, o in zip(JOINT_NAMES, commanded, observed):
            lines.append(f"{name:<16} {c:>+10.3f} {o:>+10.3f}   {self._bar(o)}")
        lines.append(f"loop     {_hz(figures.rate_hz, 7)} Hz   period jitter: sigma {_ms(figures.jitter_sigma)} ms, "
                     f"p99 |dev| {_ms(figures.jitter_p99)} ms   read {_ms(figures.read_mean)} ms")
        lines.append(f"commands sent {sent:6d}   executed {figures.executed:6d}   queue <= {min(pending, QUEUE_CAPACITY):3d}"
                     f"/{QUEUE_CAPACITY} (stats lag {STATS_PERIOD.total_seconds():.1f} s)   longest wait to queue {blocked_max * 1e3:6.2f} ms")
        lines.extend(f"log: {line}" for line in self.log_lines)
        self._redraw(lines)

    @staticmethod
    def _bar(value: float, width: int = 21, span: float = 0.6) -> str:
        if math.isnan(value):
            return " " * width
        cells = [" "] * width
        cells[width // 2] = "|"
        index = round((max(-span, min(span, value)) / span + 1.0) * (width - 1) / 2)
        cells[index] = "#"
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


class _ViewLogHandler(logging.Handler):
    """Sends the module's log records to the view (or stderr before it is drawn)."""

    def __init__(self, sink: Callable[[str], None]) -> None:
        super().__init__(logging.INFO)
        self.sink = sink

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.sink(f"[{record.levelname.lower()}] {record.name}: {record.getMessage()}")
        except Exception:  # pragma: no cover - a log line must never end the demo
            pass


# ---- Ctrl-C ---------------------------------------------------------------------

class _Flag:
    """A flag that a signal handler may set. (threading.Event is not safe there:
    its set() takes a lock that the interrupted main thread may be holding.)"""

    def __init__(self) -> None:
        self._value = False

    def set(self) -> None:
        self._value = True

    def is_set(self) -> bool:
        return self._value


class Interrupts:
    """First Ctrl-C (or SIGTERM): finish gently. Second: skip the return to zero."""

    def __init__(self) -> None:
        self.stop = _Flag()
        self.hurry = _Flag()
        self._previous = {}

    def _handle(self, signum, frame) -> None:
        if self.stop.is_set():
            self.hurry.set()
        self.stop.set()

    def install(self) -> None:
        for sig in (signal.SIGINT, signal.SIGTERM):
            self._previous[sig] = signal.signal(sig, self._handle)

    def restore(self) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)


# ---- the demo ---------------------------------------------------------------------

def _say(text: str) -> None:
    print(text, flush=True)


def _confirm(serial: str, can: str) -> bool:
    _say(f"This will move the arms, nose and neck of the robot on {serial} and {can}.")
    _say("Keep clear of the robot and have its power switch in reach.")
    if not sys.stdin.isatty():
        print("quorvel-demo: not asking on a non-interactive input; pass --yes to go ahead.", file=sys.stderr)
        return False
    try:
        answer = input("Continue? [y/N] ")
    except (EOFError, KeyboardInterrupt):
        _say("")
        return False
    return answer.strip().lower() in ("y", "yes")


def _fmt(values: Sequence[float]) -> str:
    return "[" + ", ".join(f"{v:+.3f}" for v in values) + "]"


def _home_neck(qmc, serial: Optional[str], can: str, speed: float, limits: list) -> List[float]:
    """Homes the neck with a direct controller, which is released (ports closed) on return.

    The neck is left enabled, holding its zero, so the head does not drop before
    the control loop takes over. `limits` receives the neck's safety bounds."""
    controller = qmc.QuorvelMotorController(serial, can_bus=can)
    limits[:] = controller.neck_position_limits()
    before = controller.read_neck_positions()
    _say(f"homing the neck from {_fmt(before)} rad at {speed} rad/s ...")
    started = time.monotonic()
    after = controller.neck_home(speed=speed)
    _say(f"neck homed at {_fmt(after)} rad in {time.monotonic() - started:.1f} s")
    del controller
    return after


def _neck_off(qmc, can: str) -> None:
    """Disables the neck through a short-lived neck-only controller (best effort)."""
    try:
        qmc.QuorvelMotorController(None, can_bus=can).enable_neck(False)
    except RuntimeError as e:
        print(f"quorvel-demo: could not switch the neck off: {e}", file=sys.stderr)


def _summary(stats, sent: int, elapsed: float, nominal: float) -> List[str]:
    if stats is None:
        return ["control loop statistics: none published"]
    period, read_dt, write_dt = stats.period, stats.read_dt, stats.write_dt
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


class Readings:
    """The loop's latest reading. A reading that failed (a reply lost on a busy
    machine, retried on the next tick) is bridged with the previous one; only
    readings that keep failing for `may_fail_for` seconds end the demo."""

    def __init__(self, loop, may_fail_for: float = 2.0):
        self.loop = loop
        self.may_fail_for = may_fail_for
        self.last = None
        self.last_good = time.monotonic()
        self.failed = 0

    def latest(self):
        while True:
            try:
                self.last = self.loop.get_last_position()
                self.last_good = time.monotonic()
                return self.last
            except RuntimeError:
                self.failed += 1
                if time.monotonic() - self.last_good >= self.may_fail_for:
                    raise
                if self.last is not None:
                    return self.last
                time.sleep(0.01)  # no reading yet: wait for the next tick


def _move(loop, args, view: View, interrupts: Interrupts, recording: Recording, neck_on: bool,
          neck_limits: Sequence[Sequence[float]], nominal: float) -> int:
    """The motion under the control loop. Returns the number of commands sent."""
    readings = Readings(loop)
    start = readings.latest()
    # A homed neck reads a hair off zero, possibly just outside its limits.
    neck = [min(max(p, lo), hi) for p, (lo, hi) in zip(start.neck, neck_limits)]
    start_pose = list(start.left_arm) + list(start.right_arm) + list(start.nose) + neck
    # Hold the present pose before torque comes on, so nothing jumps.
    loop.set_all_goal_positions(start)
    loop.enable_torque()
    sent = 2
    if neck_on:
        loop.enable_neck(True)
        sent += 1
    else:
        start_pose[7:10] = list(start.neck)
    motion = Motion(start_pose, args.duration)

    wall0 = time.time()
    t0 = time.monotonic()
    next_send = t0
    blocked_max = 0.0
    commanded = motion.targets(0.0)
    position = start
    figures = LoopFigures()
    stopping = False
    while True:
        now = time.monotonic()
        t = now - t0
        if interrupts.stop.is_set() and not stopping:
            stopping = True
            motion.finish_at(t, ramp_out=0.0 if interrupts.hurry.is_set() else 1.0)
        if interrupts.hurry.is_set():
            break
        if now >= next_send:
            commanded = motion.targets(t)
            if not neck_on:
                commanded[7:10] = start_pose[7:10]
            began = time.monotonic()
            loop.set_arms_position(commanded[0:4])
            loop.set_nose_position(commanded[4:7])
            sent += 2
            if neck_on:
                loop.set_neck_position(commanded[7:10])
                sent += 1
            blocked_max = max(blocked_max, time.monotonic() - began)
            if args.plot:
                recording.commanded_t.append(t)
                recording.commanded.append(list(commanded))
            next_send += SEND_INTERVAL
            if next_send < now:          # fell behind (a loaded machine): do not burst
                next_send = now + SEND_INTERVAL
        position = readings.latest()
        if args.plot:
            recording.observe(position.timestamp - wall0, position)
        if t > motion.end + 0.1:         # let the last target arrive before stopping
            break
        if view.due(now):
            figures = LoopFigures.from_stats(loop.get_stats(), nominal)
            view.draw(now, t, commanded, position, figures, sent, blocked_max, stopping)
        # A signal ends the sleep early only for its handler; the next pass sees the flag.
        time.sleep(max(0.0, min(next_send, view.next_draw) - time.monotonic()))
    figures = LoopFigures.from_stats(loop.get_stats(), nominal)
    view.draw(time.monotonic(), time.monotonic() - t0, commanded, position, figures, sent, blocked_max, stopping)
    return sent


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    hardware = args.serial is not None or args.can is not None
    if args.can is not None and args.serial is None:
        print("quorvel-demo: --can needs --serial too (the demo moves the arms and nose)", file=sys.stderr)
        return 2
    if not (args.duration > 0 and math.isfinite(args.duration)):
        print("quorvel-demo: --duration must be a positive number of seconds", file=sys.stderr)
        return 2
    if args.home_speed is not None and not (args.home_speed > 0 and math.isfinite(args.home_speed)):
        print("quorvel-demo: --home-speed must be a positive number", file=sys.stderr)
        return 2
    if args.plot:
        if importlib.util.find_spec("matplotlib") is None:
            print("quorvel-demo: --plot needs matplotlib, which is not installed. Install it with\n"
                  "    pip install 'quorvel_motor_controller[plot]'    (or: pip install matplotlib)",
                  file=sys.stderr)
            return 2
    try:
        import quorvel_motor_controller as qmc
    except ImportError as e:
        print(f"quorvel-demo: the quorvel_motor_controller module is not installed ({e})", file=sys.stderr)
        return 1

    interrupts = Interrupts()
    interrupts.install()
    tty = sys.stdout.isatty()
    view = View(sys.stdout, tty, "", args.duration)
    handler = _ViewLogHandler(view.log)
    module_logger = logging.getLogger("quorvel_motor_controller")
    module_logger.addHandler(handler)
    module_logger.setLevel(logging.INFO)
    module_logger.propagate = False

    sim = None
    loop = None
    neck_enabled_by_us = False
    recording = Recording()
    neck_limits: list = []
    try:
        if hardware:
            serial, can = args.serial, args.can or "can0"
            if not args.yes and not _confirm(serial, can):
                _say("nothing moved.")
                return 1
            if not os.path.exists(serial):
                print(f"quorvel-demo: Check if your USB cable is connected. Could not find port: {serial}!",
                      file=sys.stderr)
                return 1
            home_speed = args.home_speed or 0.4
            view.title = f"quorvel demo on {serial} + {can}"
        else:
            try:
                from quorvel_torso_sim import TorsoSim
            except ImportError as e:
                print(f"quorvel-demo: the simulator module is not installed ({e})", file=sys.stderr)
                return 1
            sim = TorsoSim(neck_positions=list(SIM_NECK_START))
            sim.set_neck_dynamics(True)      # the neck follows through a spring-damper
            sim.set_servo_speed(2.0)         # servos travel at 2 rad/s
            serial, can = sim.serial_path, sim.can_bus
            home_speed = args.home_speed or 1.5
            view.title = "quorvel demo on the simulated torso"
            _say(f"simulated torso: serial {serial}, CAN {can}")

        # 1. Neck homing with the direct controller.
        try:
            homed = _home_neck(qmc, serial, can, home_speed, neck_limits)
        except RuntimeError as e:
            print(f"quorvel-demo: neck homing failed: {e}", file=sys.stderr)
            if not args.keep_torque:
                _neck_off(qmc, can)
            return 1
        neck_enabled_by_us = True
        turns = [round(p / TURN) for p in homed]
        neck_on = True
        if any(turns):
            # The zero is a whole turn away from the neck's 0 rad: commanding
            # positions within the neck's limits would spin the head a full turn.
            names = ", ".join(n for n, k in zip(NECK_NAMES, turns) if k)
            if sim is not None:
                for index, k in enumerate(turns):
                    sim.set_neck_position(index, homed[index] - k * TURN)
                _say(f"{names} homed a whole turn from 0 rad; simulating a power cycle of the neck motors "
                     f"to reset their turn counters")
            else:
                neck_on = False
                _say(f"{names} homed a whole turn from 0 rad: the neck stays still in this run, since "
                     f"commanding it within its limits would turn it a full turn. Power-cycle the neck "
                     f"motors to reset their turn counters.")
        if interrupts.stop.is_set():
            return 130

        # 2. The control loop.
        _say("starting the control loop (10 ms period) ...")
        try:
            loop = qmc.QuorvelPyControlLoop(serial, LOOP_PERIOD, can_bus=can, stats_pub_period=STATS_PERIOD)
        except RuntimeError as e:
            print(f"quorvel-demo: the control loop did not start: {e}", file=sys.stderr)
            print("quorvel-demo: see 'Troubleshooting' in the README for what to do.", file=sys.stderr)
            return 1
        nominal = LOOP_PERIOD.total_seconds()
        started = time.monotonic()
        try:
            sent = _move(loop, args, view, interrupts, recording, neck_on, neck_limits, nominal)
        except RuntimeError as e:   # the loop thread is gone ("channel closed")
            view.close()
            print(f"quorvel-demo: the control loop stopped taking commands: {e}", file=sys.stderr)
            return 1
        elapsed = time.monotonic() - started
        view.close()

        # 3. Torque, then close the loop.
        if not args.keep_torque:
            loop.disable_torque()
            loop.enable_neck(False)
            neck_enabled_by_us = False
            sent += 2
        loop.close()
        stats = loop.get_stats()
        loop = None
        _say("")
        for line in _summary(stats, sent, elapsed, nominal):
            _say(line)
        _say("torque left on (--keep-torque)" if args.keep_torque else "torque off: arms and neck are limp")
        if args.plot:
            _write_plot(args.plot, recording, view.title)
            _say(f"plot written to {args.plot}")
        return 130 if interrupts.stop.is_set() else 0
    finally:
        view.close()
        if loop is not None:
            if not args.keep_torque:
                try:
                    loop.disable_torque()
                    loop.enable_neck(False)
                    neck_enabled_by_us = False
                except RuntimeError:
                    pass
            loop.close()
        if neck_enabled_by_us and not args.keep_torque and sim is None:
            _neck_off(qmc, args.can or "can0")
        if sim is not None:
            sim.close()
        module_logger.removeHandler(handler)
        interrupts.restore()


if __name__ == "__main__":
    sys.exit(main())
