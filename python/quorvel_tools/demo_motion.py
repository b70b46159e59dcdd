"""The demo's motion: sine waves per joint blended in and out of the zero pose,
sent to a running control loop, with an optional recording for a plot."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import List, Sequence

from .demo_view import LoopFigures, View

TURN = 2.0 * math.pi
SEND_INTERVAL = 0.02          # new targets 50 times a second


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


def write_plot(path: str, recording: Recording, title: str, joint_names: Sequence[str]) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(5, 2, figsize=(12, 12), sharex=True)
    for index, name in enumerate(joint_names):
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


# ---- the motion under the control loop --------------------------------------------

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


def move(loop, args, view: View, interrupts, recording: Recording, neck_on: bool,
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
