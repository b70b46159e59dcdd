"""quorvel-demo: a first look at the Quorvel torso, simulated or real.

With no arguments the demo starts the virtual torso (neck left more than a
turn away from zero), homes the neck with a direct QuorvelMotorController,
releases it, starts a QuorvelPyControlLoop at a 10 ms period and moves the
arms, nose and neck with motion generated on the loop's thread (limited in
velocity, acceleration and jerk): home with move_to, a timed trajectory through
a few poses without stopping at each, a 'face tracker' target streamed at
30 Hz, then stop_motion. A live view shows each joint's set point against its
measured position and the loop's timing; the loop's statistics end the run.

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
import contextlib
import datetime
import importlib.util
import logging
import math
import os
import signal
import sys
import time
from dataclasses import dataclass
from typing import Any, List, Optional, Sequence

from .demo_motion import TURN, Recording, move, write_plot
from .demo_view import View, ViewLogHandler, summary

LOOP_PERIOD = datetime.timedelta(milliseconds=10)
STATS_PERIOD = datetime.timedelta(milliseconds=100)
SIM_NECK_START = (6.1, -0.2, 3.2)   # yaw a turn away, roll past half a turn


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quorvel-demo",
        description="Home the neck, then move arms, nose and neck smoothly under the control loop "
                    "(move_to, a timed trajectory, streamed targets) with a live view. Runs on the simulated torso unless --serial is given.")
    p.add_argument("--serial", metavar="PATH", help="servo bus serial port, e.g. /dev/ttyUSB0 (real hardware)")
    p.add_argument("--can", metavar="IFACE", help="SocketCAN interface of the neck (default can0 with --serial)")
    p.add_argument("--yes", action="store_true", help="do not ask before moving real hardware")
    p.add_argument("--duration", type=float, default=8.0, metavar="SECONDS",
                   help="length of the motion (default 8)")
    p.add_argument("--plot", metavar="FILE.png", help="write set point vs measured position per joint "
                                                      "(needs matplotlib: the 'plot' extra)")
    p.add_argument("--home-speed", type=float, default=None, metavar="RAD_PER_S",
                   help="neck homing speed (default 0.4 on hardware, 1.5 on the simulator)")
    p.add_argument("--record", metavar="FILE.mcap",
                   help="record every tick, reading, command and event to an MCAP file "
                        "(see quorvel-report)")
    p.add_argument("--keep-torque", action="store_true",
                   help="leave torque on at the end (joints hold the zero pose)")
    return p


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


def _home_neck(qmc, serial: Optional[str], can: str, speed: float) -> List[float]:
    """Homes the neck with a direct controller, which is released (ports closed) on return.

    The neck is left enabled, holding its zero, so the head does not drop before
    the control loop takes over."""
    controller = qmc.QuorvelMotorController(serial, can_bus=can)
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


@dataclass
class _Session:
    """What the clean-up on the way out needs to know."""
    loop: Any = None
    neck_enabled_by_us: bool = False


def _release_loop(session: _Session, keep_torque: bool) -> None:
    """Switches torque off (unless kept) and closes a loop still open on the way out."""
    if session.loop is None:
        return
    if not keep_torque:
        try:
            session.loop.disable_torque()
            session.loop.enable_neck(False)
            session.neck_enabled_by_us = False
        except RuntimeError:
            pass
    session.loop.close()


def _release_neck(session: _Session, qmc, can: str, keep_torque: bool) -> None:
    """On real hardware, switches off a neck left enabled by the homing (unless kept)."""
    if session.neck_enabled_by_us and not keep_torque:
        _neck_off(qmc, can)


def _check_args(args: argparse.Namespace) -> Optional[str]:
    if args.can is not None and args.serial is None:
        return "--can needs --serial too (the demo moves the arms and nose)"
    if not (args.duration > 0 and math.isfinite(args.duration)):
        return "--duration must be a positive number of seconds"
    if args.home_speed is not None and not (args.home_speed > 0 and math.isfinite(args.home_speed)):
        return "--home-speed must be a positive number"
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        return ("--plot needs matplotlib, which is not installed. Install it with\n"
                "    pip install 'quorvel_motor_controller[plot]'    (or: pip install matplotlib)")
    return None


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    hardware = args.serial is not None or args.can is not None
    problem = _check_args(args)
    if problem is not None:
        print(f"quorvel-demo: {problem}", file=sys.stderr)
        return 2
    try:
        import quorvel_motor_controller as qmc
    except ImportError as e:
        print(f"quorvel-demo: the quorvel_motor_controller module is not installed ({e})", file=sys.stderr)
        return 1

    with contextlib.ExitStack() as stack:
        interrupts = Interrupts()
        interrupts.install()
        stack.callback(interrupts.restore)
        tty = sys.stdout.isatty()
        view = View(sys.stdout, tty, "", args.duration, qmc.SERVO_JOINTS + qmc.NECK_JOINTS,
                    STATS_PERIOD.total_seconds())
        handler = ViewLogHandler(view.log)
        module_logger = logging.getLogger("quorvel_motor_controller")
        module_logger.addHandler(handler)
        module_logger.setLevel(logging.INFO)
        module_logger.propagate = False
        stack.callback(module_logger.removeHandler, handler)

        session = _Session()
        recording = Recording()
        sim = None
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
            stack.callback(_release_neck, session, qmc, can, args.keep_torque)
        else:
            try:
                from quorvel_torso_sim import TorsoSim
            except ImportError as e:
                print(f"quorvel-demo: the simulator module is not installed ({e})", file=sys.stderr)
                return 1
            sim = TorsoSim(neck_positions=list(SIM_NECK_START))
            stack.callback(sim.close)
            sim.set_neck_dynamics(True)      # the neck follows through a spring-damper
            sim.set_servo_speed(2.0)         # servos travel at 2 rad/s
            serial, can = sim.serial_path, sim.can_bus
            home_speed = args.home_speed or 1.5
            view.title = "quorvel demo on the simulated torso"
            _say(f"simulated torso: serial {serial}, CAN {can}")

        # 1. Neck homing with the direct controller.
        try:
            homed = _home_neck(qmc, serial, can, home_speed)
        except RuntimeError as e:
            print(f"quorvel-demo: neck homing failed: {e}", file=sys.stderr)
            if not args.keep_torque:
                _neck_off(qmc, can)
            return 1
        session.neck_enabled_by_us = True
        turns = [round(p / TURN) for p in homed]
        neck_on = True
        if any(turns):
            # The zero is a whole turn away from the neck's 0 rad: commanding
            # positions within the neck's limits would spin the head a full turn.
            names = ", ".join(n for n, k in zip(qmc.NECK_JOINTS, turns) if k)
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
            session.loop = qmc.QuorvelPyControlLoop(serial, LOOP_PERIOD, can_bus=can, stats_pub_period=STATS_PERIOD,
                                                    record=args.record)
        except RuntimeError as e:
            print(f"quorvel-demo: the control loop did not start: {e}", file=sys.stderr)
            print("quorvel-demo: see 'Troubleshooting' in the README for what to do.", file=sys.stderr)
            return 1
        stack.callback(_release_loop, session, args.keep_torque)
        stack.callback(view.close)   # nothing is drawn before the loop runs
        loop = session.loop
        nominal = LOOP_PERIOD.total_seconds()
        started = time.monotonic()
        try:
            sent = move(loop, args, view, interrupts, recording, neck_on, nominal,
                        qmc.SERVO_JOINTS + qmc.NECK_JOINTS)
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
            session.neck_enabled_by_us = False
            sent += 2
        loop.close()
        stats = loop.get_stats()
        session.loop = None
        _say("")
        for line in summary(stats, sent, elapsed, nominal):
            _say(line)
        _say("torque left on (--keep-torque)" if args.keep_torque else "torque off: arms and neck are limp")
        if args.plot:
            write_plot(args.plot, recording, view.title, qmc.SERVO_JOINTS + qmc.NECK_JOINTS)
            _say(f"plot written to {args.plot}")
        if args.record:
            _say(f"recording written to {args.record} (see: quorvel-report {args.record} --png run.png)")
        return 130 if interrupts.stop.is_set() else 0


if __name__ == "__main__":
    sys.exit(main())
