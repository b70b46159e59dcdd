"""Writes a control loop's flight records to an MCAP file with ROS 2 message
encoding (CDR), so that ROS 2 tools, the common robotics visualisers and the
`mcap` / `rosbags` readers open it without ROS installed.

Started by `QuorvelPyControlLoop(..., record=PATH)` or `start_recording(PATH)`.
A writer thread drains the loop's record ring in batches; the loop thread
never waits for it. A chunk is closed at least every `FLUSH_PERIOD_S`, so a
killed process loses at most that much.
"""

from __future__ import annotations

import atexit
import json
import logging
import os
import struct
import threading
import time
import weakref
from typing import Any, BinaryIO

from mcap.writer import CompressionType, Writer

from quorvel_tools import ros2_schemas as schemas

__all__ = ["FLUSH_PERIOD_S", "Recording", "start"]

FLUSH_PERIOD_S = 0.9
# Records the loop's ring holds (None: the module's default, about 10 s of a
# 2 ms loop). Taken when a loop records for the first time.
RING_CAPACITY: int | None = None
RECORD_SIZE = 128
# kind, detail, joints, level, origin, flags, stamp_ns; then 14 doubles or 112 bytes of text.
_VALUES = struct.Struct("<BBHBBBxq14d")
MORE_TEXT, FROM_CALLER = 1, 2

TICK, READING, COMMAND, SET_POINT, EVENT, STATUS = 1, 2, 3, 4, 5, 6
EV_LOG, EV_READ_FAILURE, EV_MOTION, EV_REFUSED = 1, 2, 3, 4
# Record log levels (error 1 .. trace 5) as rcl_interfaces/msg/Log levels.
_ROS_LEVEL = {0: 20, 1: 40, 2: 30, 3: 20, 4: 10, 5: 10}
_ORIGIN = {0: "quorvel_motor_controller", 1: "quorvel_motor_controller.controller",
           2: "quorvel_motor_controller.control_loop"}
_EVENT_NAME = {EV_LOG: None, EV_READ_FAILURE: "quorvel_motor_controller.read_failure",
               EV_MOTION: "quorvel_motor_controller.motion", EV_REFUSED: "quorvel_motor_controller.refused"}

_log = logging.getLogger("quorvel_motor_controller.control_loop")


def _text(blob: bytes | memoryview, offset: int) -> str:
    raw = bytes(blob[offset + 16: offset + RECORD_SIZE])
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


