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
import errno
import fcntl
import json
import math
import os
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
from dataclasses import asdict, dataclass
from typing import Callable, Iterator, List, Optional, Sequence

# The torso's joints (servo ids 1 to 7 in this order; neck CAN ids 1 to 3).
SERVO_NAMES = ("left_arm_pitch", "left_arm_yaw", "right_arm_pitch", "right_arm_yaw",
               "nose_top", "nose_left", "nose_right")
NECK_NAMES = ("neck_yaw", "neck_pitch", "neck_roll")

EXPECTED_BITRATE = 1_000_000
LOW_VOLTAGE = 11.0        # V: below this the control loop does not start
HOT_SERVO = 60            # deg C: warn from here (the servos cut out at their own limit)
HOT_NECK = 70             # deg C
CONTROL_MODES = {1: "MIT", 2: "POS_VEL", 3: "VEL", 4: "FORCE_POS"}

LATENCY_RULE = ('ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"')

PASS, WARN, FAIL, SKIP = "pass", "warn", "fail", "skip"


@dataclass
class Check:
    check: str                 # stable key, e.g. "serial.lock", "servo.3", "neck.neck_yaw"
    status: str                # pass, warn, fail or skip
    message: str               # what was found
    fix: Optional[str] = None  # one sentence, for warn and fail

    def line(self) -> str:
        text = f"{self.status.upper():4}  {self.message}"
        if self.fix and self.status in (WARN, FAIL):
            text += f" -- fix: {self.fix}"
        return text


# ---- serial port -------------------------------------------------------------------------


def _proc_cmdline(pid: int, proc: str = "/proc") -> str:
    try:
        with open(f"{proc}/{pid}/cmdline", "rb") as f:
            words = [w.decode(errors="replace") for w in f.read().split(b"\0") if w]
    except OSError:
        return "?"
    text = " ".join(" ".join(words).split())  # one line, whatever the arguments hold
    return (text[:117] + "...") if len(text) > 120 else (text or "?")


def lock_holders(locks_text: str, device: os.stat_result) -> List[int]:
    """Pids that hold a lock on the file `device` describes, from /proc/locks text.

    A line reads "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; blocked
    waiters ("1: -> FLOCK ...") are not holders.
    """
    want = (os.major(device.st_dev), os.minor(device.st_dev), device.st_ino)
    pids = []
    for line in locks_text.splitlines():
        fields = line.split()
        if len(fields) < 6 or fields[1] == "->":
            continue
        try:
            pid = int(fields[4])
            major, minor, inode = fields[5].split(":")
            found = (int(major, 16), int(minor, 16), int(inode))
        except ValueError:
            continue
        if found == want and pid not in pids:
            pids.append(pid)
    return pids


def openers(path: str, proc: str = "/proc") -> List[int]:
    """Pids of other processes with `path` open (those whose descriptors we may look at)."""
    target = os.path.realpath(path)
    found = []
    try:
        entries = os.listdir(proc)
    except OSError:
        return found
    for entry in entries:
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        fd_dir = f"{proc}/{entry}/fd"
        try:
            for fd in os.listdir(fd_dir):
                if os.readlink(f"{fd_dir}/{fd}") == target:
                    found.append(int(entry))
                    break
        except OSError:
            continue
    return found


def _describe(pids: Sequence[int]) -> str:
    return ", ".join(f"pid {pid} ({_proc_cmdline(pid)})" for pid in pids)


def latency_timer_check(path: str, sysfs: str = "/sys") -> Check:
    name = os.path.basename(os.path.realpath(path))
    timer_file = os.path.join(sysfs, "bus", "usb-serial", "devices", name, "latency_timer")
    if not os.path.exists(timer_file):
        return Check("serial.latency_timer", PASS,
                     f"latency timer: {path} is not a USB serial adapter (no latency timer to set)")
    try:
        with open(timer_file) as f:
            ms = int(f.read().strip())
    except (OSError, ValueError) as e:
        return Check("serial.latency_timer", WARN, f"latency timer of {name} cannot be read ({e})",
                     f"Check {timer_file} by hand: it should read 1.")
    if ms > 1:
        return Check("serial.latency_timer", WARN,
                     f"latency timer of {name} is {ms} ms: every servo reply waits up to that long",
                     f"Set it to 1 ms (echo 1 | sudo tee {timer_file}) and keep it so with the udev rule "
                     f"from the README: {LATENCY_RULE}")
    return Check("serial.latency_timer", PASS, f"latency timer of {name} is {ms} ms")


