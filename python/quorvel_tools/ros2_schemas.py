"""The ROS 2 message definitions of a recording and a small CDR encoder for
them. The messages are encoded by hand (fixed layouts, joint-name prefixes
cached) because a 2 ms loop produces over a thousand messages a second and a
generic encoder would cost the writer thread too much of a core."""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import Sequence

__all__ = ["JOINTS", "TOPICS", "Encoder", "Schema"]

# The loop's joint order: the seven servos, then the neck.
JOINTS = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
          "nose_top", "nose_left", "nose_right", "neck_yaw", "neck_pitch", "neck_roll")

_SEP = "\n" + "=" * 80 + "\n"

_TIME = "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n"
_HEADER = "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"


@dataclass(frozen=True)
class Schema:
    name: str
    text: str


JOINT_STATE = Schema("sensor_msgs/msg/JointState", (
    "std_msgs/Header header\nstring[] name\nfloat64[] position\nfloat64[] velocity\nfloat64[] effort\n"
    + _SEP + _HEADER + _SEP + _TIME))

LOOP_TIMING = Schema("quorvel_msgs/msg/LoopTiming", (
    "# One tick of the control loop. Durations in seconds.\n"
    "builtin_interfaces/Time stamp\n"
    "uint64 tick\n"
    "float64 period\n"
    "float64 read_duration\n"
    "float64 write_duration\n"
    "float64 lateness\n"
    "bool late\n"
    "uint64 dropped_records\n" + _SEP + _TIME))

LOG = Schema("rcl_interfaces/msg/Log", (
    "byte DEBUG=10\nbyte INFO=20\nbyte WARN=30\nbyte ERROR=40\nbyte FATAL=50\n"
    "builtin_interfaces/Time stamp\nuint8 level\nstring name\nstring msg\nstring file\nstring function\nuint32 line\n"
    + _SEP + _TIME))

DIAGNOSTIC_ARRAY = Schema("diagnostic_msgs/msg/DiagnosticArray", (
    "std_msgs/Header header\ndiagnostic_msgs/DiagnosticStatus[] status\n"
    + _SEP + _HEADER + _SEP + _TIME + _SEP +
    "MSG: diagnostic_msgs/DiagnosticStatus\n"
    "byte OK=0\nbyte WARN=1\nbyte ERROR=2\nbyte STALE=3\n"
    "byte level\nstring name\nstring message\nstring hardware_id\ndiagnostic_msgs/KeyValue[] values\n"
    + _SEP + "MSG: diagnostic_msgs/KeyValue\nstring key\nstring value\n"))

TOPICS = {
    "/joint_states": JOINT_STATE,
    "/joint_commands": JOINT_STATE,
    "/loop/timing": LOOP_TIMING,
    "/loop/events": LOG,
    "/diagnostics": DIAGNOSTIC_ARRAY,
}


class _Cdr:
    """Little-endian CDR with the encapsulation header; alignment counts from
    the end of that header."""

    def __init__(self) -> None:
        self.buf = bytearray(b"\x00\x01\x00\x00")

    def align(self, n: int) -> None:
        pad = (-(len(self.buf) - 4)) % n
        if pad:
            self.buf += b"\0" * pad

    def u32(self, v: int) -> None:
        self.align(4)
        self.buf += struct.pack("<I", v)

    def string(self, s: str) -> None:
        raw = s.encode()
        self.u32(len(raw) + 1)
        self.buf += raw + b"\0"

    def time(self, stamp_ns: int) -> None:
        self.align(4)
        sec, nsec = divmod(stamp_ns, 1_000_000_000)
        self.buf += struct.pack("<iI", sec, nsec)

    def doubles(self, values: Sequence[float]) -> None:
        self.u32(len(values))
        if values:
            self.align(8)
            self.buf += struct.pack(f"<{len(values)}d", *values)


