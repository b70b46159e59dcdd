"""Read every joint of the torso a few times a second with the direct controller.

    python examples/read_positions.py                                  # simulated torso
    python examples/read_positions.py --serial /dev/ttyUSB0 --can can0 # real hardware

Reads only: nothing moves and torque is left as it is.
"""

import argparse
import contextlib
import time

from quorvel_motor_controller import NECK_JOINTS, SERVO_JOINTS, QuorvelMotorController


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serial", help="servo bus port (default: start the simulated torso)")
    parser.add_argument("--can", default="can0", help="CAN interface of the neck (default can0)")
    parser.add_argument("--duration", type=float, default=3.0, help="seconds to keep reading")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.serial is None:
            from quorvel_torso_sim import TorsoSim
            sim = stack.enter_context(TorsoSim(neck_positions=[0.1, 0.2, -0.1]))
            sim.set_servo_position(1, 0.25)   # give the left arm a pose worth reading
            args.serial, args.can = sim.serial_path, sim.can_bus

        torso = stack.enter_context(QuorvelMotorController(args.serial, can_bus=args.can))
        print("torque on all servos:", torso.is_torque_enabled())
        print("neck limits (rad):", torso.neck_position_limits())
        end = time.monotonic() + args.duration
        while True:
            servos = torso.read_all_positions()      # 7 values, radians
            neck = torso.read_neck_positions()       # yaw, pitch, roll
            print("  ".join(f"{n}={p:+.3f}" for n, p in zip(SERVO_JOINTS + NECK_JOINTS, servos + neck)))
            if time.monotonic() >= end:
                break
            time.sleep(0.5)


if __name__ == "__main__":
    main()
