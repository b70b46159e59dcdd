"""Wave both arms under the control loop and print what the loop measured.

    python examples/control_loop_wave.py                                  # simulated torso
    python examples/control_loop_wave.py --serial /dev/ttyUSB0 --can can0 # real hardware

The control loop owns both buses on a thread of its own: set_* calls only
queue a command and return at once, get_last_position() returns the latest
periodic reading without any bus traffic. Servo torque is switched off at
the end (the arms go limp).
"""

import argparse
import contextlib
import math
import time
from datetime import timedelta

from quorvel_motor_controller import QuorvelPyControlLoop


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="servo bus port (default: start the simulated torso)")
    parser.add_argument("--can", default="can0", help="CAN interface of the neck (default can0)")
    parser.add_argument("--duration", type=float, default=4.0, help="seconds of waving")
    parser.add_argument("--yes", action="store_true", help="move real hardware without asking")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.serial is None:
            from quorvel_torso_sim import TorsoSim
            sim = stack.enter_context(TorsoSim())
            sim.set_servo_speed(2.0)   # servos need time to get there, like real ones
            args.serial, args.can = sim.serial_path, sim.can_bus
        elif not args.yes and input(f"Move the arms on {args.serial}? [y/N] ").strip().lower() != "y":
            return

        # Closed on leaving the block, before the simulator stops.
        loop = stack.enter_context(QuorvelPyControlLoop(args.serial, timedelta(milliseconds=10), can_bus=args.can,
                                                        stats_pub_period=timedelta(milliseconds=200)))
        print("motors:", loop.get_motor_name_id())   # name -> servo id, in servo order

        loop.set_all_goal_positions(loop.get_last_position())   # hold the present pose
        loop.enable_torque()
        start = time.monotonic()
        while (t := time.monotonic() - start) < args.duration:
            fade = min(1.0, t, args.duration - t)                 # ease in and out
            wave = 0.4 * fade * math.sin(2 * math.pi * 0.5 * t)
            loop.set_arms_position([wave, 0.0, -wave, 0.0])       # left/right pitch, yaw
            time.sleep(0.02)
        loop.set_arms_position([0.0, 0.0, 0.0, 0.0])
        time.sleep(0.3)
        print("last reading:", loop.get_last_position())
        loop.disable_torque()
        loop.close()   # executes the queued commands, then stops the loop thread
        stats = loop.get_stats()   # None only when stats_pub_period is None
        print(stats)
        if stats is not None and stats.period:
            print(f"{len(stats.period)} ticks, worst period {max(stats.period) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
