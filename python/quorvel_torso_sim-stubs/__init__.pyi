"""The virtual Quorvel torso for tests and for working without hardware."""

import builtins
from os import PathLike
from types import TracebackType
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex, final

from _typeshed import ReadableBuffer, structseq

class _FloatSequence(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

@final
class SerialLogEntry(structseq[Any], tuple[float, builtins.bytes, bool]):
    """One packet (or unparsed chunk) the host sent on the serial line."""

    __match_args__: Final = ("time", "bytes", "parsed")
    @property
    def time(self) -> float:
        """CLOCK_MONOTONIC seconds (comparable with time.monotonic())"""
    @property
    def bytes(self) -> builtins.bytes:
        """the bytes received, as bytes"""
    @property
    def parsed(self) -> bool:
        """True for a whole instruction packet, False for a chunk that did not parse"""

@final
class CanLogEntry(structseq[Any], tuple[float, int, bool, bool, bytes]):
    """One CAN frame a node sent on the virtual bus."""

    __match_args__: Final = ("time", "id", "extended", "fd", "data")
    @property
    def time(self) -> float:
        """CLOCK_MONOTONIC seconds (comparable with time.monotonic())"""
    @property
    def id(self) -> int:
        """identifier value (11 or 29 bits, flags stripped)"""
    @property
    def extended(self) -> bool:
        """True for a 29-bit identifier"""
    @property
    def fd(self) -> bool:
        """True for a CAN FD frame"""
    @property
    def data(self) -> bytes:
        """payload as bytes"""

@final
class NeckMotorState(structseq[Any], tuple[bool, int, float, float, float, float, float]):
    """What a neck motor is doing, seen from inside the motor."""

    __match_args__: Final = ("enabled", "ctrl_mode", "position", "velocity", "commanded_position", "kp", "kd")
    @property
    def enabled(self) -> bool:
        """motor enabled"""
    @property
    def ctrl_mode(self) -> int:
        """CTRL_MODE register (1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS)"""
    @property
    def position(self) -> float:
        """rad, multi-turn"""
    @property
    def velocity(self) -> float:
        """rad/s"""
    @property
    def commanded_position(self) -> float:
        """last position set-point received, rad"""
    @property
    def kp(self) -> float:
        """stiffness of the last MIT frame"""
    @property
    def kd(self) -> float:
        """damping of the last MIT frame"""

@final
class ServoGoalEntry(structseq[Any], tuple[float, float, int]):
    """One goal position a servo took from a write or sync write."""

    __match_args__: Final = ("time", "goal", "steps")
    @property
    def time(self) -> float:
        """CLOCK_MONOTONIC seconds the servo took the goal (the time of the packet's SerialLogEntry)"""
    @property
    def goal(self) -> float:
        """goal position in rad, as servo_goal() reports it"""
    @property
    def steps(self) -> int:
        """goal register as the servo reads it, 2048 = 0 rad, 4096 per turn"""

@final
class NeckCommandEntry(structseq[Any], tuple[float, float, float, float, float, float]):
    """One MIT command a neck motor acted on, as the motor decoded it."""

    __match_args__: Final = ("time", "position", "velocity", "kp", "kd", "torque")
    @property
    def time(self) -> float:
        """CLOCK_MONOTONIC seconds the motor took the command"""
    @property
    def position(self) -> float:
        """position set point, rad"""
    @property
    def velocity(self) -> float:
        """velocity set point, rad/s"""
    @property
    def kp(self) -> float:
        """stiffness"""
    @property
    def kd(self) -> float:
        """damping"""
    @property
    def torque(self) -> float:
        """feed-forward torque, N m"""

@final
class TorsoSim:
    """A virtual Quorvel torso: seven Feetech servos (ids 1-4 SM40BL, 5-7 STS3025BL) behind a
    pseudo-terminal at `serial_path`, and three Damiao neck motors (CAN ids 1-3) on the virtual
    CAN bus `can_bus`. Starts at once; use as a context manager or call close()."""

    def __new__(
        cls,
        neck_ctrl_mode: SupportsIndex = 1,
        neck_positions: _FloatSequence | None = None,
        reboot_silence: float = 0.02,
        *,
        wire: bool = False,
        usb_latency_ms: float = 0.0,
        servo_latency_us: float = 20.0,
        can_turnaround_us: float = 50.0,
        link: str | PathLike[str] | None = None,
    ) -> TorsoSim:
        """`wire=True`: serial bytes and CAN frames take their time on the wire (1 Mbaud,
        1 Mbit/s), servos answer `servo_latency_us` plus their return delay after a packet,
        motors `can_turnaround_us` after a frame; `usb_latency_ms` releases serial replies on a
        USB adapter's latency timer (in packets of up to 62 bytes; a full packet goes at once and
        restarts the timer). Default: every answer at once.

        `link=DIR`: DIR/serial links to the pseudo-terminal and DIR/can to the bus socket while
        the simulator runs (names that stay the same across runs); close() removes them."""
    @property
    def serial_path(self) -> str:
        """Path of the serial port to open (the pty's slave side)."""
    @property
    def can_bus(self) -> str:
        """CAN bus name to pass to the controller: "unix:<path>"."""
    @property
    def serial_link(self) -> str | None:
        """With link=DIR: "DIR/serial", a symbolic link to `serial_path`; else None."""
    @property
    def can_bus_link(self) -> str | None:
        """With link=DIR: "unix:DIR/can", the bus through a symbolic link to its socket; else None."""
    @property
    def closed(self) -> bool:
        """True once close() has run."""
    def close(self, /) -> None: ...
    def __enter__(self) -> TorsoSim: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    # ---- Servos (ids 1-7) ----
    def set_servo_silent(self, id: int, silent: bool, /) -> None: ...
    def set_servo_position(self, id: int, radians: float, /) -> None: ...
    def servo_position(self, id: int, /) -> float: ...
    def servo_goal(self, id: int, /) -> float: ...
    def servo_torque(self, id: int, /) -> bool: ...
    def set_servo_torque(self, id: int, on: bool, /) -> None: ...
    def servo_offset(self, id: int, /) -> float: ...
    def set_servo_offset(self, id: int, radians: float, /) -> None: ...
    def servo_register(self, id: int, address: int, /) -> int: ...
    def set_servo_register(self, id: int, address: int, value: int, /) -> None: ...
    def set_voltage(self, tenths_of_volt: int, /) -> None: ...
    def set_voltage_ramp(self, start: int, end: int, over: float, /) -> None: ...
    def set_servo_speed(self, radians_per_second: float, /) -> None: ...
    def set_reboot_silence(self, seconds: float, /) -> None: ...
    def servo_reboot_count(self, id: int, /) -> int: ...
    def set_corrupt_checksum(self, id: int, corrupt: bool, /) -> None: ...
    def set_reply_id_override(self, id: int, reply_as: int | None, /) -> None: ...
    def set_garbage_before_reply(self, id: int, n_bytes: SupportsIndex, /) -> None: ...
    def set_reply_delay(self, seconds: float, /) -> None: ...
    def set_servo_reply_delay(self, id: int, seconds: float, /) -> None: ...
    # ---- Neck motors (index 0-2 = CAN id 1-3) ----
    def set_neck_silent(self, index: int, silent: bool, /) -> None: ...
    def set_neck_position(self, index: int, radians: float, /) -> None: ...
    def neck_position(self, index: int, /) -> float: ...
    def neck_state(self, index: int, /) -> NeckMotorState: ...
    def set_neck_ctrl_mode(self, index: int, mode: int, /) -> None: ...
    def neck_register(self, index: int, reg: int, /) -> int: ...
    def set_neck_dynamics(self, spring_damper: bool, /) -> None: ...
    def set_mode_write_sticks(self, sticks: bool, /) -> None: ...
    def set_neck_reply_delay(self, seconds: float, /) -> None: ...
    def set_neck_motor_reply_delay(self, index: int, seconds: float, /) -> None: ...
    def set_neck_answered_by(self, index: int, by: int | None, /) -> None: ...
    def set_neck_register_reply_as(self, index: int, reg: int | None, /) -> None: ...
    def send_can_frame(self, id: int, data: ReadableBuffer, extended: object = False, fd: object = False) -> None: ...
    # ---- Faults and traffic logs ----
    # ---- health faults ----
    def set_servo_temperature(self, id: int, celsius: int, /) -> None: ...
    def set_servo_fault_bits(self, id: int, bits: int, /) -> None: ...
    def set_neck_temperatures(self, index: int, mos: int, rotor: int, /) -> None: ...
    def set_neck_supply_voltage(self, volts: float, /) -> None: ...
    def set_neck_fault(self, index: int, code: int, /) -> None: ...
    def neck_state_code(self, index: int, /) -> int: ...
    def reset_faults(self, /) -> None: ...
    def serial_log(self, /) -> list[SerialLogEntry]: ...
    def can_log(self, /) -> list[CanLogEntry]: ...
    def clear_logs(self, /) -> None: ...
    # ---- Set point histories ----
    def servo_goal_history(self, id: int, /) -> list[ServoGoalEntry]: ...
    def neck_command_history(self, index: int, /) -> list[NeckCommandEntry]: ...
    def clear_set_point_history(self, /) -> None: ...
