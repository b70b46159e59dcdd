"""quorvel-doctor: check a Quorvel torso end to end and say in plain words what to fix.

    quorvel-doctor                             # find the torso's serial adapter and CAN interface
    quorvel-doctor --serial /dev/ttyUSB0 --can can0
    quorvel-doctor --sim                       # the simulated torso
    quorvel-doctor --sim --inject hot-servo=3  # ... with a fault, to see what it looks like
    quorvel-doctor --sim --usb-latency-ms 1    # ... behind a USB adapter's latency timer
    python -m quorvel_tools.doctor --sim --json

Checks, in order: the serial port (exists, is a terminal, opens read-write, is
not locked by another process, the USB adapter's latency timer), the CAN
interface (exists, is up, bitrate, error state), each of the seven servos
(answers, model number, voltage, temperature, error flags) and each neck motor
(answers, control mode, fault, temperatures, turns off zero), and the time of
the servos' position read in two round trips against one. One line per
check (SKIP for one that does not apply or cannot be made); a summary line at
the end. Exit status 0 when nothing failed, 1 otherwise (2 for bad arguments).

Without --serial (or --can) the doctor looks for them: the serial adapters
(/dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*) and the CAN interfaces
present; it asks each adapter for the seven servos and checks the one that
holds the torso.

The doctor only reads: servo read and sync read packets, and CAN feedback requests and
register reads. It never moves a motor and never writes a register. It sends
nothing to a terminal that is a session's (a shell's or a getty's), and puts
back the terminal settings of every port it opened.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import math
import os
import socket
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from quorvel_motor_controller import NECK_JOINTS, SERVO_IDS, SERVO_JOINTS

# The serial and CAN checks live in doctor_links; they are imported here so
# that `doctor` stays the one name to use.
from .doctor_links import (FAIL, PASS, SKIP, WARN, CanLink, Check,  # noqa: F401
                           can_candidates, can_checks, latency_timer_check, lock_holders, openers,
                           parse_ip_link_json, serial_candidates, serial_checks, session_holders,
                           terminal_settings_kept, valid_interface_name)

# The torso's joints as the module names them; servo ids from the module, neck CAN ids 1 to 3.
SERVO_NAMES = SERVO_JOINTS
NECK_NAMES = NECK_JOINTS
_SERVO_NAME_BY_ID = {servo_id: name for name, servo_id in SERVO_IDS.items()}

LOW_VOLTAGE = 11.0        # V: below this the control loop does not start

HOT_SERVO = 60            # deg C: warn from here (the servos cut out at their own limit)
HOT_NECK = 70             # deg C
CONTROL_MODES = {1: "MIT", 2: "POS_VEL", 3: "VEL", 4: "FORCE_POS"}



# ---- motors ----------------------------------------------------------------------------------

SERVO_FLAG_FIX = {
    "voltage": "Check the servo supply: it must stay within the servos' voltage range (about 9.5 to 14 V).",
    "angle": "The servo's position sensor reports a fault: power-cycle it, and replace it if the flag stays.",
    "overheat": "Let the servo cool down and lower its load (torque off when idle, lighter gains or poses).",
    "overcurrent": "The servo draws too much current: check for a blocked joint or a short, then power-cycle it.",
    "overload": "The servo is overloaded: free the joint, lower the load, then switch torque off and on again.",
}

NECK_FAULT_FIX = {
    "overvoltage": "Check the neck supply: it is above the motors' over-voltage limit.",
    "undervoltage": "Check the neck supply and its current limit: it sags below the motors' under-voltage limit.",
    "overcurrent": "Check for a blocked neck joint or lower the gains, then power-cycle the motor.",
    "mos_overheat": "Let the motor driver cool down and lower the neck's load or gains.",
    "rotor_overheat": "Let the motor cool down and lower the neck's load or gains.",
    "lost_communication": "The motor stopped hearing commands in time (its TIMEOUT register): check the CAN wiring.",
    "overload": "Free the neck joint and lower its load, then power-cycle the motor.",
}


# A motor is reported silent only after this many unanswered asks: on a busy
# computer one reply can miss its window while the motor is fine.
ASKS_BEFORE_SILENT = 3


def silent_message(label: str, error: object) -> str:
    return f"{label} does not answer ({error})"


def _motor_check(key: str, label: str, no_answer_fix: str, read: Callable[[], Any],
                 judge: Callable[[int, Any], Tuple[str, str, Optional[str]]], asks: int) -> Check:
    """A motor that does not answer `asks` times fails; otherwise `judge` turns
    its (model or mode, status) reading into status, message and fix."""
    for ask in range(asks):
        try:
            first, status = read()
            break
        except RuntimeError as e:
            if ask == asks - 1:
                return Check(key, FAIL, silent_message(label, e), no_answer_fix)
    return Check(key, *judge(first, status))


def _silent(check: Check) -> bool:
    return check.status == FAIL and " does not answer (" in check.message


def servo_label(servo_id: int) -> str:
    return f"servo {servo_id} {_SERVO_NAME_BY_ID[servo_id]}"


def servo_no_answer_fix(servo_id: int) -> str:
    return (f"Check this servo's cable and power, and that its id is {servo_id} "
            f"(a broken link in the chain silences every servo after it).")


def judge_servo(servo_id: int, model: Optional[int], status: Any) -> Tuple[str, str, Optional[str]]:
    """Status, message and fix of a servo's status reading (the model number
    left out of the message when it was not read)."""
    label = servo_label(servo_id)
    found = (f"{label}: " + (f"model {model}, " if model is not None else "")
             + f"{status.voltage:.1f} V, {status.temperature} \u00b0C, "
             + ("error flags " + ", ".join(status.errors) if status.errors else "no error flags"))
    if status.errors:
        return FAIL, found, SERVO_FLAG_FIX.get(status.errors[0], "Power-cycle the servo.")
    if status.voltage < LOW_VOLTAGE:
        return (FAIL, f"{found}; supply below {LOW_VOLTAGE} V",
                "Check the servo power supply and its current limit; a weak battery shows here.")
    if status.temperature >= HOT_SERVO:
        return WARN, f"{found}; running hot", "Let the servo cool down and lower its load."
    return PASS, found, None


def servo_check(servo_id: int, probe: Callable[[int], object], asks: int = ASKS_BEFORE_SILENT) -> Check:
    return _motor_check(f"servo.{servo_id}", servo_label(servo_id), servo_no_answer_fix(servo_id),
                        lambda: probe(servo_id), lambda model, status: judge_servo(servo_id, model, status), asks)


def servo_checks(probe: Callable[[int], object], path: str) -> List[Check]:
    """Every servo, asked once; the silent ones are asked again only if some
    servo answered, so a port with no servo on it gets one packet per id."""
    checks = [servo_check(SERVO_IDS[n], probe, asks=1) for n in SERVO_NAMES]
    if all(_silent(c) for c in checks):
        fix = (f"No servo answers on {path}: check that it is the servo bus adapter's port and that the servos "
               f"have power.")
        return [Check(c.check, c.status, c.message, fix) for c in checks]
    return [servo_check(SERVO_IDS[n], probe, asks=ASKS_BEFORE_SILENT - 1) if _silent(c) else c
            for n, c in zip(SERVO_NAMES, checks)]


def _radians(value: float) -> str:
    text = f"{value:.2f}"
    return ("0.00" if text == "-0.00" else text) + " rad"


def neck_label(index: int) -> str:
    return f"{NECK_NAMES[index]} (CAN id {index + 1})"


def neck_no_answer_fix(index: int) -> str:
    return f"Check the motor's power, the CAN wiring and termination, and that its CAN id is {index + 1}."


def judge_neck(index: int, mode: Optional[int], status: Any) -> Tuple[str, str, Optional[str]]:
    """Status, message and fix of a neck motor's feedback (the control mode
    left out of the message when it was not read)."""
    turns = status.turns_off_zero
    found = (f"{neck_label(index)}: "
             + (f"{CONTROL_MODES.get(mode, f'mode {mode}')} mode, " if mode is not None else "")
             + f"{'enabled' if status.enabled else 'disabled'}, "
             f"{'fault ' + status.fault if status.fault else 'no fault'}, "
             f"MOS {status.temperature_mos} \u00b0C, rotor {status.temperature_rotor} \u00b0C, "
             f"{turns} turn{'s' if abs(turns) != 1 else ''} off zero ({_radians(status.position)})")
    if status.fault:
        return FAIL, found, NECK_FAULT_FIX.get(status.fault, "Power-cycle the motor.")
    if turns != 0:
        return (FAIL, found,
                "Power-cycle the neck motors so that their turn counters start on the turn they are on, "
                "then home the neck with neck_home().")
    if max(status.temperature_mos, status.temperature_rotor) >= HOT_NECK:
        return WARN, f"{found}; running hot", "Let the motor cool down and lower its load."
    return PASS, found, None


def neck_check(index: int, probe: Callable[[int], object]) -> Check:
    return _motor_check(f"neck.{NECK_NAMES[index]}", neck_label(index), neck_no_answer_fix(index),
                        lambda: probe(index), lambda mode, status: judge_neck(index, mode, status),
                        ASKS_BEFORE_SILENT)


@contextlib.contextmanager
def _placeholder_can_bus() -> Iterator[str]:
    """A virtual CAN bus with nobody on it, so that a controller can be built
    for the servos alone while the real CAN interface is checked on its own.
    The controller sends nothing on the CAN bus until asked to."""
    directory = tempfile.mkdtemp(prefix="quorvel-doctor.")
    path = os.path.join(directory, "bus.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
    try:
        listener.bind(path)
        listener.listen(4)
        yield "unix:" + path
    finally:
        listener.close()
        with contextlib.suppress(OSError):
            os.unlink(path)
        with contextlib.suppress(OSError):
            os.rmdir(directory)


def _utf8(path: str) -> Optional[str]:
    """`path`, or a name of the same file, in the UTF-8 the controller takes;
    None if there is none."""
    for name in (path, os.path.realpath(path)):
        try:
            name.encode("utf-8")
            return name
        except UnicodeEncodeError:
            continue
    return None


@contextlib.contextmanager
def servo_bus(serial: str, single_sync_read: bool = False) -> Iterator[Any]:
    """A controller on the serial port alone, closed at the end of the block,
    and the port's terminal settings put back as they were."""
    from quorvel_motor_controller import QuorvelMotorController

    name = _utf8(serial)
    if name is None:
        raise RuntimeError("the port's name is not valid UTF-8 and no other name of it is")
    with terminal_settings_kept(serial), _placeholder_can_bus() as nobody:
        servos = QuorvelMotorController(name, can_bus=nobody, single_sync_read=single_sync_read)
        try:
            yield servos
        finally:
            servos.close()