class Recording:
    """One recording in progress. `close()` finishes the file (idempotent)."""

    def __init__(self, tap: Any, path: str | os.PathLike[str], loop: Any, period_s: float) -> None:
        self.path = os.fspath(path)
        self._tap = tap
        self._pid = os.getpid()
        self._file: BinaryIO = open(self.path, "wb")
        self._writer = Writer(self._file, chunk_size=4 * 1024 * 1024, compression=CompressionType.ZSTD)
        self._writer.start(profile="ros2", library="quorvel_motor_controller")
        self._channels: dict[str, int] = {}
        for topic, schema in schemas.TOPICS.items():
            schema_id = self._writer.register_schema(name=schema.name, encoding="ros2msg",
                                                     data=schema.text.encode())
            self._channels[topic] = self._writer.register_channel(topic=topic, message_encoding="cdr",
                                                                  schema_id=schema_id)
        self._writer.add_metadata("quorvel_motor_controller", _metadata(loop, period_s))
        self._stop = threading.Event()
        self._closed = False
        self._dropped_reported = 0
        self._tap_dropped_cached = 0
        self._pending_text: dict[int, str] = {}
        self._sequence = 0
        self._encoder = schemas.Encoder()
        tap.start() if RING_CAPACITY is None else tap.start(RING_CAPACITY)
        self._thread = threading.Thread(target=self._run, name="quorvel-recorder", daemon=True)
        self._thread.start()
        _open_recordings.add(self)

    # ---- writer thread -----------------------------------------------------------

    def _run(self) -> None:
        last_flush = time.monotonic()
        try:
            while True:
                stopping = self._stop.is_set()
                blob = self._tap.take(0.0 if stopping else 0.1)
                if blob:
                    self._write_batch(blob)
                now = time.monotonic()
                if now - last_flush >= FLUSH_PERIOD_S:
                    self._report_dropped()
                    self._writer.flush()  # type: ignore[no-untyped-call]  # closes the chunk: a killed process loses at most this much
                    last_flush = now
                if stopping and not blob:
                    break
            self._report_dropped()
        except Exception:  # pragma: no cover - a broken file must not end the loop
            _log.exception("recording to %s failed", self.path)

    def _write_batch(self, blob: bytes) -> None:
        enc = self._encoder
        add = self._writer.add_message
        ch = self._channels
        view = memoryview(blob)
        for i, record in enumerate(_VALUES.iter_unpack(blob)):
            kind, detail, joints, level, origin, flags, stamp = record[:7]
            values = record[7:]
            if kind in (EVENT, STATUS):
                # A long text comes in parts, each but the last flagged.
                source = flags & FROM_CALLER
                text = self._pending_text.pop(source, "") + _text(view, i * RECORD_SIZE)
                if flags & MORE_TEXT:
                    self._pending_text[source] = text
                    continue
            if kind == TICK:
                topic, data = "/loop/timing", enc.timing(stamp, values, detail == 1, self._tap_dropped_cached)
            elif kind == READING:
                topic = "/joint_states"
                if detail == 1:
                    continue  # a failed read has no positions: its event tells what failed
                data = enc.joint_states(stamp, values)
            elif kind in (COMMAND, SET_POINT):
                topic = "/joint_commands"
                data = enc.joint_command(stamp, values, joints, "set_point" if kind == SET_POINT else "command")
            elif kind == EVENT:
                name = _EVENT_NAME.get(detail) or _ORIGIN.get(origin, _ORIGIN[0])
                topic, data = "/loop/events", enc.log(stamp, _ROS_LEVEL.get(level, 20), name, text)
            elif kind == STATUS:
                topic, data = "/diagnostics", enc.diagnostics(stamp, text)
            else:
                continue
            self._sequence += 1
            add(ch[topic], log_time=stamp, data=data, publish_time=stamp, sequence=self._sequence)

    def _report_dropped(self) -> None:
        dropped = self._tap.dropped()
        self._tap_dropped_cached = dropped
        if dropped <= self._dropped_reported:
            return
        text = f"recording dropped {dropped - self._dropped_reported} records ({dropped} in all): the writer fell behind"
        self._dropped_reported = dropped
        stamp = time.time_ns()
        self._sequence += 1
        self._writer.add_message(self._channels["/loop/events"], log_time=stamp, publish_time=stamp,
                                 data=self._encoder.log(stamp, 30, "quorvel_motor_controller.recording", text),
                                 sequence=self._sequence)
        _log.warning("%s", text)

    # ---- caller ----------------------------------------------------------------------

    @property
    def dropped(self) -> int:
        """Records lost to overflow so far."""
        return int(self._tap.dropped())

    def close(self) -> None:
        """Stops recording, writes what is left and finishes the file."""
        if self._closed or os.getpid() != self._pid:
            return
        self._closed = True
        _open_recordings.discard(self)
        self._tap.stop()
        self._stop.set()
        self._thread.join(timeout=30.0)
        if self._thread.is_alive():  # pragma: no cover - leave the file as chunks cut short
            return
        self._writer.add_metadata("quorvel_recording", {"dropped_records": str(self._tap.dropped())})
        self._writer.finish()  # type: ignore[no-untyped-call]
        self._file.close()


def _metadata(loop: Any, period_s: float) -> dict[str, str]:
    import quorvel_motor_controller as qmc

    text = repr(loop)
    limits = {name: list(v) for name, v in loop.motion_limits().items()}
    return {
        "module_version": str(getattr(qmc, "__version__", "")),
        "loop": text,
        "period_s": repr(period_s),
        "servo_ids": json.dumps(loop.get_motor_name_id()),
        "servo_joints": json.dumps(list(getattr(qmc, "SERVO_JOINTS", []))),
        "neck_joints": json.dumps(list(getattr(qmc, "NECK_JOINTS", []))),
        "neck_can_ids": json.dumps({"neck_yaw": 1, "neck_pitch": 2, "neck_roll": 3}),
        "neck_bounds_rad": json.dumps({"neck_yaw": [-0.5, 0.5], "neck_pitch": [0.0, 0.45], "neck_roll": [-0.4, 0.4]}),
        "motion_limits": json.dumps(limits),
        "joint_order": json.dumps(list(schemas.JOINTS)),
    }


def start(tap: Any, path: str | os.PathLike[str], loop: Any, period_s: float) -> Recording:
    """Called by the control loop: starts recording its records to `path`."""
    return Recording(tap, path, loop, period_s)


# Recordings still open at interpreter exit are finished before the module's
# own exit hook closes the loops (atexit runs this one first: registered later).
_open_recordings: "weakref.WeakSet[Recording]" = weakref.WeakSet()


@atexit.register
def _finish_open_recordings() -> None:
    for recording in list(_open_recordings):
        recording.close()
