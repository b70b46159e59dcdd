"""Drives the Quorvel robot torso's servos and neck motors."""

from collections.abc import Mapping, Sequence
from datetime import timedelta
from os import PathLike
from types import TracebackType
from typing import Any, ClassVar, Final, Protocol, SupportsFloat, SupportsIndex, final

__all__ = [
    "QuorvelMotorController",
    "QuorvelPyControlLoop",
    "QuorvelTorsoPosition",
    "ControlLoopStats",
]

_Float = SupportsFloat | SupportsIndex

class _FloatSequence(Protocol):
    """Positions: a list, a tuple, a NumPy array, any sized indexable of numbers."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _Float: ...

# ---- Joint names and ids (module attributes, not in __all__) ----

__version__: Final[str]
# The seven servo joints in the order of every seven-value servo list.
SERVO_JOINTS: Final[tuple[str, str, str, str, str, str, str]]
# The three neck joints: yaw, pitch, roll.
NECK_JOINTS: Final[tuple[str, str, str]]
# Servo joint name -> servo id, in SERVO_JOINTS order.
SERVO_IDS: Final[dict[str, int]]

@final
class QuorvelMotorController:
    """Direct, synchronous access to the torso's servos (serial bus) and neck motors (CAN).

    Every method runs its bus transactions before returning and raises
    RuntimeError with the bus or controller error's text on failure.
    Other Python threads keep running while a call waits on the buses.
    """

    # `single_sync_read=True` reads the seven servo positions in one sync read
    # of ids 1-7 (one serial round trip) instead of one per servo model: same
    # values, errors and texts; worth it behind a USB adapter, whose latency
    # timer every round trip waits for.
    def __new__(
        cls, serialport: str | None = None, can_bus: str = ..., *, single_sync_read: bool = False
    ) -> QuorvelMotorController:
        """Create a new motor controller for the given serial port and CAN bus.

        # Arguments
        * `serialport` - Path to (Unix) or COM ID (Windows) of the serial port.
          Pass `None` to build a neck-only (CAN) controller; arm/nose methods
          will then raise an exception.
        * `can_bus` - SocketCAN interface name for the neck Damiao motors (default `"can0"`).
        """
    def is_torque_enabled(self) -> bool:
        """Is torque enabled on all motors"""
    def enable_torque(self) -> None:
        """Enable torque on all motors."""
    def enable_torque_on_ids(self, ids: Sequence[SupportsIndex] | bytes) -> None:
        """Enable torque on ids"""
    def disable_torque(self) -> None:
        """Disable torque on all motors."""
    def disable_torque_on_ids(self, ids: Sequence[SupportsIndex] | bytes) -> None:
        """Disable torque on ids"""
    def read_all_positions(self) -> list[float]:
        """Read all motor positions as a 7-element array.
        Order: [left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right]"""
    def set_all_goal_positions(self, positions: _FloatSequence) -> None:
        """Set goal positions for all motors (7 values).

        # Arguments
        * `positions` - Array of 7 goal positions
          (left_arm_pitch, left_arm_yaw, right_arm_pitch, right_arm_yaw, nose_top, nose_left, nose_right)."""
    def set_left_arm_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""
    def set_right_arm_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""
    def set_arms_position(self, position: _FloatSequence) -> None:
        """Set goal positions for both arms (4 values: left pitch, left yaw, right pitch, right yaw)."""
    def set_nose_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the nose (3 values)."""
    def set_neck_position(self, position: _FloatSequence) -> list[float]:
        """Set goal positions for the neck (3 values: yaw, pitch, roll). Returns
        the observed positions reported by the motor replies."""
    def set_neck_yaw_position(self, position: _Float) -> float: ...
    def set_neck_pitch_position(self, position: _Float) -> float: ...
    def set_neck_roll_position(self, position: _Float) -> float: ...
    def neck_position_limits(self) -> list[tuple[float, float]]:
        """Hard safety bounds (lower, upper) in rad for each neck joint.
        Order: [yaw, pitch, roll]. Every neck setter clamps to these bounds
        before commanding the motor."""
    def read_neck_positions(self) -> list[float]:
        """Read the current neck positions (yaw, pitch, roll) via a Damiao
        feedback request."""
    def set_neck_gains(self, index: SupportsIndex, kp: _Float, kd: _Float) -> None:
        """Override the MIT impedance gains (kp, kd) for a single neck joint.
        `index`: 0=yaw, 1=pitch, 2=roll."""
    def neck_home(
        self,
        speed: _Float = 0.4,
        tolerance: _Float = 0.15,
        kp: _Float | None = None,
        kd: _Float | None = None,
    ) -> list[float]:
        """Home the 3 neck joints to the nearest physical zero.

        Snaps each goal to the nearest multiple of 2π of the joint's current
        reported position — after a power cycle the Damiao multi-turn counter
        resets, so commanding "go to 0" naively could spin the head a full
        turn. Rounding keeps travel within ±π and lands at a physically
        equivalent zero.

        Enables neck torque if it isn't already (does **not** disable on
        exit — caller owns torque lifecycle). Ramps at `speed` rad/s on a
        10 ms cycle and returns the observed positions once every joint is
        within `tolerance` rad of its goal. Raises on timeout.

        `kp` / `kd`: optional overrides applied to all three joints for the
        duration of homing (and left in place afterwards). `None` keeps the
        per-joint defaults baked into the controller."""
    def enable_neck(self, enable: bool) -> None:
        """Enable or disable the neck motors. On enable, also forces each motor
        into MIT control mode."""
    def is_neck_torque_enabled(self) -> bool:
        """Last commanded torque-enable state for the neck (in-memory; the
        Damiao firmware does not expose a readable enable register)."""
    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""
    def set_arm_home(self, verify_tol: _Float = 0.05) -> list[float]:
        """Make the current physical arm pose the new "radian zero" by rewriting
        each Feetech arm motor's Position Offset EEPROM register (0x1F).
        Persistent across power cycles.

        Disables arm torque, reads the current present_position + offset for
        every arm motor, computes a new offset equal to the recovered absolute
        encoder position (so future `present_position` reads of this pose come
        back as 0 rad and `goal_position = 0` writes leave the arm where it
        sits now), unlocks EEPROM, writes the offset, re-locks, and verifies
        by reading present_position back. Caller owns torque lifecycle — arms
        are left **torque-off** on exit.

        Returns the observed post-write `present_position` (rad) for the four
        joints: `[left_pitch, left_yaw, right_pitch, right_yaw]`. Raises
        `RuntimeError` when verification fails (within `verify_tol` rad of 0)
        or any bus call errors."""
    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""
    def write_raw_packet(self, data: bytes) -> None:
        """Write raw packet data to the serial port.

        # Arguments
        * `data` - Byte array of raw packet data to send."""
    # ---- Lifecycle ----
    def close(self) -> None:
        """Release both buses at once (the serial port can then be opened again).
        Waits for a call in progress on another thread. Idempotent; afterwards
        every method raises RuntimeError "controller is closed"."""
    def __enter__(self) -> QuorvelMotorController:
        """Return self."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Close the controller."""
    # ---- health readings (begin) ----
    def read_servo_status(self) -> list[ServoStatus]:
        """Status of the seven servos (servo order), two sync reads."""
    def read_neck_status(self) -> list[NeckStatus]:
        """Status of the three neck motors (yaw, pitch, roll), one feedback request each."""
    def probe_servo(self, id: SupportsIndex) -> tuple[int, ServoStatus]:
        """One servo (id 1-7) on its own: (model_number, ServoStatus). Reads only."""
    def probe_neck_motor(self, index: SupportsIndex) -> tuple[int, NeckStatus]:
        """One neck motor (0=yaw, 1=pitch, 2=roll) on its own: (control_mode, NeckStatus)."""
    # ---- health readings (end) ----