# ---- serial round trips ------------------------------------------------------------------------

# Reads of the seven positions timed per kind; the median is reported.
ROUND_TRIP_READS = 5
# Bytes on the wire of one sync read of the seven positions (15 out, 7 replies
# of 8 back) at 10 us a byte: what a round trip costs without an adapter's latency.
ONE_READ_WIRE_MS = (15 + 7 * 8) * 0.010


def read_time_ms(servos: Any, reads: int = ROUND_TRIP_READS) -> float:
    """Median time of `read_all_positions` on `servos`, in ms (raises RuntimeError)."""
    times = []
    for _ in range(reads):
        start = time.perf_counter()
        servos.read_all_positions()
        times.append((time.perf_counter() - start) * 1000.0)
    return sorted(times)[len(times) // 2]


def round_trip_check(two_reads_ms: float, one_read_ms: float) -> Check:
    """The position read with two round trips (arms, then nose) against one
    sync read of all seven. Where the second round trip costs more than the
    bytes of a whole read, the adapter's latency timer is what a tick waits for."""
    found = (f"serial round trips: arms then nose {two_reads_ms:.2f} ms, "
             f"one sync read of all seven {one_read_ms:.2f} ms")
    if two_reads_ms - one_read_ms > ONE_READ_WIRE_MS:
        found += ("; the adapter's latency dominates: single_sync_read=True halves the serial part "
                  "of a control loop tick")
    return Check("serial.round_trips", PASS, found)


def round_trip_checks(serial: str, servos_ok: bool) -> List[Check]:
    if not servos_ok:
        return [Check("serial.round_trips", SKIP, "serial round trips: not measured: not every servo answers")]
    try:
        with servo_bus(serial) as servos:
            two = read_time_ms(servos)
        with servo_bus(serial, single_sync_read=True) as servos:
            one = read_time_ms(servos)
    except RuntimeError as e:
        return [Check("serial.round_trips", SKIP, f"serial round trips: not measured: {e}")]
    return [round_trip_check(two, one)]


def _not_checked(why: str, servos: bool = True, neck: bool = True) -> List[Check]:
    checks = []
    if servos:
        checks += [Check(f"servo.{SERVO_IDS[n]}", SKIP, f"servo {SERVO_IDS[n]} {n}: not checked: {why}")
                   for n in SERVO_NAMES]
    if neck:
        checks += [Check(f"neck.{n}", SKIP, f"{n} (CAN id {i + 1}): not checked: {why}")
                   for i, n in enumerate(NECK_NAMES)]
    return checks


def motor_checks(serial: Optional[str], can: Optional[str], serial_ok: bool, can_ok: bool) -> List[Check]:
    from quorvel_motor_controller import QuorvelMotorController

    checks: List[Check] = []
    if serial is None or not serial_ok:
        why = "no serial port found" if serial is None else "the serial port is not usable (see above)"
        checks += _not_checked(why, neck=False)
    else:
        try:
            with servo_bus(serial) as servos:
                servos_found = servo_checks(servos.probe_servo, serial)
            checks += servos_found + round_trip_checks(serial, not any(_silent(c) for c in servos_found))
        except RuntimeError as e:
            checks += [Check(f"servo.{SERVO_IDS[n]}", FAIL,
                             f"servo {SERVO_IDS[n]} {n}: not checked: cannot open {serial} ({e})",
                             "Close any other program using the port and check its permissions.")
                       for n in SERVO_NAMES]
    if can is None or not can_ok:
        why = "no CAN interface found" if can is None else "the CAN bus is not usable (see above)"
        return checks + _not_checked(why, servos=False)
    try:
        neck = QuorvelMotorController(None, can_bus=can)
    except RuntimeError as e:
        return checks + [Check(f"neck.{n}", FAIL, f"{n} (CAN id {i + 1}): not checked: {e}",
                               f"Check that {can} exists and is up (ip link show {can}).")
                         for i, n in enumerate(NECK_NAMES)]
    try:
        checks += [neck_check(i, neck.probe_neck_motor) for i in range(len(NECK_NAMES))]
    finally:
        neck.close()
    return checks


def _serial_usable(checks: Sequence[Check]) -> bool:
    return all(c.status != FAIL for c in checks if c.check != "serial.latency_timer")


def run_checks(serial: Optional[str], can: Optional[str], sysfs: str = "/sys") -> List[Check]:
    checks = serial_checks(serial, sysfs=sysfs) if serial is not None else []
    serial_ok = serial is not None and _serial_usable(checks)
    bus = can_checks(can, sysfs) if can is not None else []
    checks += bus
    can_ok = can is not None and all(c.status != FAIL for c in bus if c.check in ("can.exists", "can.up"))
    return checks + motor_checks(serial, can, serial_ok, can_ok)


# ---- finding the torso ---------------------------------------------------------------------------

SERIAL_PLACES = "/dev/serial/by-id/*, /dev/ttyUSB*, /dev/ttyACM*"


def _servos_answering(path: str) -> Tuple[int, str]:
    """How many of the seven servos answer on `path` (each asked once), and a
    note on the port for the report. Sends nothing to a port that fails its
    own checks (missing, locked, a session's terminal)."""
    checks = serial_checks(path)
    if not _serial_usable(checks):
        failed = next(c for c in checks if c.status == FAIL)
        return 0, failed.message
    try:
        with servo_bus(path) as servos:
            answering = [c for c in servo_checks(servos.probe_servo, path) if not _silent(c)]
    except RuntimeError as e:
        return 0, f"cannot be opened ({e})"
    return len(answering), f"{len(answering)} of {len(SERVO_NAMES)} servos answer"


def _neck_motors_answering(iface: str) -> int:
    from quorvel_motor_controller import QuorvelMotorController

    try:
        neck = QuorvelMotorController(None, can_bus=iface)
    except RuntimeError:
        return 0
    answering = 0
    try:
        for index in range(len(NECK_NAMES)):
            try:
                neck.probe_neck_motor(index)
                answering += 1
            except RuntimeError:
                pass
    finally:
        neck.close()
    return answering


def find_serial(candidates: Sequence[str]) -> Tuple[Optional[str], Check, List[Dict[str, Any]]]:
    """The candidate port that holds the torso (the most servos answering), the
    report line and what was found on each port."""
    if not candidates:
        return None, Check("find.serial", FAIL, f"no serial adapter found (looked for {SERIAL_PLACES})",
                           "Plug the servo bus adapter in and check that the system sees it (dmesg | tail), "
                           "or give its port with --serial PATH; quorvel-doctor --sim shows a simulated torso."), []
    seen: List[Dict[str, Any]] = []
    for path in candidates:
        count, note = _servos_answering(path)
        seen.append({"path": path, "device": os.path.realpath(path), "servos": count, "note": note})
    best = max(seen, key=lambda s: s["servos"])
    listed = "; ".join(f"{s['path']}: {s['note']}" for s in seen)
    if best["servos"] == 0:
        return None, Check("find.serial", FAIL, f"no servo answers on the serial adapters found ({listed})",
                           "Check the servos' power and the cable from the adapter to the first servo, or give "
                           "the port with --serial PATH."), seen
    others = [s for s in seen if s is not best]
    message = (f"torso's servo bus found on {best['path']}: {best['note']}"
               + (f" (also looked at {'; '.join(s['path'] + ': ' + s['note'] for s in others)})" if others else ""))
    return best["path"], Check("find.serial", PASS, message), seen


def find_can(candidates: Sequence[str]) -> Tuple[Optional[str], Check, List[Dict[str, Any]]]:
    """The CAN interface of the neck: the only one, or the one where the most
    neck motors answer."""
    if not candidates:
        return None, Check("find.can", FAIL, "no CAN interface found (no network interface of type CAN)",
                           "Plug the CAN adapter in and check that its driver is loaded (ip link show), or give the "
                           "interface with --can IFACE."), []
    if len(candidates) == 1:
        return candidates[0], Check("find.can", PASS, f"CAN interface found: {candidates[0]}"), [
            {"interface": candidates[0], "neck_motors": None}]
    seen: List[Dict[str, Any]] = [{"interface": iface, "neck_motors": _neck_motors_answering(iface)}
                                  for iface in candidates]
    best = max(seen, key=lambda s: s["neck_motors"])
    listed = ", ".join(f"{s['interface']} ({s['neck_motors']} of {len(NECK_NAMES)} neck motors answer)"
                       for s in seen)
    return best["interface"], Check("find.can", PASS, f"CAN interface of the neck: {best['interface']} "
                                                      f"(found {listed})"), seen


def summary(checks: Sequence[Check]) -> dict:
    counts = {s: sum(1 for c in checks if c.status == s) for s in (PASS, WARN, FAIL, SKIP)}
    failed = [c.check for c in checks if c.status == FAIL]
    return {"ok": not failed, "checks": len(checks), "passed": counts[PASS], "warnings": counts[WARN],
            "failed": counts[FAIL], "skipped": counts[SKIP], "failing": failed}


def summary_line(s: dict) -> str:
    text = (f"{s['checks']} checks: {s['passed']} passed, {s['warnings']} warnings, {s['failed']} failed"
            + (f", {s['skipped']} skipped" if s["skipped"] else ""))
    if s["failing"]:
        return f"NOT OK: {text} ({', '.join(s['failing'])})"
    return f"OK: {text}"


# ---- the simulated torso ---------------------------------------------------------------------

NECK_FAULT_CODES = {"overvoltage": 0x8, "undervoltage": 0x9, "overcurrent": 0xA, "mos_overheat": 0xB,
                    "rotor_overheat": 0xC, "lost_communication": 0xD, "overload": 0xE}

INJECT_HELP = """faults for --sim (repeatable):
  silent-servo=ID        servo ID (1-7) does not answer
  hot-servo=ID           servo ID reports 75 degC (overheat flag)
  low-voltage            servo supply at 9.0 V
  neck-silent=JOINT      neck motor (yaw, pitch, roll) does not answer
  neck-turn=JOINT        neck motor a whole turn off zero (6.38 rad)
  neck-fault=JOINT:NAME  neck motor reports a fault (overvoltage, undervoltage, overcurrent,
                         mos_overheat, rotor_overheat, lost_communication, overload)
  locked-port            another process holds the serial port's lock"""


def _neck_index(joint: str) -> int:
    key = joint.strip().lower()
    for i, name in enumerate(NECK_NAMES):
        if key in (name, name[len("neck_"):], str(i)):
            return i
    raise ValueError(f"unknown neck joint {joint!r} (yaw, pitch or roll)")


def _servo_id(text: str) -> int:
    try:
        servo_id = int(text)
    except ValueError:
        servo_id = 0
    if servo_id not in SERVO_IDS.values():
        raise ValueError(f"servo id must be 1 to 7, not {text!r}")
    return servo_id


def parse_fault(fault: str) -> Tuple[str, Any]:
    """(kind, argument) of an --inject value; ValueError for anything that
    would not inject what it says."""
    kind, has_arg, arg = fault.partition("=")
    if kind in ("silent-servo", "hot-servo"):
        return kind, _servo_id(arg)
    if kind in ("neck-silent", "neck-turn"):
        return kind, _neck_index(arg)
    if kind == "neck-fault":
        joint, _, name = arg.partition(":")
        if name not in NECK_FAULT_CODES:
            raise ValueError(f"unknown neck fault {name!r} ({', '.join(NECK_FAULT_CODES)})")
        return kind, (_neck_index(joint), NECK_FAULT_CODES[name])
    if kind in ("low-voltage", "locked-port"):
        if has_arg:
            raise ValueError(f"{kind} takes no value")
        return kind, None
    raise ValueError(f"unknown fault {fault!r}")


def apply_fault(sim, fault: str, helpers: list) -> None:
    """Injects one fault into a running simulator; processes it starts go to `helpers`."""
    kind, arg = parse_fault(fault)
    if kind == "silent-servo":
        sim.set_servo_silent(arg, True)
    elif kind == "hot-servo":
        sim.set_servo_temperature(arg, 75)
    elif kind == "low-voltage":
        sim.set_voltage(90)
    elif kind == "neck-silent":
        sim.set_neck_silent(arg, True)
    elif kind == "neck-turn":
        sim.set_neck_position(arg, 2 * math.pi + 0.1)
    elif kind == "neck-fault":
        sim.set_neck_fault(*arg)
    else:  # locked-port
        helpers.append(hold_lock(sim.serial_path))


def hold_lock(path: str) -> subprocess.Popen:
    """Starts a process that holds `path`'s lock, as another program would, until stopped."""
    code = ("import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK); "
            "fcntl.flock(fd, fcntl.LOCK_EX); print('locked', flush=True); sys.stdin.read()")
    helper = subprocess.Popen([sys.executable, "-c", code, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    if helper.stdout is None or helper.stdout.readline().strip() != "locked":
        helper.kill()
        helper.wait()
        raise OSError("the process meant to hold the serial port's lock did not start")
    return helper


def stop_helpers(helpers: list) -> None:
    for helper in helpers:
        with contextlib.suppress(OSError):
            if helper.stdin:
                helper.stdin.close()  # it ends when its input does
        try:
            helper.wait(timeout=5)
        except subprocess.TimeoutExpired:
            helper.kill()
            helper.wait()


# ---- command line -----------------------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quorvel-doctor", formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Check a Quorvel torso end to end (serial port, CAN interface, every motor) and say what "
                    "to fix. Only reads: never moves a motor, never writes a register. Without --serial or "
                    f"--can it looks for them: serial adapters ({SERIAL_PLACES}) and CAN interfaces.",
        epilog=INJECT_HELP)
    p.add_argument("--serial", metavar="PATH",
                   help="serial device of the servo bus, e.g. /dev/ttyUSB0 (default: the adapter the servos "
                        "answer on)")
    p.add_argument("--can", metavar="IFACE", default=None,
                   help="CAN interface of the neck, e.g. can0, or unix:PATH for the simulator (default: the CAN "
                        "interface found)")
    p.add_argument("--sim", action="store_true", help="check a simulated torso started for the purpose")
    p.add_argument("--inject", metavar="FAULT", action="append", default=[],
                   help="with --sim: inject a fault (see below)")
    p.add_argument("--usb-latency-ms", metavar="MS", type=float, default=None,
                   help="with --sim: bytes take their time on the wire and serial replies wait for a USB "
                        "adapter's latency timer of MS ms")
    p.add_argument("--json", action="store_true", help="print one JSON document instead of lines")
    return p


def _printable(value: Any) -> Any:
    """`value` with every string made valid UTF-8: a path's bytes that are not
    (kept by Python as lone surrogates) are shown as \\xNN escapes."""
    if isinstance(value, str):
        try:
            raw = value.encode("utf-8", "surrogateescape")
        except UnicodeEncodeError:
            raw = value.encode("utf-8", "backslashreplace")
        return raw.decode("utf-8", "backslashreplace")
    if isinstance(value, dict):
        return {_printable(k): _printable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_printable(v) for v in value]
    return value


def report(checks: List[Check], as_json: bool, elapsed: float, target: dict) -> int:
    s = summary(checks)
    if as_json:
        document = {"target": target, "checks": [asdict(c) for c in checks], "summary": s,
                    "duration_s": round(elapsed, 3)}
        # ASCII with escapes: valid JSON whatever the locale's encoding.
        print(json.dumps(_printable(document), indent=2, ensure_ascii=True))
    else:
        for c in checks:
            print(_printable(c.line()))
        print(_printable(summary_line(s)))
    return 0 if s["ok"] else 1


def main(argv: Optional[Sequence[str]] = None, dev: str = "/dev", sysfs: str = "/sys") -> int:
    """The command; `dev` and `sysfs` are where the adapters are looked for."""
    try:
        code = _main(argv, dev, sysfs)
        sys.stdout.flush()  # a closed pipe shows here rather than at exit
        return code
    except BrokenPipeError:
        # The reader went away (`quorvel-doctor --json | head`): stop quietly.
        # Output still buffered would fail again at exit, so it goes nowhere.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


def _main(argv: Optional[Sequence[str]], dev: str, sysfs: str) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.sim and (args.serial or args.can):
        parser.error("--sim starts its own torso: leave out --serial and --can")
    if args.inject and not args.sim:
        parser.error("--inject needs --sim")
    if args.usb_latency_ms is not None and not (args.sim and 0 <= args.usb_latency_ms <= 1000):
        parser.error("--usb-latency-ms needs --sim and a latency of 0 to 1000 ms")
    for fault in args.inject:
        try:
            parse_fault(fault)
        except ValueError as e:
            parser.error(f"--inject {fault}: {e}")
    start = time.monotonic()
    if not args.sim:
        return _check_hardware(args, dev, sysfs, start)

    try:
        from quorvel_torso_sim import TorsoSim
    except ImportError as e:  # pragma: no cover - only without the native module
        print(f"quorvel-doctor: the simulator module is not installed ({e})", file=sys.stderr)
        return 2
    helpers: list = []
    latency = args.usb_latency_ms
    with (TorsoSim() if latency is None else TorsoSim(wire=True, usb_latency_ms=latency)) as sim:
        try:
            for fault in args.inject:
                apply_fault(sim, fault, helpers)
            checks = run_checks(sim.serial_path, sim.can_bus)
        finally:
            stop_helpers(helpers)
        target = {"sim": True, "serial": sim.serial_path, "can": sim.can_bus, "inject": args.inject}
        return report(checks, args.json, time.monotonic() - start, target)


def _check_hardware(args: argparse.Namespace, dev: str, sysfs: str, start: float) -> int:
    """The given links, or those found when not given, then the whole torso."""
    serial, can = args.serial, args.can
    found: List[Check] = []
    target: dict = {}
    if serial is None:
        serial, line, seen = find_serial(serial_candidates(dev))
        found.append(line)
        target["serial_candidates"] = seen
    if can is None:
        can, line, seen_can = find_can(can_candidates(sysfs))
        found.append(line)
        target["can_candidates"] = seen_can
    checks = found + run_checks(serial, can, sysfs)
    return report(checks, args.json, time.monotonic() - start, {"serial": serial, "can": can, **target})


if __name__ == "__main__":
    sys.exit(main())
