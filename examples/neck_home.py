"""Home the neck to its nearest physical zero, then nod it a little.

    python examples/neck_home.py                       # simulated neck
    python examples/neck_home.py --can can0 --yes      # real neck motors (neck only, no serial port)

neck_home() snaps each joint to the multiple of 2 pi nearest to where it is,
so a multi-turn reading after a power cycle never makes the head spin a turn.
The neck is switched off at the end (the head goes limp).
"""

import argparse
import contextlib
import math
import time

from quorvel_motor_controller import QuorvelMotorController


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--can", help="CAN interface of the neck (default: start the simulated torso)")
    parser.add_argument("--yes", action="store_true", help="move real hardware without asking")
    parser.add_argument("--duration", type=float, default=2.0, help="seconds of nodding after homing")
    parser.add_argument("--speed", type=float, default=None, help="homing speed in rad/s")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.can is None:
            from quorvel_torso_sim import TorsoSim
            sim = stack.enter_context(TorsoSim(neck_positions=[0.4, 0.3, -0.35]))
            args.can, speed = sim.can_bus, args.speed or 2.0
        else:
            if not args.yes and input(f"Move the neck on {args.can}? [y/N] ").strip().lower() != "y":
                return
            speed = args.speed or 0.4

        neck = stack.enter_context(QuorvelMotorController(None, can_bus=args.can))   # neck-only controller
        print("neck before homing (rad):", [round(p, 3) for p in neck.read_neck_positions()])
        homed = neck.neck_home(speed=speed, tolerance=0.05)     # enables the neck, leaves it on
        print("neck homed at (rad):     ", [round(p, 3) for p in homed])
        turns = [round(p / (2 * math.pi)) for p in homed]
        if any(turns):
            # Positions within the limits would now be a whole turn away.
            print("the zero is", turns, "turns from 0 rad: power-cycle the neck motors before moving it")
        else:
            observed, start = homed, time.monotonic()
            while (t := time.monotonic() - start) < args.duration:
                pitch = 0.15 * (1 - math.cos(2 * math.pi * 0.5 * t))   # 0 .. 0.3 rad, inside 0 .. 0.45
                observed = neck.set_neck_position([0.0, pitch, 0.0])   # returns what the motors report
                time.sleep(0.02)
            print("last observed (rad):     ", [round(p, 3) for p in observed])
            neck.set_neck_position([0.0, 0.0, 0.0])
        neck.enable_neck(False)
        print("neck off")


if __name__ == "__main__":
    main()