@final
class QuorvelPyControlLoop:
    """A background thread that owns the torso: it reads every joint periodically
    (with retries), publishes the last reading, the torque state and timing
    statistics, and executes the commands queued by the methods below.

    Commands return as soon as they are queued (RuntimeError "channel closed"
    once the loop has been closed); their outcome is not reported. Raw reads
    and raw packets wait for the loop's answer. Other Python threads keep
    running while a call waits on the loop.
    """

    def __new__(
        cls,
        serialport: str | None,
        read_position_loop_period: timedelta,
        can_bus: str = ...,
        allowed_retries: SupportsIndex = 5,
        stats_pub_period: timedelta | None = None,
        voltage_rampup_timeout: timedelta = ...,
        realtime_priority: int | None = None,
        *,
        single_sync_read: bool = False,
        record: str | PathLike[str] | None = None,
    ) -> QuorvelPyControlLoop:
        """`realtime_priority` (1-99): the loop thread runs under SCHED_FIFO at
        that priority, ahead of every ordinary thread. If the system refuses,
        raises PermissionError naming the priority and how to allow it (an
        rtprio limit in /etc/security/limits.conf, or CAP_SYS_NICE); a value
        outside 1-99 raises ValueError. None (default): ordinary scheduling.

        `single_sync_read=True`: every reading of the seven servos (each tick's
        and the first) is one sync read of ids 1-7, one serial round trip
        instead of two; values, errors, texts and retries stay the same. Behind
        a USB adapter each round trip waits for its latency timer, so this
        halves the serial part of a tick; the loop also moves its schedule by
        up to a quarter period so that each reading ends just before the
        adapter's timer expires (same period, no tick added or dropped).
        False (default): arms, then nose.

        `record=PATH`: records the run to an MCAP file as start_recording(PATH)
        does, from the first tick after start-up.
        """
    def close(self) -> None:
        """Close the control loop and release resources."""
    def get_motor_name_id(self) -> dict[str, int]:
        """Get the id/name motors used in this controller."""
    def get_last_position(self) -> QuorvelTorsoPosition:
        """Get the last successfully read motor positions."""
    def set_all_goal_positions(self, positions: QuorvelTorsoPosition) -> None:
        """Set goal positions for all motors."""
    def set_left_arm_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the left arm (2 values: pitch, yaw)."""
    def set_right_arm_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the right arm (2 values: pitch, yaw)."""
    def set_arms_position(self, position: _FloatSequence) -> None:
        """Set goal positions for both arms (4 values)."""
    def set_nose_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the nose (3 values)."""
    def set_neck_position(self, position: _FloatSequence) -> None:
        """Set goal positions for the neck (3 values: yaw, pitch, roll)."""
    def set_neck_yaw_position(self, position: _Float) -> None: ...
    def set_neck_pitch_position(self, position: _Float) -> None: ...
    def set_neck_roll_position(self, position: _Float) -> None: ...
    def enable_neck(self, enable: bool) -> None:
        """Enable or disable the neck motors."""
    def is_torque_enabled(self) -> bool:
        """Check torque enabled status."""
    def enable_torque(self) -> None:
        """Enable torque on all motors."""
    def enable_torque_on_ids(self, ids: Sequence[SupportsIndex] | bytes) -> None:
        """Enable torque on ids."""
    def disable_torque(self) -> None:
        """Disable torque on all motors."""
    def disable_torque_on_ids(self, ids: Sequence[SupportsIndex] | bytes) -> None:
        """Disable torque on ids."""
    def enable_arms(self, enable: bool) -> None:
        """Enable or disable the arm motors."""
    def enable_nose(self, enable: bool) -> None:
        """Enable or disable the nose motors."""
    def get_stats(self) -> ControlLoopStats | None:
        """Get the latest control loop statistics, if available."""
    def async_read_raw_bytes(self, id: SupportsIndex, addr: SupportsIndex, length: SupportsIndex) -> bytes:
        """Perform an asynchronous raw read of motor bytes."""
    def async_write_raw_bytes(
        self, id: SupportsIndex, addr: SupportsIndex, data: Sequence[SupportsIndex] | bytes
    ) -> None:
        """Perform an asynchronous raw write of motor bytes."""
    def async_read_pid_gains(self, id: SupportsIndex) -> tuple[int, int, int]:
        """Read PID gains for a given motor id. Returns (P, I, D)."""
    def async_write_pid_gains(
        self, id: SupportsIndex, p: SupportsIndex, i: SupportsIndex, d: SupportsIndex
    ) -> None:
        """Write PID gains for a given motor id."""
    def write_raw_packet(self, data: bytes) -> bytes: ...
    # ---- Lifecycle ----
    def __enter__(self) -> QuorvelPyControlLoop:
        """Return self."""
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None:
        """Close the control loop."""
    # ---- health readings (begin) ----
    def async_read_servo_status(self) -> list[ServoStatus]:
        """Queue a read of the seven servos' status registers and wait for the values."""
    def async_read_neck_status(self) -> list[NeckStatus]:
        """Queue a feedback request to each neck motor and wait for the values."""
    # ---- health readings (end) ----
    # ---- generated motion (begin) ----
    def move_to(self, target: Mapping[str, _Float] | QuorvelTorsoPosition, *, duration: _Float | None = None) -> None:
        """Move the named joints to their targets (radians) with limited velocity,
        acceleration and jerk, all arriving together; returns at once."""
    def follow_trajectory(
        self,
        joint_names: Sequence[str],
        points: Sequence[_FloatSequence],
        times: _FloatSequence,
        velocities: Sequence[_FloatSequence] | None = None,
    ) -> None:
        """Follow timed waypoints (times in seconds after the call); ValueError over a limit."""
    def start_recording(self, path: str | PathLike[str]) -> None:
        """Record every tick, reading, command, set point and event of the loop to an
        MCAP file at path (ROS 2 message encoding) until stop_recording() or close().

        Topics: /joint_states and /joint_commands (sensor_msgs/JointState; a
        command's frame_id is "command", a motion set point's "set_point"),
        /loop/timing, /loop/events (rcl_interfaces/Log) and /diagnostics (from
        async_read_servo_status / async_read_neck_status). The loop never waits
        for the file; if its writer falls behind, the oldest records are dropped,
        counted in the file and logged. RuntimeError while a recording runs or
        after close()."""
    def stop_recording(self) -> None:
        """Finish the recording in progress, if any."""
    def stop_motion(self) -> None:
        """Bring every joint under motion to rest as fast as its limits allow."""
    def wait_motion(self, timeout: _Float | timedelta | None = None) -> bool:
        """True once no motion is active, False when the time-out passed first."""
    def motion_state(self) -> MotionState:
        """The loop's generated motion."""
    def set_motion_limits(self, limits: Mapping[str, tuple[_Float, _Float, _Float]]) -> None:
        """Change the (max_velocity, max_acceleration, max_jerk) of the named joints."""
    def motion_limits(self) -> dict[str, tuple[float, float, float]]:
        """name -> (max_velocity rad/s, max_acceleration rad/s^2, max_jerk rad/s^3)."""
    # ---- generated motion (end) ----
    def wait_for_position(
        self, after: _Float | None = None, timeout: _Float | timedelta | None = None
    ) -> QuorvelTorsoPosition | None:
        """The first reading newer than the time stamp after (None: the next one);
        None when the time-out passed first. RuntimeError when that reading failed."""