def serial_checks(path: str, proc: str = "/proc", sysfs: str = "/sys") -> List[Check]:
    """Checks of the serial port; the servo checks need all but the latency timer to pass."""
    checks = []
    if not os.path.exists(path):
        return [Check("serial.exists", FAIL, f"serial port {path} does not exist",
                      "Plug the servo bus adapter in and check its name with "
                      "`ls /dev/ttyUSB* /dev/ttyACM*` (or use the udev symlink /dev/quorvel-servos).")]
    checks.append(Check("serial.exists", PASS, f"serial port {path} exists"))
    device = os.stat(path)
    if not stat.S_ISCHR(device.st_mode):
        checks.append(Check("serial.terminal", FAIL, f"{path} is not a terminal device",
                            "Give the servo adapter's device (/dev/ttyUSB0, /dev/ttyACM0 or its udev symlink)."))
        return checks
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        if e.errno == errno.EBUSY:
            checks.append(Check("serial.terminal", PASS, f"{path} is a terminal"))
            checks.append(Check("serial.open", FAIL,
                                f"{path} cannot be opened: another program holds it in exclusive mode",
                                "Stop the program named on the next line, then run the doctor again."))
            holders = openers(path, proc)
            checks.append(Check("serial.lock", FAIL,
                                f"{path} is in use by " + (_describe(holders) if holders else "another process"),
                                "Stop that program (or release its QuorvelMotorController) before using the port."))
            return checks
        fix = ("Join the dialout group (sudo usermod -aG dialout $USER, then log in again) or fix the udev rule."
               if e.errno in (errno.EACCES, errno.EPERM) else "Check the adapter and its driver (dmesg).")
        checks.append(Check("serial.terminal", PASS, f"{path} is a character device"))
        checks.append(Check("serial.open", FAIL, f"{path} cannot be opened read-write: {e.strerror}", fix))
        return checks
    try:
        if not os.isatty(fd):
            checks.append(Check("serial.terminal", FAIL, f"{path} is a character device but not a terminal",
                                "Give the servo adapter's device (/dev/ttyUSB0, /dev/ttyACM0 or its udev symlink)."))
            return checks
        checks.append(Check("serial.terminal", PASS, f"{path} is a terminal"))
        checks.append(Check("serial.open", PASS, f"{path} opens read-write"))
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            try:
                with open(f"{proc}/locks") as f:
                    holders = lock_holders(f.read(), device)
            except OSError:
                holders = []
            holders = holders or openers(path, proc)
            checks.append(Check("serial.lock", FAIL,
                                f"{path} is locked by " + (_describe(holders) if holders else "another process"),
                                "Stop that program (or release its QuorvelMotorController) before using the port."))
            return checks
        fcntl.flock(fd, fcntl.LOCK_UN)
        checks.append(Check("serial.lock", PASS, f"{path} is not locked by another process"))
    finally:
        os.close(fd)
    checks.append(latency_timer_check(path, sysfs))
    return checks


# ---- CAN interface ---------------------------------------------------------------------------


@dataclass
class CanLink:
    kind: Optional[str]      # "can", "vcan", ... (None if unknown)
    state: Optional[str]     # "ERROR-ACTIVE", "ERROR-WARNING", "ERROR-PASSIVE", "BUS-OFF", "STOPPED"
    bitrate: Optional[int]


def parse_ip_link_json(text: str) -> CanLink:
    """The CAN details of `ip -details -json link show IFACE` output."""
    data = json.loads(text)
    link = data[0] if isinstance(data, list) and data else {}
    info = link.get("linkinfo", {}) if isinstance(link, dict) else {}
    info_data = info.get("info_data", {}) or {}
    timing = info_data.get("bittiming", {}) or {}
    bitrate = timing.get("bitrate")
    return CanLink(info.get("info_kind"), info_data.get("state"), int(bitrate) if bitrate is not None else None)


