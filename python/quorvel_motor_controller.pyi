"""Drives the Quorvel robot torso's servos and neck motors."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

__all__ = [
    "QuorvelTorsoPosition",
    "ControlLoopStats",
]

_Float = SupportsFloat | SupportsIndex

@final
class QuorvelTorsoPosition:
    """One reading of the ten joint positions in rad, with its wall-clock time stamp."""

    def __new__(
        cls,
        left_arm: Sequence[_Float],
        right_arm: Sequence[_Float],
        nose: Sequence[_Float],
        neck: Sequence[_Float],
    ) -> QuorvelTorsoPosition: ...
    @property
    def left_arm(self) -> list[float]: ...
    @property
    def right_arm(self) -> list[float]: ...
    @property
    def nose(self) -> list[float]: ...
    @property
    def neck(self) -> list[float]:
        """Neck joint positions in rad: [yaw, pitch, roll]."""
    @property
    def timestamp(self) -> float: ...

@final
class ControlLoopStats:
    """Timing samples of a control loop, in seconds (from QuorvelPyControlLoop.get_stats)."""

    @property
    def period(self) -> list[float]: ...
    @property
    def read_dt(self) -> list[float]: ...
    @property
    def write_dt(self) -> list[float]: ...