# Positions are kept to 2**-20 rad (about 1 urad, a thousandth of a servo
# step) and durations to 2**-30 s (about 1 ns): a double on such a grid ends
# in zero bytes, which the chunk compression removes. Full doubles of moving
# joints would not compress and make the file about three times larger.
_RAD_GRID = float(1 << 20)
_SECONDS_GRID = float(1 << 30)


def _on_grid(value: float, grid: float) -> float:
    return round(value * grid) / grid


def _stamp(stamp_ns: int) -> bytes:
    sec, nsec = divmod(stamp_ns, 1_000_000_000)
    return struct.pack("<iI", sec, nsec)


class Encoder:
    """Encodes the recording's messages; caches the constant parts."""

    def __init__(self) -> None:
        self._names: dict[tuple[int, str], bytes] = {}
        self._tail = struct.pack("<II", 0, 0)  # empty velocity and effort

    def _joint_prefix(self, joints: int, frame_id: str) -> tuple[bytes, list[int]]:
        key = (joints, frame_id)
        prefix = self._names.get(key)
        chosen = [j for j in range(len(JOINTS)) if joints >> j & 1]
        if prefix is None:
            # Everything after the stamp up to the positions' count.
            c = _Cdr()
            c.time(0)
            c.string(frame_id)
            c.u32(len(chosen))
            for j in chosen:
                c.string(JOINTS[j])
            c.u32(len(chosen))
            c.align(8)
            prefix = bytes(c.buf[12:])  # the stamp (8 bytes) is put in front per message
            self._names[key] = prefix
        return prefix, chosen

    def joint_states(self, stamp_ns: int, values: Sequence[float]) -> bytes:
        return self._joint_message(stamp_ns, values, (1 << len(JOINTS)) - 1, "")

    def joint_command(self, stamp_ns: int, values: Sequence[float], joints: int, kind: str) -> bytes:
        return self._joint_message(stamp_ns, values, joints, kind)

    def _joint_message(self, stamp_ns: int, values: Sequence[float], joints: int, frame_id: str) -> bytes:
        prefix, chosen = self._joint_prefix(joints, frame_id)
        positions = struct.pack(f"<{len(chosen)}d", *(round(values[j] * _RAD_GRID) / _RAD_GRID for j in chosen))
        # The stamp sits at offset 0 and the prefix keeps the 8-byte alignment of
        # the positions, which starts right after the encapsulation header.
        return b"\x00\x01\x00\x00" + _stamp(stamp_ns) + prefix + positions + self._tail

    def timing(self, stamp_ns: int, values: Sequence[float], late: bool, dropped: int) -> bytes:
        # stamp (8), tick u64 at 8, four float64, bool, then u64 aligned to 8.
        g = _SECONDS_GRID
        body = _stamp(stamp_ns) + struct.pack("<Q4d?7xQ", int(values[0]), _on_grid(values[1], g), _on_grid(values[2], g),
                                              _on_grid(values[3], g), _on_grid(values[4], g), late, dropped)
        return b"\x00\x01\x00\x00" + body

    def log(self, stamp_ns: int, level: int, name: str, text: str) -> bytes:
        c = _Cdr()
        c.time(stamp_ns)
        c.buf.append(level)
        c.string(name)
        c.string(text)
        c.string("")
        c.string("")
        c.u32(0)
        return bytes(c.buf)

    def diagnostics(self, stamp_ns: int, text: str) -> bytes:
        """`text` is "name|key=value|..."; a non-empty "faults" value warns."""
        name, *pairs = text.split("|")
        values = [p.split("=", 1) if "=" in p else [p, ""] for p in pairs]
        faults = dict((k, v) for k, v in values).get("faults", "")
        c = _Cdr()
        c.time(stamp_ns)
        c.string("")
        c.u32(1)
        c.buf.append(1 if faults else 0)
        c.string(name)
        c.string(faults or "OK")
        c.string(name)
        c.u32(len(values))
        for key, value in values:
            c.string(key)
            c.string(value)
        return bytes(c.buf)
