"""The demo's motion, generated on the control loop's thread: the joints go home
with `move_to`, loop through a few poses on a timed trajectory, follow a
streamed 'face tracker' target, then stop; with an optional recording of set
points against measured positions for a plot."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from typing import Dict, List, Sequence

from .demo_view import LoopFigures, View

TURN = 2.0 * math.pi
TRACKER_INTERVAL = 1.0 / 30   # a face tracker's new target 30 times a second
SAMPLE_INTERVAL = 0.02        # set point and measured position sampled for the view and the plot
RETURN_DURATION = 1.0         # the way back to zero at the end or on Ctrl-C
SETTLE_LIMIT = 5.0            # s: a stop or the way to zero that takes longer is not waited for

ZERO_POSE = (0.0,) * 10

# Poses and targets are in the module's joint order (SERVO_JOINTS, then NECK_JOINTS).
# The trajectory's poses, at even times, ending where it began.
# Inside the neck's limits (yaw +-0.5, pitch 0-0.45, roll +-0.4) and slow enough
# for the default motion limits at the nominal phase length below.
POSES = (
    (0.5, 0.2, -0.5, -0.2, 0.25, -0.15, -0.15, 0.35, 0.15, 0.15),
    (0.2, 0.4, -0.2, -0.4, -0.15, 0.25, -0.15, 0.0, 0.35, 0.0),
    (-0.3, 0.1, 0.3, -0.1, -0.15, -0.15, 0.25, -0.35, 0.15, -0.15),
    (0.1, -0.2, -0.1, 0.2, 0.1, 0.1, 0.1, 0.0, 0.25, 0.1),
    ZERO_POSE,
)
NOMINAL_TRAJECTORY = 3.6      # s: the poses at full size; a shorter run moves less


def trajectory(duration: float, joints: Sequence[str], active: Sequence[bool]) -> tuple:
    """(joint names, points, times) of the loop through POSES over `duration` seconds.

    A shorter run shrinks the poses by the square of the time ratio, so neither
    velocity nor acceleration grows past what the nominal length needs."""
    scale = min(1.0, (duration / NOMINAL_TRAJECTORY) ** 2)
    names = [n for n, on in zip(joints, active) if on]
    points = [[p * scale for p, on in zip(pose, active) if on] for pose in POSES]
    times = [duration * (k + 1) / len(POSES) for k in range(len(POSES))]
    return names, points, times


def face(t: float) -> List[float]:
    """Where a tracked face sits at `t` (a slow Lissajous figure), as joint targets:
    the neck looks at it, the nose wiggles after it and the arms point."""
    yaw = 0.35 * math.sin(TURN * 0.3 * t)
    pitch = 0.2 + 0.12 * math.sin(TURN * 0.45 * t)
    roll = 0.1 * math.sin(TURN * 0.15 * t)
    nose = 0.2 * math.sin(TURN * 0.6 * t)
    return [0.3 + pitch, yaw, -0.3 - pitch, yaw, nose, -nose / 2, -nose / 2, yaw, pitch, roll]


# ---- recording for the plot -----------------------------------------------------

@dataclass
class Recording:
    set_point_t: List[float] = field(default_factory=list)
    set_point: List[List[float]] = field(default_factory=list)
    observed_t: List[float] = field(default_factory=list)
    observed: List[List[float]] = field(default_factory=list)

    def observe(self, t: float, position) -> None:
        if self.observed_t and t <= self.observed_t[-1]:
            return   # the same reading again
        self.observed_t.append(t)
        self.observed.append(flat(position))


def flat(position) -> List[float]:
    return list(position.left_arm) + list(position.right_arm) + list(position.nose) + list(position.neck)


def write_plot(path: str, recording: Recording, title: str, joint_names: Sequence[str]) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(5, 2, figsize=(12, 12), sharex=True)
    for index, name in enumerate(joint_names):
        ax = axes[index // 2][index % 2]
        ax.plot(recording.set_point_t, [row[index] for row in recording.set_point], "--", label="set point")
        ax.plot(recording.observed_t, [row[index] for row in recording.observed], "-", label="measured")
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


def _targets(values: Sequence[float], joints: Sequence[str], active: Sequence[bool]) -> Dict[str, float]:
    return {n: v for n, v, on in zip(joints, values, active) if on}


class Phases:
    """The demo's schedule over `duration` seconds: home, trajectory, tracker, stop.

    Home gets the first 15 %, the trajectory the next 45 %, the tracker the
    rest; a Ctrl-C jumps to the stop. A trajectory that starts before home is
    reached blends in from the present set points."""

    def __init__(self, duration: float) -> None:
        self.duration = duration
        self.trajectory_at = 0.15 * duration
        self.tracker_at = 0.6 * duration

    def name(self, t: float) -> str:
        if t < self.trajectory_at:
            return "home"
        if t < self.tracker_at:
            return "trajectory"
        if t < self.duration:
            return "face tracker"
        return "stop"


def move(loop, args, view: View, interrupts, recording: Recording, neck_on: bool, nominal: float,
         joints: Sequence[str]) -> int:
    """The motion under the control loop; `joints` names the ten joints in the
    module's order. Returns the number of commands sent."""
    readings = Readings(loop)
    start = readings.latest()
    # Hold the present pose before torque comes on, so nothing jumps.
    loop.set_all_goal_positions(start)
    loop.enable_torque()
    sent = 2
    active = [True] * 7 + [neck_on] * 3   # a neck a whole turn off zero stays still
    if neck_on:
        loop.enable_neck(True)
        sent += 1

    phases = Phases(args.duration)
    wall0 = time.time()
    t0 = time.monotonic()
    # Judged by the torque that the enable commands queued just before it leave.
    loop.move_to(_targets(ZERO_POSE, joints, active))
    sent += 1
    phase = "home"
    set_point = flat(start)
    position = start
    figures = LoopFigures()
    blocked_max = 0.0
    next_target = next_sample = t0
    give_up = math.inf               # the stop and the way to zero are bounded too
    while True:
        now = time.monotonic()
        t = now - t0
        if interrupts.hurry.is_set():   # second Ctrl-C: stop where it is, no way to zero
            loop.stop_motion()
            sent += 1
            loop.wait_motion(SETTLE_LIMIT)
            break
        wanted = phase
        if phase in ("home", "trajectory", "face tracker"):
            wanted = "stop" if interrupts.stop.is_set() else phases.name(t)
        if wanted != phase:
            phase = wanted
            began = time.monotonic()
            if phase == "trajectory":
                names, points, times = trajectory(phases.tracker_at - t, joints, active)
                try:
                    loop.follow_trajectory(names, points, times)
                except ValueError as e:   # over a limit: changed limits, or a very short run
                    view.log(f"trajectory refused: {e}")
            elif phase == "stop":
                loop.stop_motion()
                give_up = now + SETTLE_LIMIT
            sent += 1
            blocked_max = max(blocked_max, time.monotonic() - began)
        if phase == "face tracker" and now >= next_target:
            began = time.monotonic()
            loop.move_to(_targets(face(t - phases.tracker_at), joints, active))
            sent += 1
            blocked_max = max(blocked_max, time.monotonic() - began)
            next_target += TRACKER_INTERVAL
            if next_target < now:         # fell behind (a loaded machine): do not burst
                next_target = now + TRACKER_INTERVAL
        if now >= next_sample:
            state = loop.motion_state()
            for index, name in enumerate(joints):
                if name in state.set_points:
                    set_point[index] = state.set_points[name][0]
            position = readings.latest()
            if args.plot:
                recording.set_point_t.append(t)
                recording.set_point.append(list(set_point))
                recording.observe(position.timestamp - wall0, position)
            next_sample = max(next_sample + SAMPLE_INTERVAL, now)
            if phase in ("stop", "to zero") and (loop.wait_motion(0.001) or now >= give_up):
                if phase == "to zero":
                    break
                # At rest: every joint back to zero, all arriving together.
                loop.move_to(_targets(ZERO_POSE, joints, active), duration=RETURN_DURATION)
                sent += 1
                phase, give_up = "to zero", now + RETURN_DURATION + SETTLE_LIMIT
        if view.due(now):
            figures = LoopFigures.from_stats(loop.get_stats(), nominal)
            view.draw(now, t, set_point, position, figures, sent, blocked_max, phase)
        # A signal ends the sleep early only for its handler; the next pass sees the flag.
        wake = min(next_sample, view.next_draw, next_target if phase == "face tracker" else math.inf)
        time.sleep(max(0.0, wake - time.monotonic()))

    figures = LoopFigures.from_stats(loop.get_stats(), nominal)
    view.draw(time.monotonic(), time.monotonic() - t0, set_point, readings.latest(), figures, sent, blocked_max,
              "done")
    return sent
