"""quorvel-torso-sim: run the virtual Quorvel torso for working without hardware.

Starts the simulator, prints the serial port and the CAN bus name to hand to
the controller, and runs until Ctrl-C:

    $ quorvel-torso-sim --watch
    serial port: /dev/pts/4
    CAN bus:     unix:/tmp/torso_sim.k2Jd8a/can.sock
    ...
    >>> QuorvelMotorController("/dev/pts/4", can_bus="unix:/tmp/torso_sim.k2Jd8a/can.sock")

Options set the supply voltage, silence servos or neck motors, choose the neck
dynamics and show the joints live (--watch). The paths change every run;
`--link DIR` keeps names that do not: DIR/serial (the serial port) and
DIR/can (the CAN bus, `unix:DIR/can`), symbolic links removed on stop.
"""

from __future__ import annotations

import argparse
import signal
import sys
import time
from typing import Optional, Sequence

SERVO_NAMES = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
               "nose_top", "nose_left", "nose_right")
NECK_NAMES = ("neck_yaw", "neck_pitch", "neck_roll")


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quorvel-torso-sim",
        description="Run a virtual Quorvel torso: 7 servos on a pseudo-terminal, 3 neck motors on a "
                    "virtual CAN bus. Runs until Ctrl-C.")
    p.add_argument("--watch", nargs="?", type=float, const=0.5, default=None, metavar="SECONDS",
                   help="print the joint states every SECONDS (default 0.5)")
    p.add_argument("--voltage", type=int, default=None, metavar="TENTHS",
                   help="servo supply voltage in tenths of a volt (default 120)")
    p.add_argument("--voltage-ramp", type=float, default=None, metavar="SECONDS",
                   help="let the supply voltage rise from 0 over SECONDS")
    p.add_argument("--neck-positions", type=float, nargs=3, default=None, metavar=("YAW", "PITCH", "ROLL"),
                   help="start positions of the neck motors in rad (multi-turn allowed)")
    p.add_argument("--neck-ctrl-mode", type=int, default=1, metavar="MODE",
                   help="CTRL_MODE the neck motors power up in (default 1 = MIT)")
    p.add_argument("--spring-damper", action="store_true",
                   help="neck follows MIT commands through a spring-damper instead of at once")
    p.add_argument("--servo-speed", type=float, default=0.0, metavar="RAD_PER_S",
                   help="how fast servos travel to their goals (default 0 = at once)")
    p.add_argument("--silent-servo", type=int, action="append", default=[], metavar="ID",
                   help="servo id 1-7 that does not answer (repeatable)")
    p.add_argument("--wire", action="store_true",
                   help="keep wire time: 10 us per serial byte at 1 Mbaud, CAN frames at 1 Mbit/s one at a time, "
                        "servo and motor response latencies (default: every answer is instant)")
    p.add_argument("--usb-latency-ms", type=float, default=0.0, metavar="MS",
                   help="with --wire: the USB adapter hands replies to the host on a timer of MS milliseconds, "
                        "as an FTDI chip's latency timer does (default 0 = at once)")
    p.add_argument("--silent-neck", type=int, action="append", default=[], metavar="INDEX",
                   help="neck motor 0-2 (yaw, pitch, roll) that does not answer (repeatable)")
    p.add_argument("--link", metavar="DIR", default=None,
                   help="keep stable names for the buses: DIR/serial links to the serial port and DIR/can to "
                        "the CAN bus socket (pass unix:DIR/can as the CAN bus); created if missing, replaced if "
                        "left by an earlier run, removed on stop")
    return p


def _state_line(sim) -> str:
    servos = " ".join(f"{sim.servo_position(i + 1):+.3f}{'*' if sim.servo_torque(i + 1) else ' '}"
                      for i in range(len(SERVO_NAMES)))
    neck = " ".join(f"{s.position:+.3f}{'*' if s.enabled else ' '}"
                    for s in (sim.neck_state(i) for i in range(len(NECK_NAMES))))
    volts = sim.servo_register(1, 62) / 10
    return f"servos {servos} | neck {neck} | {volts:.1f} V"


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parser().parse_args(argv)
    try:
        from quorvel_torso_sim import TorsoSim
    except ImportError as e:  # pragma: no cover - only without the native module
        print(f"quorvel-torso-sim: the simulator module is not installed ({e})", file=sys.stderr)
        return 1

    # Ctrl-C and SIGTERM end the run by raising KeyboardInterrupt. SIGINT is set
    # explicitly: a shell starts background jobs with it ignored, and the
    # interpreter then keeps it ignored, which would leave no way to stop but SIGKILL.
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, signal.default_int_handler)

    try:
        sim = TorsoSim(neck_ctrl_mode=args.neck_ctrl_mode, neck_positions=args.neck_positions,
                       wire=args.wire, usb_latency_ms=args.usb_latency_ms, link=args.link)
    except (OSError, ValueError, OverflowError) as e:
        print(f"quorvel-torso-sim: {e}", file=sys.stderr)
        return 1
    with sim:
        try:
            return_code = _run(sim, args)
        except KeyboardInterrupt:  # at any point once the handlers are in place
            return_code = 0
    if return_code == 0:
        print("stopped")
    return return_code


def _run(sim, args) -> int:
    """Applies the options, announces the simulator and serves until interrupted."""
    try:
        if args.voltage is not None:
            sim.set_voltage(args.voltage)
        if args.voltage_ramp is not None:
            sim.set_voltage_ramp(0, args.voltage if args.voltage is not None else 120, args.voltage_ramp)
        for servo_id in args.silent_servo:
            sim.set_servo_silent(servo_id, True)
        for index in args.silent_neck:
            sim.set_neck_silent(index, True)
        sim.set_neck_dynamics(args.spring_damper)
        sim.set_servo_speed(args.servo_speed)
    except (ValueError, OverflowError, IndexError) as e:
        print(f"quorvel-torso-sim: {e}", file=sys.stderr)
        return 2

    print("quorvel torso simulator running" + (" with wire time" if args.wire else ""))
    serial, can = sim.serial_link or sim.serial_path, sim.can_bus_link or sim.can_bus
    print(f"serial port: {serial}" + (f" -> {sim.serial_path}" if sim.serial_link else ""))
    print(f"CAN bus:     {can}" + (f" -> {sim.can_bus[len('unix:'):]}" if sim.can_bus_link else ""))
    print()
    print(f'    QuorvelMotorController("{serial}", can_bus="{can}")')
    print()
    print("Press Ctrl-C to stop.", flush=True)
    if args.watch is not None:
        print("joints: " + " ".join(SERVO_NAMES) + " | " + " ".join(NECK_NAMES) + "  (* = torque on)")
    period = args.watch if args.watch and args.watch > 0 else None
    shown = None
    while True:
        if period is not None:
            line = _state_line(sim)
            if line != shown:  # only changes
                print(line, flush=True)
                shown = line
        time.sleep(period if period is not None else 3600.0)


if __name__ == "__main__":
    sys.exit(main())
