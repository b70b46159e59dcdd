"""quorvel-doctor: check a Quorvel torso end to end and say in plain words what to fix.

    quorvel-doctor --serial /dev/ttyUSB0 --can can0
    quorvel-doctor --sim                       # the simulated torso
    quorvel-doctor --sim --inject hot-servo=3  # ... with a fault, to see what it looks like
    python -m quorvel_tools.doctor --sim --json

Checks, in order: the serial port (exists, is a terminal, opens read-write, is
not locked by another process, the USB adapter's latency timer), the CAN
interface (exists, is up, bitrate, error state), each of the seven servos
(answers, model number, voltage, temperature, error flags) and each neck motor
(answers, control mode, fault, temperatures, turns off zero). One line per
check; a summary line at the end. Exit status 0 when nothing failed, 1
otherwise (2 for bad arguments).

The doctor only reads: servo read packets, and CAN feedback requests and
register reads. It never moves a motor and never writes a register.
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
from typing import Any, Callable, Iterator, List, Optional, Sequence, Tuple

from quorvel_motor_controller import NECK_JOINTS, SERVO_IDS, SERVO_JOINTS

# The serial and CAN checks live in doctor_links; they are imported here so
# that `doctor` stays the one name to use.
from .doctor_links import (FAIL, PASS, SKIP, WARN, CanLink, Check,  # noqa: F401
                           can_checks, latency_timer_check, lock_holders, openers, parse_ip_link_json,
                           serial_checks)

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


def _motor_check(key: str, label: str, no_answer_fix: str, read: Callable[[], Any],
                 judge: Callable[[int, Any], Tuple[str, str, Optional[str]]]) -> Check:
    """A motor that does not answer fails; otherwise `judge` turns its
    (model or mode, status) reading into status, message and fix."""
    for ask in range(ASKS_BEFORE_SILENT):
        try:
            first, status = read()
            break
        except RuntimeError as e:
            if ask == ASKS_BEFORE_SILENT - 1:
                return Check(key, FAIL, f"{label} does not answer ({e})", no_answer_fix)
    return Check(key, *judge(first, status))


def servo_check(servo_id: int, probe: Callable[[int], object]) -> Check:
    label = f"servo {servo_id} {_SERVO_NAME_BY_ID[servo_id]}"

    def judge(model: int, status: Any) -> Tuple[str, str, Optional[str]]:
        found = (f"{label}: model {model}, {status.voltage:.1f} V, {status.temperature} \u00b0C, "
                 + ("error flags " + ", ".join(status.errors) if status.errors else "no error flags"))
        if status.errors:
            return FAIL, found, SERVO_FLAG_FIX.get(status.errors[0], "Power-cycle the servo.")
        if status.voltage < LOW_VOLTAGE:
            return (FAIL, f"{found}; supply below {LOW_VOLTAGE} V",
                    "Check the servo power supply and its current limit; a weak battery shows here.")
        if status.temperature >= HOT_SERVO:
            return WARN, f"{found}; running hot", "Let the servo cool down and lower its load."
        return PASS, found, None

    return _motor_check(f"servo.{servo_id}", label,
                        f"Check this servo's cable and power, and that its id is {servo_id} "
                        f"(a broken link in the chain silences every servo after it).",
                        lambda: probe(servo_id), judge)


def _radians(value: float) -> str:
    text = f"{value:.2f}"
    return ("0.00" if text == "-0.00" else text) + " rad"


def neck_check(index: int, probe: Callable[[int], object]) -> Check:
    name = NECK_NAMES[index]
    label = f"{name} (CAN id {index + 1})"

    def judge(mode: int, status: Any) -> Tuple[str, str, Optional[str]]:
        turns = status.turns_off_zero
        found = (f"{label}: {CONTROL_MODES.get(mode, f'mode {mode}')} mode, "
                 f"{'enabled' if status.enabled else 'disabled'}, "
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

    return _motor_check(f"neck.{name}", label,
                        f"Check the motor's power, the CAN wiring and termination, and that its CAN id is {index + 1}.",
                        lambda: probe(index), judge)


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


def motor_checks(serial: Optional[str], can: str, serial_ok: bool, can_ok: bool) -> List[Check]:
    from quorvel_motor_controller import QuorvelMotorController

    checks: List[Check] = []
    if serial is None or not serial_ok:
        why = "no serial port given" if serial is None else "the serial port is not usable (see above)"
        checks += [Check(f"servo.{SERVO_IDS[n]}", SKIP, f"servo {SERVO_IDS[n]} {n}: not checked: {why}")
                   for n in SERVO_NAMES]
    else:
        with _placeholder_can_bus() as nobody:
            try:
                servos = QuorvelMotorController(serial, can_bus=nobody)
            except RuntimeError as e:
                servos = None
                checks += [Check(f"servo.{SERVO_IDS[n]}", FAIL,
                                 f"servo {SERVO_IDS[n]} {n}: not checked: cannot open {serial} ({e})",
                                 "Close any other program using the port and check its permissions.")
                           for n in SERVO_NAMES]
            if servos is not None:
                checks += [servo_check(SERVO_IDS[n], servos.probe_servo) for n in SERVO_NAMES]
                del servos  # releases the port
    if not can_ok:
        checks += [Check(f"neck.{n}", SKIP, f"{n} (CAN id {i + 1}): not checked: the CAN bus is not usable (see above)")
                   for i, n in enumerate(NECK_NAMES)]
        return checks
    try:
        neck = QuorvelMotorController(None, can_bus=can)
    except RuntimeError as e:
        return checks + [Check(f"neck.{n}", FAIL, f"{n} (CAN id {i + 1}): not checked: {e}",
                               f"Check that {can} exists and is up (ip link show {can}).")
                         for i, n in enumerate(NECK_NAMES)]
    checks += [neck_check(i, neck.probe_neck_motor) for i in range(len(NECK_NAMES))]
    del neck
    return checks


def run_checks(serial: Optional[str], can: str) -> List[Check]:
    checks = serial_checks(serial) if serial is not None else []
    serial_ok = serial is not None and all(c.status != FAIL for c in checks if c.check != "serial.latency_timer")
    bus = can_checks(can)
    checks += bus
    can_ok = all(c.status != FAIL for c in bus if c.check in ("can.exists", "can.up"))
    return checks + motor_checks(serial, can, serial_ok, can_ok)


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


def apply_fault(sim, fault: str, helpers: list) -> None:
    """Injects one fault into a running simulator; processes it starts go to `helpers`."""
    kind, _, arg = fault.partition("=")
    if kind == "silent-servo":
        sim.set_servo_silent(int(arg), True)
    elif kind == "hot-servo":
        sim.set_servo_temperature(int(arg), 75)
    elif kind == "low-voltage":
        sim.set_voltage(90)
    elif kind == "neck-silent":
        sim.set_neck_silent(_neck_index(arg), True)
    elif kind == "neck-turn":
        sim.set_neck_position(_neck_index(arg), 2 * math.pi + 0.1)
    elif kind == "neck-fault":
        joint, _, name = arg.partition(":")
        if name not in NECK_FAULT_CODES:
            raise ValueError(f"unknown neck fault {name!r}")
        sim.set_neck_fault(_neck_index(joint), NECK_FAULT_CODES[name])
    elif kind == "locked-port":
        helpers.append(hold_lock(sim.serial_path))
    else:
        raise ValueError(f"unknown fault {fault!r}")


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
                    "to fix. Only reads: never moves a motor, never writes a register.",
        epilog=INJECT_HELP)
    p.add_argument("--serial", metavar="PATH", help="serial device of the servo bus, e.g. /dev/ttyUSB0")
    p.add_argument("--can", metavar="IFACE", default=None, help="CAN interface of the neck (default can0)")
    p.add_argument("--sim", action="store_true", help="check a simulated torso started for the purpose")
    p.add_argument("--inject", metavar="FAULT", action="append", default=[],
                   help="with --sim: inject a fault (see below)")
    p.add_argument("--json", action="store_true", help="print one JSON document instead of lines")
    return p


def report(checks: List[Check], as_json: bool, elapsed: float, target: dict) -> int:
    s = summary(checks)
    if as_json:
        print(json.dumps({"target": target, "checks": [asdict(c) for c in checks], "summary": s,
                          "duration_s": round(elapsed, 3)}, indent=2, ensure_ascii=False))
    else:
        for c in checks:
            print(c.line())
        print(summary_line(s))
    return 0 if s["ok"] else 1


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.sim and (args.serial or args.can):
        parser.error("--sim starts its own torso: leave out --serial and --can")
    if args.inject and not args.sim:
        parser.error("--inject needs --sim")
    if not args.sim and not args.serial:
        parser.error("give --serial PATH (and --can IFACE), or --sim")
    start = time.monotonic()
    if not args.sim:
        can = args.can or "can0"
        checks = run_checks(args.serial, can)
        return report(checks, args.json, time.monotonic() - start, {"serial": args.serial, "can": can})

    try:
        from quorvel_torso_sim import TorsoSim
    except ImportError as e:  # pragma: no cover - only without the native module
        print(f"quorvel-doctor: the simulator module is not installed ({e})", file=sys.stderr)
        return 2
    helpers: list = []
    with TorsoSim() as sim:
        try:
            for fault in args.inject:
                apply_fault(sim, fault, helpers)
        except (ValueError, OverflowError, IndexError) as e:
            stop_helpers(helpers)
            parser.error(f"--inject: {e}")
        try:
            checks = run_checks(sim.serial_path, sim.can_bus)
        finally:
            stop_helpers(helpers)
        target = {"sim": True, "serial": sim.serial_path, "can": sim.can_bus, "inject": args.inject}
        return report(checks, args.json, time.monotonic() - start, target)


if __name__ == "__main__":
    sys.exit(main())
