"""Positions given as NumPy arrays (and tuples), typed: CI checks it with
`mypy --strict` against the installed wheel, and the Python tests run it on
the simulated torso when NumPy is installed. The module itself does not
depend on NumPy: any sized indexable of numbers is a position."""

from datetime import timedelta

import numpy as np
import numpy.typing as npt

from quorvel_motor_controller import QuorvelMotorController, QuorvelPyControlLoop, QuorvelTorsoPosition
from quorvel_torso_sim import TorsoSim


def arms_pose(pitch: float) -> npt.NDArray[np.float64]:
    return np.array([pitch, 0.0, -pitch, 0.0])


def main() -> None:
    with TorsoSim() as sim:
        with QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus) as torso:
            present = np.asarray(torso.read_all_positions())
            torso.set_all_goal_positions(present)
            torso.set_arms_position(arms_pose(0.2))
            torso.set_nose_position(np.zeros(3, dtype=np.float32))
            observed = torso.set_neck_position(np.linspace(0.0, 0.1, 3))
            torso.set_neck_yaw_position(np.float64(0.05))
            assert len(observed) == 3

        goal = QuorvelTorsoPosition(np.array([0.1, 0.2]), (0.3, 0.4), np.zeros(3), [0.0, 0.1, 0.0])
        with QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus) as loop:
            loop.set_all_goal_positions(goal)
            loop.set_arms_position(arms_pose(0.1))
            loop.set_neck_position(np.array([0.0, 0.2, 0.0]))
    print("numpy positions: ok")


if __name__ == "__main__":
    main()