def _ip_link(iface: str) -> Optional[str]:
    ip = shutil.which("ip") or next((p for p in ("/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip") if os.path.exists(p)),
                                   None)
    if ip is None:
        return None
    result = subprocess.run([ip, "-details", "-json", "link", "show", iface], capture_output=True, text=True,
                            timeout=5, check=False)
    return result.stdout if result.returncode == 0 else None


def can_checks(iface: str, sysfs: str = "/sys", ip_link: Callable[[str], Optional[str]] = _ip_link) -> List[Check]:
    up_cmd = f"sudo ip link set {iface} up type can bitrate {EXPECTED_BITRATE}"
    restart_cmd = f"sudo ip link set {iface} down && {up_cmd}"
    if iface.startswith("unix:"):
        path = iface[len("unix:"):]
        if not os.path.exists(path):
            return [Check("can.exists", FAIL, f"virtual CAN bus {path} does not exist",
                          "Start the simulator (quorvel-torso-sim) and pass the CAN bus name it prints.")]
        note = "virtual bus of the simulator: no kernel interface to check"
        return [Check("can.exists", PASS, f"virtual CAN bus {path} exists"),
                Check("can.up", PASS, f"CAN bus state: {note}"),
                Check("can.bitrate", PASS, f"CAN bitrate: {note}"),
                Check("can.state", PASS, f"CAN error state: {note}")]
    net = os.path.join(sysfs, "class", "net", iface)
    if not os.path.isdir(net):
        return [Check("can.exists", FAIL, f"CAN interface {iface} does not exist",
                      "Plug the CAN adapter in and check its name with `ip link show` (names are case-sensitive).")]
    checks = [Check("can.exists", PASS, f"CAN interface {iface} exists")]
    try:
        with open(os.path.join(net, "flags")) as f:
            up = int(f.read().strip(), 16) & 0x1 != 0
    except (OSError, ValueError):
        up = False
    if not up:
        checks.append(Check("can.up", FAIL, f"CAN interface {iface} is down", f"Bring it up: {up_cmd}"))
        return checks
    checks.append(Check("can.up", PASS, f"CAN interface {iface} is up"))
    try:
        text = ip_link(iface)
        link = parse_ip_link_json(text) if text else None
    except (OSError, ValueError, subprocess.SubprocessError):
        link = None
    if link is None:
        note = "cannot be read (the `ip` command of iproute2 is missing or failed)"
        fix = "Install iproute2 (sudo apt install iproute2) and check by hand: ip -details link show " + iface + "."
        checks.append(Check("can.bitrate", WARN, f"CAN bitrate {note}", fix))
        checks.append(Check("can.state", WARN, f"CAN error state {note}", fix))
        return checks
    if link.kind != "can":
        note = f"{iface} is a {link.kind or 'non-CAN'} interface: it has no bitrate or error state"
        checks.append(Check("can.bitrate", WARN, note, "Use the real CAN adapter's interface for the torso."))
        checks.append(Check("can.state", PASS, f"CAN error state: {note}"))
        return checks
    if link.bitrate == EXPECTED_BITRATE:
        checks.append(Check("can.bitrate", PASS, f"CAN bitrate is {link.bitrate} bit/s"))
    else:
        checks.append(Check("can.bitrate", FAIL,
                            f"CAN bitrate is {link.bitrate} bit/s, the neck motors run at {EXPECTED_BITRATE}",
                            f"Set it: {restart_cmd}"))
    wiring = "check the wiring, the 120 ohm termination at each end and that every node runs at 1 Mbit/s"
    state = (link.state or "unknown").upper()
    if state == "ERROR-ACTIVE":
        checks.append(Check("can.state", PASS, "CAN error state is error-active (healthy)"))
    elif state == "ERROR-WARNING":
        checks.append(Check("can.state", WARN, "CAN error state is error-warning: bus errors are piling up",
                            wiring[0].upper() + wiring[1:] + "."))
    elif state == "ERROR-PASSIVE":
        checks.append(Check("can.state", FAIL, "CAN error state is error-passive: frames are failing",
                            wiring[0].upper() + wiring[1:] + "."))
    elif state == "BUS-OFF":
        checks.append(Check("can.state", FAIL, "CAN error state is bus-off: the adapter stopped sending",
                            f"{wiring[0].upper() + wiring[1:]}, then restart it: {restart_cmd} restart-ms 100."))
    else:
        checks.append(Check("can.state", FAIL, f"CAN error state is {state.lower()}", f"Restart it: {restart_cmd}"))
    return checks


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