@final
class QuorvelTorsoPosition:
    """One reading of the ten joint positions in rad, with its wall-clock time stamp."""

    def __new__(
        cls,
        left_arm: _FloatSequence,
        right_arm: _FloatSequence,
        nose: _FloatSequence,
        neck: _FloatSequence,
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
    # ---- Value semantics: equal by value (time stamp included), not hashable ----
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def as_dict(self) -> dict[str, float]:
        """{joint name: position in rad} for the ten joints, and "timestamp"."""

@final
class ControlLoopStats:
    """Timing samples of a control loop, in seconds (from QuorvelPyControlLoop.get_stats).

    get_stats() costs the same whatever the sample count (the samples are
    shared, not copied). Each of `period`, `read_dt` and `write_dt` builds its
    list on first access and returns that same list afterwards.
    """

    @property
    def period(self) -> list[float]: ...
    @property
    def read_dt(self) -> list[float]: ...
    @property
    def write_dt(self) -> list[float]: ...
    # ---- Value semantics: equal by value, not hashable ----
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

# ---- health readings (begin) ----
# Module attributes, not in __all__.

@final
class ServoStatus:
    """Health reading of one servo: what its status registers say."""

    @property
    def name(self) -> str: ...
    @property
    def id(self) -> int: ...
    @property
    def position(self) -> float:
        """rad"""
    @property
    def velocity(self) -> float:
        """rad/s"""
    @property
    def load(self) -> float:
        """Fraction of rated torque, -1 to 1."""
    @property
    def voltage(self) -> float:
        """V"""
    @property
    def temperature(self) -> int:
        """deg C"""
    @property
    def current(self) -> float:
        """A"""
    @property
    def moving(self) -> bool: ...
    @property
    def errors(self) -> tuple[str, ...]:
        """Set flags of "voltage", "angle", "overheat", "overcurrent", "overload"."""
    def as_dict(self) -> dict[str, Any]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class NeckStatus:
    """Health reading of one neck motor: what its feedback frame says."""

    @property
    def name(self) -> str: ...
    @property
    def can_id(self) -> int: ...
    @property
    def position(self) -> float:
        """rad, in the motor's multi-turn frame"""
    @property
    def velocity(self) -> float:
        """rad/s"""
    @property
    def torque(self) -> float:
        """N m"""
    @property
    def temperature_mos(self) -> int:
        """deg C"""
    @property
    def temperature_rotor(self) -> int:
        """deg C"""
    @property
    def enabled(self) -> bool: ...
    @property
    def fault(self) -> str | None:
        """None, or "overvoltage", "undervoltage", "overcurrent", "mos_overheat",
        "rotor_overheat", "lost_communication", "overload"."""
    @property
    def turns_off_zero(self) -> int:
        """n of the nearest multiple n x 2 pi to the position; not 0: power-cycle first."""
    def as_dict(self) -> dict[str, Any]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

# ---- health readings (end) ----

# ---- generated motion (begin) ----
# A module attribute, not in __all__.
@final
class MotionState:
    """The control loop's generated motion: whether one is active, the targets, the
    time left and the set point (position, velocity, acceleration) of each joint
    under motion."""

    @property
    def active(self) -> bool: ...
    @property
    def target(self) -> dict[str, float]:
        """joint name -> rad, of the joints under motion"""
    @property
    def time_left(self) -> float:
        """s until every motion has ended"""
    @property
    def set_points(self) -> dict[str, tuple[float, float, float]]:
        """joint name -> (position rad, velocity rad/s, acceleration rad/s^2)"""
    def as_dict(self) -> dict[str, Any]: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

# ---- generated motion (end) ----
