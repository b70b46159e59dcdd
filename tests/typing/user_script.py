"""A user's program, typed: CI checks it with `mypy --strict` against the
installed wheel (the stubs come from the stub-only packages), and the Python
tests run it on the simulated torso.

The `type: ignore` comments mark calls the stub must refuse; `--strict`
includes --warn-unused-ignores, so a stub that accepted them would fail.
"""

import copy
import pickle
from datetime import timedelta

from quorvel_motor_controller import (
    NECK_JOINTS,
    SERVO_IDS,
    SERVO_JOINTS,
    ControlLoopStats,
    QuorvelMotorController,
    QuorvelPyControlLoop,
    QuorvelTorsoPosition,
    __version__,
)
from quorvel_torso_sim import CanLogEntry, TorsoSim


def read_torso(torso: QuorvelMotorController) -> dict[str, float]:
    servos: list[float] = torso.read_all_positions()
    neck: list[float] = torso.read_neck_positions()
    return dict(zip(SERVO_JOINTS + NECK_JOINTS, servos + neck))


def refused_by_the_stub(torso: QuorvelMotorController, loop: QuorvelPyControlLoop) -> None:
    """Type-checked, never run: each call raises TypeError at run time."""
    torso.set_left_arm_position("ab")  # type: ignore[arg-type]
    loop.set_all_goal_positions([0.0] * 7)  # type: ignore[arg-type]


def drive(sim: TorsoSim) -> None:
    with QuorvelMotorController(sim.serial_path, can_bus=sim.can_bus) as torso:
        reading = read_torso(torso)
        assert list(reading) == [*SERVO_JOINTS, *NECK_JOINTS]
        torso.set_left_arm_position((0.1, -0.1))
        observed: list[float] = torso.set_neck_position([0.0, 0.1, 0.0])
        limits: list[tuple[float, float]] = torso.neck_position_limits()
        assert len(observed) == len(limits) == 3
        torso.enable_torque_on_ids([SERVO_IDS["nose_top"]])
    torso.close()

    try:
        QuorvelMotorController("/dev/quorvel-no-such-port", can_bus=sim.can_bus)
    except RuntimeError as error:
        cause = error.__cause__
        assert isinstance(cause, OSError) and cause.filename == "/dev/quorvel-no-such-port"

    with QuorvelPyControlLoop(sim.serial_path, timedelta(milliseconds=10), can_bus=sim.can_bus,
                              stats_pub_period=timedelta(milliseconds=20)) as loop:
        names: dict[str, int] = loop.get_motor_name_id()
        assert names == SERVO_IDS
        position: QuorvelTorsoPosition = loop.get_last_position()
        loop.set_all_goal_positions(position)
        gains: tuple[int, int, int] = loop.async_read_pid_gains(1)
        assert len(gains) == 3
        stats: ControlLoopStats | None = loop.get_stats()

    as_dict: dict[str, float] = position.as_dict()
    assert as_dict["timestamp"] == position.timestamp
    same: QuorvelTorsoPosition = pickle.loads(pickle.dumps(position))
    assert same == position and copy.deepcopy(position) == position
    if stats is not None:
        assert pickle.loads(pickle.dumps(stats)) == stats
    frames: list[CanLogEntry] = sim.can_log()
    assert all(isinstance(frame.data, bytes) for frame in frames)


def main() -> None:
    assert isinstance(__version__, str)
    with TorsoSim() as sim:
        drive(sim)
    print("typed user script: ok")


if __name__ == "__main__":
    main()