def servo_check(servo_id: int, probe: Callable[[int], object]) -> Check:
    name = SERVO_NAMES[servo_id - 1]
    label = f"servo {servo_id} {name}"
    try:
        model, status = probe(servo_id)
    except RuntimeError as e:
        return Check(f"servo.{servo_id}", FAIL, f"{label} does not answer ({e})",
                     f"Check this servo's cable and power, and that its id is {servo_id} "
                     f"(a broken link in the chain silences every servo after it).")
    found = (f"{label}: model {model}, {status.voltage:.1f} V, {status.temperature} \u00b0C, "
             + ("error flags " + ", ".join(status.errors) if status.errors else "no error flags"))
    if status.errors:
        return Check(f"servo.{servo_id}", FAIL, found, SERVO_FLAG_FIX.get(status.errors[0], "Power-cycle the servo."))
    if status.voltage < LOW_VOLTAGE:
        return Check(f"servo.{servo_id}", FAIL, f"{found}; supply below {LOW_VOLTAGE} V",
                     "Check the servo power supply and its current limit; a weak battery shows here.")
    if status.temperature >= HOT_SERVO:
        return Check(f"servo.{servo_id}", WARN, f"{found}; running hot",
                     "Let the servo cool down and lower its load.")
    return Check(f"servo.{servo_id}", PASS, found)


def _radians(value: float) -> str:
    text = f"{value:.2f}"
    return ("0.00" if text == "-0.00" else text) + " rad"


def neck_check(index: int, probe: Callable[[int], object]) -> Check:
    name = NECK_NAMES[index]
    label = f"{name} (CAN id {index + 1})"
    try:
        mode, status = probe(index)
    except RuntimeError as e:
        return Check(f"neck.{name}", FAIL, f"{label} does not answer ({e})",
                     f"Check the motor's power, the CAN wiring and termination, and that its CAN id is {index + 1}.")
    turns = status.turns_off_zero
    found = (f"{label}: {CONTROL_MODES.get(mode, f'mode {mode}')} mode, "
             f"{'enabled' if status.enabled else 'disabled'}, "
             f"{'fault ' + status.fault if status.fault else 'no fault'}, "
             f"MOS {status.temperature_mos} \u00b0C, rotor {status.temperature_rotor} \u00b0C, "
             f"{turns} turn{'s' if abs(turns) != 1 else ''} off zero ({_radians(status.position)})")
    if status.fault:
        return Check(f"neck.{name}", FAIL, found, NECK_FAULT_FIX.get(status.fault, "Power-cycle the motor."))
    if turns != 0:
        return Check(f"neck.{name}", FAIL, found,
                     "Power-cycle the neck motors so that their turn counters start on the turn they are on, "
                     "then home the neck with neck_home().")
    if max(status.temperature_mos, status.temperature_rotor) >= HOT_NECK:
        return Check(f"neck.{name}", WARN, f"{found}; running hot", "Let the motor cool down and lower its load.")
    return Check(f"neck.{name}", PASS, found)


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
        checks += [Check(f"servo.{i + 1}", SKIP, f"servo {i + 1} {n}: not checked: {why}")
                   for i, n in enumerate(SERVO_NAMES)]
    else:
        with _placeholder_can_bus() as nobody:
            try:
                servos = QuorvelMotorController(serial, can_bus=nobody)
            except RuntimeError as e:
                servos = None
                checks += [Check(f"servo.{i + 1}", FAIL, f"servo {i + 1} {n}: not checked: cannot open {serial} ({e})",
                                 "Close any other program using the port and check its permissions.")
                           for i, n in enumerate(SERVO_NAMES)]
            if servos is not None:
                checks += [servo_check(i + 1, servos.probe_servo) for i in range(len(SERVO_NAMES))]
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
