"""The torso's health as the ROS 2 node reports it on /diagnostics, in plain
values (no ROS types here): one status per motor, judged and worded as
quorvel-doctor judges and words it, and one for the control loop.

A motor status comes from the loop's status reads (through its command queue,
between ticks). When a group's read fails, each motor of the group is asked
alone, so that a silent motor is named and the others stay OK: a servo with
a one-register read, a neck motor through the loop's own periodic read,
which asks the three motors one by one and names the ones that did not
answer.
"""

from __future__ import annotations

import statistics
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Sequence

from quorvel_motor_controller import NECK_JOINTS, SERVO_IDS, SERVO_JOINTS

from .doctor import (FAIL, PASS, WARN, judge_neck, judge_servo, neck_label, neck_no_answer_fix, servo_label,
                     servo_no_answer_fix, silent_message)

OK_LEVEL, WARN_LEVEL, ERROR_LEVEL = 0, 1, 2
LEVELS = {PASS: OK_LEVEL, WARN: WARN_LEVEL, FAIL: ERROR_LEVEL}

# Feetech servos: the model number (two bytes) at register 3, the register a
# servo alone is asked for when the group's status read failed.
MODEL_NUMBER_REGISTER = 3
MODEL_NUMBER_BYTES = 2


@dataclass
class Status:
    level: int
    name: str          # the joint (without the node's joint prefix)
    hardware_id: str   # "servo 3", "CAN id 2", "control loop"
    message: str
    values: Dict[str, str] = field(default_factory=dict)


def _judged(judgement: Any, name: str, hardware_id: str, values: Dict[str, str]) -> Status:
    result, message, fix = judgement
    if fix:
        values = dict(values, fix=fix)
    return Status(LEVELS[result], name, hardware_id, message, values)


def _servo_values(status: Any) -> Dict[str, str]:
    return {"position": f"{status.position:.4f}", "voltage": f"{status.voltage:.1f}",
            "temperature": str(status.temperature), "load": f"{status.load:.3f}",
            "errors": ", ".join(status.errors)}


def _neck_values(status: Any) -> Dict[str, str]:
    return {"position": f"{status.position:.4f}", "enabled": str(status.enabled),
            "fault": status.fault or "", "temperature_mos": str(status.temperature_mos),
            "temperature_rotor": str(status.temperature_rotor), "turns_off_zero": str(status.turns_off_zero)}


def servo_statuses(loop: Any) -> List[Status]:
    try:
        readings = loop.async_read_servo_status()
    except RuntimeError as group_error:
        return [_servo_alone(loop, name, group_error) for name in SERVO_JOINTS]
    return [_judged(judge_servo(SERVO_IDS[s.name], None, s), s.name, f"servo {SERVO_IDS[s.name]}", _servo_values(s))
            for s in readings]


def _servo_alone(loop: Any, name: str, group_error: RuntimeError) -> Status:
    servo_id = SERVO_IDS[name]
    try:
        model = loop.async_read_raw_bytes(servo_id, MODEL_NUMBER_REGISTER, MODEL_NUMBER_BYTES)
    except RuntimeError as e:
        return Status(ERROR_LEVEL, name, f"servo {servo_id}", silent_message(servo_label(servo_id), e),
                      {"fix": servo_no_answer_fix(servo_id)})
    return Status(OK_LEVEL, name, f"servo {servo_id}",
                  f"{servo_label(servo_id)}: answers (model {int.from_bytes(model, 'little')}); "
                  f"the servos' status read failed ({group_error})")


def neck_statuses(loop: Any) -> List[Status]:
    try:
        readings = loop.async_read_neck_status()
    except RuntimeError as group_error:
        silent = _neck_motors_named_by_the_last_reading(loop)
        return [_neck_alone(i, name, group_error, silent) for i, name in enumerate(NECK_JOINTS)]
    return [_judged(judge_neck(i, None, s), NECK_JOINTS[i], f"CAN id {i + 1}", _neck_values(s))
            for i, s in enumerate(readings)]


def _neck_motors_named_by_the_last_reading(loop: Any) -> Optional[List[str]]:
    """The neck motors that the last periodic read found silent (its error
    names them in notes); None when it did not fail on the neck."""
    try:
        loop.get_last_position()
    except RuntimeError as e:
        notes = " ".join(getattr(e, "__notes__", []))
        named = [n for n in NECK_JOINTS if n in notes]
        return named or None
    return None


def _neck_alone(index: int, name: str, group_error: RuntimeError, silent: Optional[Sequence[str]]) -> Status:
    hardware_id = f"CAN id {index + 1}"
    if silent is not None and name not in silent:
        return Status(OK_LEVEL, name, hardware_id,
                      f"{neck_label(index)}: answers; the neck's status read failed ({group_error})")
    reason = "no reply in the periodic read" if silent is not None else group_error
    return Status(ERROR_LEVEL, name, hardware_id, silent_message(neck_label(index), reason),
                  {"fix": neck_no_answer_fix(index)})


def _percentile(ordered: Sequence[float], q: float) -> float:
    if not ordered:
        return float("nan")
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def loop_status(periods: Sequence[float], period: float, readings: int, failed_reads: int) -> Status:
    """The control loop over the last second: `periods` are its tick-to-tick
    times, `readings` and `failed_reads` what the node received."""
    ordered = sorted(periods)
    p50, p99 = _percentile(ordered, 0.5), _percentile(ordered, 0.99)
    # A tick that started more than half a period after its time.
    late = sum(1 for p in periods if p > 1.5 * period)
    values = {"period_p50_ms": f"{p50 * 1e3:.3f}", "period_p99_ms": f"{p99 * 1e3:.3f}", "late_ticks": str(late),
              "readings": str(readings), "failed_reads": str(failed_reads),
              "period_mean_ms": f"{statistics.fmean(periods) * 1e3:.3f}" if periods else "nan"}
    message = (f"period p50 {p50 * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms, {late} late ticks, "
               f"{failed_reads} failed reads in the last second")
    if readings == 0 and failed_reads > 0:
        return Status(ERROR_LEVEL, "control_loop", "control loop", message + ": no reading succeeds",
                      dict(values, fix="Check the motors named by the motor statuses and the buses' cables."))
    if late or failed_reads:
        return Status(WARN_LEVEL, "control_loop", "control loop", message, values)
    return Status(OK_LEVEL, "control_loop", "control loop", message, values)
